// A library named "winmm.dll" placed beside a test program, where the
// system's search would find it before its own: it only records that it was
// loaded, in the process's environment, so that the program can tell.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) ::SetEnvironmentVariableW(L"QEV_PLANTED_WINMM", L"loaded");
  return TRUE;
}
