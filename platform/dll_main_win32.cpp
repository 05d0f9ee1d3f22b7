// Entry point of the Windows DLL.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

// It only switches off thread notifications; nothing happens at detach, so libraries still
// registered stay loaded until the process ends.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) ::DisableThreadLibraryCalls(instance);
    return TRUE;
}
