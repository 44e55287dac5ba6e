// The main thread blocks in GetMessageW; the wake hook, called on whichever
// thread queues a Synchronize call, posts a message to a message-only window,
// whose window procedure runs CheckSynchronize.
#include <windows.h>

#include <cstdio>

#include "ticking_form.hpp"

using namespace System::Classes;

namespace {

constexpr UINT kWakeMessage = WM_APP + 1;
int wakes = 0;  // main thread

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kWakeMessage) {
    ++wakes;
    CheckSynchronize();
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

// Windows 11 may stop honouring a process's raised timer resolution while
// none of its windows is visible (minimized, hidden, occluded, or a
// message-only window as here): the timers' waits may then end on the
// system's default tick (15.6 ms on most machines). A process that needs its
// ticks in the background opts out of that throttling. Looked up at run time:
// systems before Windows 11 (and Wine) lack the call or refuse the flag, and
// there is nothing to do then. The package itself changes nothing about the
// process when it loads.
bool KeepTimerResolutionWhenHidden() {
  using SetInfo = BOOL(WINAPI*)(HANDLE, PROCESS_INFORMATION_CLASS, LPVOID, DWORD);
  const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  const auto setInfo = kernel ? reinterpret_cast<SetInfo>(
                                    reinterpret_cast<void*>(GetProcAddress(kernel, "SetProcessInformation")))
                              : nullptr;
  if (!setInfo) return false;
  PROCESS_POWER_THROTTLING_STATE state{};
  state.Version = PROCESS_POWER_THROTTLING_CURRENT_VERSION;
  state.ControlMask = PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION;
  state.StateMask = 0;  // under control, and not throttled
  return setInfo(GetCurrentProcess(), ProcessPowerThrottling, &state, sizeof state) != 0;
}

// Posts the wake message; any thread.
struct Waker {
  HWND window;
  void Wake(System::TObject*) { PostMessageW(window, kWakeMessage, 0, 0); }
};

}  // namespace

int main() {
  if (!KeepTimerResolutionWhenHidden())
    std::printf("main_loop: no timer-resolution throttling to opt out of here\n");

  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = WindowProc;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = L"QevTimerMainLoop";
  if (!RegisterClassW(&windowClass)) return std::printf("RegisterClassW failed\n"), 1;
  HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                windowClass.hInstance, nullptr);
  if (!window) return std::printf("CreateWindowExW failed\n"), 1;

  Waker waker{window};
  const TNotifyEvent previousHook = SetWakeMainThread(TNotifyEvent::Bind<&Waker::Wake>(&waker));

  auto* form = new example::TickingForm([] { PostQuitMessage(0); });
  form->Start();

  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {  // no timeout: only messages end the wait
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }

  SetWakeMainThread(previousHook);
  const int result = example::Finish(form, wakes);
  DestroyWindow(window);
  return result;
}
