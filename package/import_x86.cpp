// Part of the x86 build's import library. The x86 module exports one
// destructor per class under the framework's names, which have no separate
// deleting destructor; a C++ caller that calls a deleting destructor directly
// (a devirtualized `delete`) reaches it through the import slots below. Each
// does what that destructor does: hand the object to TObject's destroying
// operator delete, which runs the destructors and frees it.
#include <new>

#include "QevTimer.hpp"

namespace {

template <class T>
__attribute__((thiscall)) void DeletingDestructor(T* self) {
  System::TObject::operator delete(self, std::destroying_delete);
}

}  // namespace

extern "C" {
extern void* const timerDeletingDestructor asm("__imp___ZN8Qevtimer9TQevTimerD0Ev");
extern void* const threadDeletingDestructor asm("__imp___ZN8Qevtimer12TTimerThreadD0Ev");
void* const timerDeletingDestructor = reinterpret_cast<void*>(&DeletingDestructor<Qevtimer::TQevTimer>);
void* const threadDeletingDestructor = reinterpret_cast<void*>(&DeletingDestructor<Qevtimer::TTimerThread>);
}
