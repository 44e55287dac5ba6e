// The Windows timers a user would otherwise pick: the multimedia timer
// (timeSetEvent), a timer-queue timer and a high-resolution waitable timer,
// each periodic at the interval.
#include <windows.h>
// after windows.h
#include <mmsystem.h>

#include <thread>

#include "bench.hpp"

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace bench {
namespace {

void CALLBACK OnMmTimer(UINT, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR) {
  reinterpret_cast<Recorder*>(user)->Tick();
}

bool RunTimeSetEvent(int ms, Recorder& rec) {
  const MMRESULT id = timeSetEvent(static_cast<UINT>(ms), 0, &OnMmTimer, reinterpret_cast<DWORD_PTR>(&rec),
                                   TIME_PERIODIC | TIME_CALLBACK_FUNCTION | TIME_KILL_SYNCHRONOUS);
  if (!id) return false;
  rec.Wait();
  timeKillEvent(id);
  return true;
}

void CALLBACK OnQueueTimer(PVOID user, BOOLEAN) { static_cast<Recorder*>(user)->Tick(); }

bool RunTimerQueue(int ms, Recorder& rec) {
  HANDLE timer = nullptr;
  if (!CreateTimerQueueTimer(&timer, nullptr, &OnQueueTimer, &rec, static_cast<DWORD>(ms),
                             static_cast<DWORD>(ms), WT_EXECUTEINTIMERTHREAD))
    return false;
  rec.Wait();
  DeleteTimerQueueTimer(nullptr, timer, INVALID_HANDLE_VALUE);  // waits for a running callback
  return true;
}

bool RunWaitable(int ms, Recorder& rec, Extra& extra) {
  HANDLE timer =
      CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
  if (!timer) {
    extra.note = "no high-resolution waitable timer here; a plain one";
    timer = CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
  }
  if (!timer) return false;
  LARGE_INTEGER due;
  due.QuadPart = -static_cast<LONGLONG>(ms) * 10000;  // relative, 100 ns units
  if (!SetWaitableTimer(timer, &due, ms, nullptr, nullptr, FALSE)) {
    CloseHandle(timer);
    return false;
  }
  std::thread worker([&] {
    do WaitForSingleObject(timer, INFINITE);
    while (rec.Tick());
  });
  worker.join();
  CancelWaitableTimer(timer);
  CloseHandle(timer);
  return true;
}

}  // namespace

void AddPlatformKinds(Kinds& kinds) {
  kinds.push_back({"timeSetEvent", "multimedia timer, periodic", false,
                   [](int ms, std::size_t, Recorder& rec, Extra&) { return RunTimeSetEvent(ms, rec); }});
  kinds.push_back({"timer-queue", "CreateTimerQueueTimer, periodic", false,
                   [](int ms, std::size_t, Recorder& rec, Extra&) { return RunTimerQueue(ms, rec); }});
  kinds.push_back({"waitable-hr", "high-resolution waitable timer, periodic, one waiting thread", false,
                   [](int ms, std::size_t, Recorder& rec, Extra& e) { return RunWaitable(ms, rec, e); }});
}

}  // namespace bench
