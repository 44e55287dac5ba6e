// Freeing a separate resource module on POSIX.
#include <dlfcn.h>

#include "QevTimerPack.hpp"

void Qevtimerpack::detail::FreeResourceModule(System::HINSTANCE module) noexcept { dlclose(module); }
