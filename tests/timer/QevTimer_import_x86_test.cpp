// The x86 import library's deleting-destructor slots (package/import_x86.cpp),
// which a devirtualized `delete` in an application calls directly: they must
// delete through the object's virtual destructor, so that the class's own
// destroying delete decides, never free the object behind its back.
#include <gtest/gtest.h>

#include <atomic>
#include <new>

#include "QevTimer.hpp"
#include "TimerProbe.hpp"

extern "C" {
extern void* const importedTimerDeletingDestructor asm("__imp___ZN8Qevtimer9TQevTimerD0Ev");
}

namespace {

using Qevtimer::TQevTimer;

std::atomic<int> classDeletes{0};

// A subclass whose own destroying delete counts, then passes on to the
// timer's.
struct CountingTimer : TQevTimer {
  using TQevTimer::TQevTimer;
  static void operator delete(CountingTimer* self, std::destroying_delete_t d) {
    ++classDeletes;
    TQevTimer::operator delete(self, d);
  }
};

using DeletingSlot = void(__attribute__((thiscall)) *)(TQevTimer*);

TEST(ImportLibraryX86, DeletingDestructorSlotGoesThroughTheVirtualDestructor) {
  classDeletes = 0;
  auto* timer = new CountingTimer(nullptr);
  reinterpret_cast<DeletingSlot>(importedTimerDeletingDestructor)(timer);
  EXPECT_EQ(classDeletes.load(), 1);
  EXPECT_TRUE(qevtest::AllThreadsEnded());
}

}  // namespace
