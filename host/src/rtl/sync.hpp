// Waiting and waking between threads, on each system's own primitives: an
// address wait (WaitOnAddress on Windows, a futex on Linux) and a short lock
// (SRWLOCK on Windows, std::mutex elsewhere). Internal to the stand-in: rtl
// exports it for vcl's main-thread dispatch; it is not a public header.
#pragma once

#include <atomic>
#include <cstdint>

#include "System.Export.hpp"

namespace System::sync {

// Blocks while `word` holds `expected`, for at most `timeoutMs` milliseconds
// (negative: no limit). May also return spuriously or early (the Windows
// wait ends after 1 s at most): callers load the word again and decide.
QEV_RTL_API void WaitWhile(const std::atomic<std::uint32_t>& word, std::uint32_t expected,
                           int timeoutMs = -1) noexcept;
// Wakes one thread blocked in WaitWhile on `word`. Only the address is used:
// it may already belong to an object that has ended (a waiter that saw the
// new value and returned), which at worst wakes someone spuriously.
QEV_RTL_API void WakeOne(const std::atomic<std::uint32_t>* word) noexcept;

// A lock for short sections, not recursive.
class QEV_RTL_API Lock {
 public:
  Lock() noexcept;
  ~Lock();
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;
  void lock() noexcept;
  void unlock() noexcept;

 private:
  // The platform's lock object, constructed in place (the sizes are checked
  // where it is made).
  alignas(8) unsigned char storage_[48];
};

}  // namespace System::sync
