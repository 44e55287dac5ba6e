// Freeing a separate resource module on Windows.
#include <windows.h>

#include "QevTimerPack.hpp"

void Qevtimerpack::detail::FreeResourceModule(System::HINSTANCE module) noexcept {
  ::FreeLibrary(static_cast<HMODULE>(module));
}
