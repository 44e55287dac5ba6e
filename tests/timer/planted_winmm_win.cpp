// A library of the test's making placed beside a test program: as
// "winmm.dll", where the system's search would find it before the system's
// own; as the application's own libraries, which the program binds by name.
// It only records that it was loaded, in the process's environment
// (QEV_LOADED_<PLANTED_NAME>), so that the program can tell, and exports one
// entry point to bind.
#include <windows.h>

#define QEV_TEXT(x) L##x
#define QEV_WIDE(x) QEV_TEXT(x)

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) ::SetEnvironmentVariableW(QEV_WIDE("QEV_LOADED_" PLANTED_NAME), L"loaded");
  return TRUE;
}

extern "C" __declspec(dllexport) int PlantedEntry() { return 7; }
