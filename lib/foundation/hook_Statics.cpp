// The library's statics that need construction at load. They live in this one unit so that
// they are constructed in this order when the library loads and destroyed in reverse when it
// unloads: the pool manager's singleton lock first, then the client manager's.
#include "foundation/hook_Lock.h"
#include "pool/hook_MemMapResourcePoolMgr.h"

Lock CMemMapResourcePoolMgr::m_Lock_Singleton;
#include "shared/hook_SharedResourceClientMgr.h"

Lock CSharedResourceClientMgr::m_Lock;
