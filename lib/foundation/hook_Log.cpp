#include "foundation/hook_Log.h"

#if defined(_WIN32)
extern "C" IMAGE_DOS_HEADER __ImageBase;
HINSTANCE HookModule() { return reinterpret_cast<HINSTANCE>(&__ImageBase); }
#else
// Without module handles, the address of an object inside this library names it.
static const char s_moduleAnchor = 0;
HINSTANCE HookModule() {
  return reinterpret_cast<HINSTANCE>(const_cast<char*>(&s_moduleAnchor));
}
#endif
