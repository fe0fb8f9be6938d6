// What the POSIX transport shares with the runtime folder's checks (rpc_posix.cpp); not installed.
#pragma once

#include <string>

namespace IPC {

// "what: <the system's text for err>".
std::string ErrnoText(const char* what, int err);
// Throws CRPCError(SYSTEM) with ErrnoText.
[[noreturn]] void ThrowSystem(const char* what, int err);
// Throws CRPCError(RUNTIME_DIR), saying what to do, unless path is a real directory of this user's
// own closed to others.
void CheckRuntimeDir(const std::string& path);

}  // namespace IPC
