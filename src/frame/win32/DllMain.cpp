// Library load and unload. Nothing happens here beyond switching off the
// per-thread notifications: class objects are released by the class table's
// static releaser when the library unloads.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH)
        DisableThreadLibraryCalls(instance);
    return TRUE;
}
