// System::Classes: components, threads and the main-thread dispatch of the
// host framework stand-in.
//
// Properties follow one form throughout: a reader named as the property
// (`Name()`) and a writer named Set + the property (`SetName(...)`).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <vector>

#include "System.Kernel.hpp"
#include "System.hpp"

namespace System::Classes {

// An event handler: called with the object that fires it.
using TNotifyEvent = TMethod<TObject*>;
// A parameterless method, as handed to TThread::Synchronize.
using TThreadMethod = TMethod<>;

// A class reference: the type record of a component class (its class data
// can construct an instance with an owner).
using TComponentClass = const TTypeInfo*;

// ---------------------------------------------------------------------------
// Component state flags. A set held in one word; the values are the
// framework's bit values.
using TComponentState = std::uint16_t;
inline constexpr TComponentState csLoading = 0x01;
inline constexpr TComponentState csReading = 0x02;
inline constexpr TComponentState csWriting = 0x04;
inline constexpr TComponentState csDestroying = 0x08;
inline constexpr TComponentState csDesigning = 0x10;

// The longest identifier: a component name, or a name in form text.
inline constexpr std::size_t MaxIdentLength = 255;

class QEV_VCL_API EComponentError : public Exception {
 public:
  using Exception::Exception;
};

// TComponent: a named object that may own other components and frees them
// when it is freed. Created and used on one thread (the main thread), except
// ComponentState() and Owner(), which any thread may read.
class QEV_VCL_API TComponent : public TObject {
 public:
  // Links the new component to `owner` (may be null). A component created
  // under an owner in design state is itself in design state from the start.
  explicit TComponent(TComponent* owner);
  // Frees the owned components, last first: each is taken out of the list and
  // its owner cleared before it is deleted, so a component whose destruction
  // has already begun (and that a nested delete therefore leaves alone) is
  // not met again, and never touches this owner afterwards. Then leaves the
  // owner, if it still has one.
  ~TComponent() override;

  // `delete` of a component whose destruction has begun (further up this
  // thread's stack: a destructor, or a call it made, deleting it again) does
  // nothing; otherwise as TObject's.
  static void operator delete(TComponent* self, std::destroying_delete_t);

  const TTypeInfo* ClassInfo() const noexcept override;
  // Sets csDestroying on this component before its destructors run.
  void BeforeDestruction() override;

  // Acquire, pairing with the release clear in the owner's destructor.
  TComponent* Owner() const noexcept { return owner_.load(std::memory_order_acquire); }
  int ComponentCount() const noexcept { return static_cast<int>(components_.size()); }
  TComponent* Components(int index) const { return components_.at(static_cast<std::size_t>(index)); }
  // The owned component of that name (compared as identifiers), or null.
  TComponent* FindComponent(const UnicodeString& name) const;
  // Takes `component` out of this component's list, if it is there, and
  // clears its owner.
  void RemoveComponent(TComponent* component);

  TComponentState ComponentState() const noexcept { return state_.load(std::memory_order_acquire); }
  // Sets csDesigning on this component and, recursively, on those it owns.
  void SetDesigning(bool designing);

  // Published property Name: empty, or an identifier of at most
  // MaxIdentLength characters unique among the owner's components;
  // otherwise EComponentError.
  const UnicodeString& Name() const noexcept { return name_; }
  void SetName(const UnicodeString& name);
  // Published property Tag: free for the application's use.
  std::intptr_t Tag() const noexcept { return tag_; }
  void SetTag(std::intptr_t tag) noexcept { tag_ = tag; }

  static const TTypeInfo TypeInfo;

 protected:
  void SetState(TComponentState flags, bool on) noexcept;

