// Pieces of the RPC stand-in shared by its platform transports; not installed.
#pragma once

#include <string>

#include "ipc/rpc.h"

namespace IPC {

// The component id as a file name (ASCII); throws CRPCError(BAD_COMPONENT).
std::string ComponentFileName(const CComponentID& component);

}  // namespace IPC
