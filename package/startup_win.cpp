// The module start-up on Windows: the DLL entry hands each load and unload
// to the package's module entry and always reports success.
#include <windows.h>

#include "QevTimerPack.hpp"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  using Qevtimerpack::detail::StartupStep;
  if (reason == DLL_PROCESS_ATTACH || reason == DLL_PROCESS_DETACH) {
    Qevtimerpack::detail::RecordStartup(reason == DLL_PROCESS_ATTACH ? StartupStep::Load : StartupStep::Unload,
                                        instance);
    Qevtimerpack::initialization();
  }
  return TRUE;
}