 private:
  std::atomic<TComponent*> owner_{nullptr};
  std::vector<TComponent*> components_;
  std::atomic<TComponentState> state_{0};
  UnicodeString name_;
  std::intptr_t tag_ = 0;
};

// ---------------------------------------------------------------------------
// Thread priority: seven steps from idle to time-critical.
enum class TThreadPriority : std::uint8_t {
  tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical
};

class QEV_VCL_API EThread : public Exception {
 public:
  using Exception::Exception;
};

// A dispatch group: see TThread::SetDispatchGroup.
using TDispatchGroup = std::uint64_t;

// TThread: a system thread running Execute.
//
// Create a thread with TThread::Create<T>(args...): it constructs T, then
// creates the system thread and lets it run, so Execute never starts before
// the whole construction has finished. If the system refuses the thread, the
// object is deleted (its destructors run) and EThread is thrown.
//
// A thread with FreeOnTerminate deletes itself on its own thread after
// Execute has returned; any other thread is deleted by its creator, which
// terminates it and waits for it to end.
class QEV_VCL_API TThread : public TObject {
 public:
  template <class T, class... Args>
  static T* Create(Args&&... args) {
    T* thread = new T(static_cast<Args&&>(args)...);
    static_cast<TThread*>(thread)->Launch();
    return thread;
  }

  ~TThread() override;
  const TTypeInfo* ClassInfo() const noexcept override;

  // Sets Terminated and calls TerminatedSet. Neither wakes nor waits.
  void Terminate();
  bool Terminated() const noexcept { return terminated_.load(std::memory_order_acquire); }
  // True once Execute has returned.
  bool Finished() const noexcept { return finished_.load(std::memory_order_acquire); }

  // Applied to the running system thread at once; before the thread runs it
  // is kept and applied at its start. Reads back the system thread's step.
  TThreadPriority Priority() const;
  void SetPriority(TThreadPriority priority);

  bool FreeOnTerminate() const noexcept { return freeOnTerminate_.load(std::memory_order_acquire); }
  void SetFreeOnTerminate(bool value) noexcept { freeOnTerminate_.store(value, std::memory_order_release); }

  // The exception that escaped Execute, if any.
  std::exception_ptr FatalException() const;
  // The system's identifier of the thread.
  std::uint64_t ThreadID() const noexcept;
  // Waits until the thread has ended. Not for threads that free themselves.
  void WaitFor();

  // Blocks the calling thread for `ms` milliseconds (none if negative),
  // through the sleep hook when one is installed, otherwise through
  // System::Kernel::Sleep.
  static void Sleep(int ms);
  using TSleepHook = void (*)(int ms);
  // Installs a hook that replaces Sleep (null restores the system's sleep);
  // returns the previous hook.
  //
  // Two places can replace sleeping, for two different reaches. This hook
  // sees only the waits that threads make through TThread::Sleep (a timer
  // worker's interval waits), on those threads, and may throw to end the
  // thread's Execute. System::Kernel::Services::Sleep sees every sleep the
  // libraries make, including pauses inside destructors and polling loops on
  // the main thread, where nothing may throw. A test that observes or ends a
  // thread's waits uses this hook; a test that changes how the process
  // sleeps (skipping the destructor's pause) replaces the Kernel entry.
  static TSleepHook SetSleepHook(TSleepHook hook) noexcept;

  // The thread's dispatch group (0: none), which every Synchronize and Queue
  // call made on this thread carries, so that the main thread can serve one
  // group's calls alone (ServeGroup). Set it before or after the thread
  // starts; a call takes the value it finds when queued.
  TDispatchGroup DispatchGroup() const noexcept { return group_.load(std::memory_order_acquire); }
  void SetDispatchGroup(TDispatchGroup group) noexcept { group_.store(group, std::memory_order_release); }
  // A group no other call of NewDispatchGroup has returned or will return.
  static TDispatchGroup NewDispatchGroup() noexcept;

