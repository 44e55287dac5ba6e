// The wake hook of the main-thread dispatch, and its retirement. Internal to
// the dispatch (Dispatch.cpp); WakeHook.pml models the retirement.
//
// Generation g's hook is hooks_[g & 1], and each of its calls is counted in
// calls_[g & 1] for the call's time. A replacement writes the other slot's
// hook, starts the next generation and then waits until the old slot's count
// is zero, so no call of the replaced hook is under way once Replace returns.
// Replacements take `retiring_` in turn, so at most two generations have
// calls at any time and two slots suffice (see WakeCall for the caller's
// side).
#pragma once

#include <atomic>
#include <cstdint>

#include "System.Classes.hpp"
#include "sync.hpp"

namespace System::Classes {

class WakeHook {
 public:
  // Installs `hook` and returns the one it replaced, once no call of that one
  // is under way. EThread if called from inside a hook call on this thread
  // (it would wait for itself).
  TNotifyEvent Replace(TNotifyEvent hook);

 private:
  friend class WakeCall;
  TNotifyEvent hooks_[2];  // written under `retiring_` only, as said above
  std::atomic<std::uint32_t> generation_{0};
  std::atomic<std::uint32_t> calls_[2]{};
  std::atomic<bool> draining_{false};  // a replacement waits on calls_
  sync::Lock retiring_;
};

// One call of the current generation's hook, counted in its generation's
// slot for as long as this lives.
class WakeCall {
 public:
  explicit WakeCall(WakeHook& hooks);
  ~WakeCall() { Leave(); }
  WakeCall(const WakeCall&) = delete;
  WakeCall& operator=(const WakeCall&) = delete;
  // Calls the hook, if one is installed; its exception passes on.
  void Run() const;

 private:
  void Leave();

  WakeHook& hooks_;
  std::atomic<std::uint32_t>* calls_ = nullptr;
  TNotifyEvent hook_;
};

}  // namespace System::Classes
