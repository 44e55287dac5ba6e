// The main thread blocks in GetMessageW; the wake hook, called on whichever
// thread queues a Synchronize call, posts a message to a message-only window,
// whose window procedure runs CheckSynchronize. A synchronized 10 ms timer
// ticks for 3 s, then the timer is freed and the loop ends.
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "QevTimer.hpp"

using namespace System::Classes;
using Clock = std::chrono::steady_clock;

namespace {

constexpr UINT kWakeMessage = WM_APP + 1;
constexpr double kInterval = 0.010;
constexpr auto kRunTime = std::chrono::seconds(3);

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

// The application's form; everything here runs on the main thread.
struct Form : TComponent {
  using TComponent::TComponent;
  Qevtimer::TQevTimer* timer = nullptr;
  DWORD mainThread = GetCurrentThreadId();
  Clock::time_point start;
  Clock::duration elapsed{};
  int ticks = 0;
  std::atomic<int> ticksElsewhere{0};

  void OnTick(System::TObject*) {
    if (GetCurrentThreadId() != mainThread) {
      ticksElsewhere.fetch_add(1);  // counted, and the run fails
      return;
    }
    ++ticks;
    elapsed = Clock::now() - start;
    if (elapsed >= kRunTime) {
      timer->Stop();
      PostQuitMessage(0);
    }
  }
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

  auto* form = new Form(nullptr);
  form->timer = new Qevtimer::TQevTimer(form);
  form->timer->SetNeedSynchronization(true);
  form->timer->SetInterval(kInterval);
  form->timer->SetOnTimer(TNotifyEvent::Bind<&Form::OnTick>(form));
  form->start = Clock::now();
  form->timer->Start();

  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {  // no timeout: only messages end the wait
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }

  const int ticks = form->ticks;
  const int ticksElsewhere = form->ticksElsewhere.load();
  const double seconds = std::chrono::duration<double>(form->elapsed).count();
  SetWakeMainThread(previousHook);
  delete form;  // frees the timer
  DestroyWindow(window);
  // The worker threads end after their timers; allow them a generous while.
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (TThread::ActiveCount() > 0 && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));

  const int expected = static_cast<int>(seconds / kInterval) / 2;
  std::printf("main_loop: %d ticks on the main thread in %.2f s (at least %d expected), %d elsewhere, "
              "%d wakes, %d threads left\n",
              ticks, seconds, expected, ticksElsewhere, wakes, TThread::ActiveCount());
  return ticks >= expected && ticksElsewhere == 0 && TThread::ActiveCount() == 0 ? 0 : 1;
}
