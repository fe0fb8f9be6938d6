// The library's load/unload entry point does nothing: no threads, no settings, no log line.
#include "win32/win32.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
