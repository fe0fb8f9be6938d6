// Lock and NoLock are header-only, but exported: a Windows DLL exports a class's inline members
// and its vtable only from a unit of the DLL that sees the class, so this unit is that place.
#include "foundation/hook_Lock.h"
