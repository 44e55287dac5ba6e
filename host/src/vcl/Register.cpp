#include "System.Classes.Register.hpp"

#include <atomic>

namespace System::Classes {

namespace {
std::atomic<TRegisterComponentsProc> registerComponentsProc{nullptr};
}  // namespace

void RegisterComponents(const UnicodeString& page, const TComponentClass* classes, int highIndex) {
  const TRegisterComponentsProc hook = registerComponentsProc.load();
  if (!hook)
    throw EComponentError(u"RegisterComponents: no design host has installed a registration hook"
                          u" (SetRegisterComponentsProc)");
  hook(page, classes, highIndex);
}

TRegisterComponentsProc SetRegisterComponentsProc(TRegisterComponentsProc hook) noexcept {
  return registerComponentsProc.exchange(hook);
}

}  // namespace System::Classes