  // Runs `method` on the main thread and returns when it has run; an
  // exception it raises is rethrown here. On the main thread it runs at once.
  // A call dropped unrun by RemoveQueuedEvents raises EThread here. If the
  // wake hook raises, its exception is rethrown here instead: the call is
  // withdrawn unrun, unless the main thread had already begun it, in which
  // case this returns (by the hook's exception) only after the call ended.
  static void Synchronize(TThreadMethod method);
  // Hands `method` to the main thread and returns at once: CheckSynchronize
  // runs it, in turn with the Synchronize calls. On the main thread it runs
  // at once. An exception it raises is kept by the dispatch and rethrown by
  // a CheckSynchronize (see there), never lost. If the wake hook raises, its
  // exception is rethrown here and the call is withdrawn unrun, unless the
  // main thread had already begun it.
  static void Queue(TThreadMethod method);
  // A component's own calls to the main thread (a timer's ticks and the
  // destructions it hands over), which no application code waits on and which
  // must not be lost: as Synchronize and Queue, except that the call is never
  // withdrawn and the wake hook's exception never reaches the caller. If the
  // hook raises, the call stays queued for the next dispatch and the hook's
  // exception is kept as a raising Queue call's is. SynchronizeOwnCall
  // returns false if the call was dropped unrun; QueueOwnCall queues in
  // `group` rather than the caller's.
  static bool SynchronizeOwnCall(TThreadMethod method);
  static void QueueOwnCall(TThreadMethod method, TDispatchGroup group);

  // Drop queued calls unrun: those whose object is `object`, or those of
  // exactly `method`. A dropped Synchronize call's caller returns from it (by
  // EThread, or false from SynchronizeOwnCall).
  static void RemoveQueuedEvents(const void* object);
  static void RemoveQueuedEvents(TThreadMethod method);

  // Main thread only (EThread elsewhere). Runs, in queue order, the calls
  // queued now whose group is `group`, and no others; never waits. Returns
  // whether any ran. A Synchronize call's exception goes back to its caller;
  // a Queue call's is kept as in CheckSynchronize, so nothing leaves this
  // function by an exception and a destructor may call it.
  static bool ServeGroup(TDispatchGroup group);
  // Main thread only (EThread elsewhere). How many Synchronize calls of
  // `group` the main thread is running right now, nested ones included. Each
  // has a caller blocked until it returns. Queue calls are not counted.
  static int GroupCallsRunning(TDispatchGroup group);

  // Number of threads made by this class whose Execute has not yet returned.
  static int ActiveCount() noexcept;
  // The TThread running the calling thread's Execute, or null.
  static TThread* Current() noexcept;

 protected:
  TThread();
  // Runs on the thread after Execute has returned.
  virtual void DoTerminate() {}
  // Runs on the terminating caller's thread inside Terminate.
  virtual void TerminatedSet() {}
  // The thread's body.
  virtual void Execute() = 0;

 private:
  void Launch();
  static void Run(void* self);

  Kernel::OsThread* os_ = nullptr;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
  std::atomic<bool> freeOnTerminate_{false};
  std::atomic<TThreadPriority> priority_{TThreadPriority::tpNormal};
  std::atomic<TDispatchGroup> group_{0};
  std::exception_ptr fatal_;
};

// ---------------------------------------------------------------------------
// Main-thread dispatch, for the application's loop.

// Runs the queued calls, Synchronize and Queue alike, on the calling (main)
// thread: those queued when the round begins, in queue order. With none
// queued, waits up to `timeoutMs` for one to arrive. Returns whether any ran.
// Raises EThread off the main thread.
//
// Kept errors: an exception raised by a Queue call (which has no caller to
// receive it) is kept, in the order raised, whoever ran the call (this
// function or ServeGroup), and so is a wake hook's exception that a
// component's own call (QueueOwnCall, SynchronizeOwnCall) met. After its round, each CheckSynchronize rethrows
// the oldest kept exception, if any; the next call rethrows the next one. So
// two Queue calls that raise in one round come out of two CheckSynchronize
// calls, and none is lost.
QEV_VCL_API bool CheckSynchronize(int timeoutMs = 0);

// The wake hook: called on the queueing thread whenever a Synchronize or
// Queue call is queued, so that a loop sleeping elsewhere can wake up and
// call CheckSynchronize. Returns the previous hook, and returns only once no
// call of the previous hook is under way: from then on it is never called
// again, so what it uses may be freed. A hook must therefore not wait for
// the main thread; a hook that calls SetWakeMainThread gets EThread.
QEV_VCL_API TNotifyEvent SetWakeMainThread(TNotifyEvent hook);

}  // namespace System::Classes
