// Windows load-time entry: the library keeps no per-thread state, so it asks
// not to be told about threads starting and ending.
#if defined(_WIN32)
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(module);
    return TRUE;
}
#endif
