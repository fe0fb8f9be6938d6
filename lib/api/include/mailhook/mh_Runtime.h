// Where a hook and its service meet on this host, and what a program says about it at start-up.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include <mailhook/mailhook_export.h>

namespace mailhook {

// The pool a hook registers when it is given none.
constexpr int kDefaultPoolId = 1;

// The per-user runtime folder where the service listens and backing files live by default
// (MAILHOOK_RUNTIME_DIR, else $XDG_RUNTIME_DIR/mailhook, else the system's per-user runtime
// folder; a tmpfs, where a shared mapping is never written back to a disk).
MAILHOOK_API std::filesystem::path RuntimeDir();
// The default folder of one pool's backing files: <runtime folder>/pool-<id>.
MAILHOOK_API std::filesystem::path DefaultPoolDir(int poolId);
// Creates a folder owner-only (0700), refusing one that exists with another owner or mode.
// Throws CMailhookError(REFUSED) for a folder that must not be used, SYSTEM when none can be made.
MAILHOOK_API void EnsurePrivateDir(const std::filesystem::path& dir);

// "backing files in FOLDER: tmpfs, 2 MiB pages" and the like, for the nearest existing folder,
// with advice where another folder would carry large messages faster.
MAILHOOK_API std::string StorageSummary(const std::filesystem::path& folder);

// How long a hook waits for the service's reply, and a service for a request to arrive whole
// once it has begun (MAILHOOK_RPC_TIMEOUT_MS, default 30 s).
MAILHOOK_API uint32_t RpcTimeoutMs();

}  // namespace mailhook
