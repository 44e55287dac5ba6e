// Part of the x86 build's import library. The x86 module exports one
// destructor per class under the framework's names, which have no separate
// deleting destructor; a C++ caller that calls a deleting destructor directly
// (a devirtualized `delete`) reaches it through the import slots below. Each
// deletes through the object's virtual destructor, as the `delete` it stands
// for would: the object's own deleting destructor, in the package or in the
// application's subclass, runs its class's destroying operator delete (the
// timer's hands a delete over where it must). The slots are never in a
// virtual table, so the virtual call cannot come back here.
#include "QevTimer.hpp"

namespace {

template <class T>
__attribute__((thiscall)) void DeletingDestructor(T* self) {
  delete self;
}

}  // namespace

extern "C" {
extern void* const timerDeletingDestructor asm("__imp___ZN8Qevtimer9TQevTimerD0Ev");
extern void* const threadDeletingDestructor asm("__imp___ZN8Qevtimer12TTimerThreadD0Ev");
void* const timerDeletingDestructor = reinterpret_cast<void*>(&DeletingDestructor<Qevtimer::TQevTimer>);
void* const threadDeletingDestructor = reinterpret_cast<void*>(&DeletingDestructor<Qevtimer::TTimerThread>);
}
