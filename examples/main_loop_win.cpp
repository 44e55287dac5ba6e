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

// Posts the wake message; any thread.
struct Waker {
  HWND window;
  void Wake(System::TObject*) { PostMessageW(window, kWakeMessage, 0, 0); }
};

}  // namespace

int main() {
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
