// Pieces of the RPC stand-in shared by its client, server and platform transports; not installed.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "ipc/rpc.h"
#include "ipc/rpc_frame.h"

namespace IPC {

// The component id as a file name (ASCII); throws CRPCError(BAD_COMPONENT).
std::string ComponentFileName(const CComponentID& component);

// A client's name for diagnostics, ASCII (other characters become '?'); empty for null.
std::string ClientName(const char16_t* name);

#if defined(__SANITIZE_THREAD__)
#define MH_IPC_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define MH_IPC_TSAN 1
#endif
#endif

// The fences order this process's writes to shared memory against the message that announces
// them. ThreadSanitizer does not model fences (GCC refuses them under it) and cannot see the other
// process anyway, so its builds leave them out.
inline void FenceBeforeSend() {
#if !defined(MH_IPC_TSAN)
  std::atomic_thread_fence(std::memory_order_release);
#endif
}

inline void FenceAfterReceive() {
#if !defined(MH_IPC_TSAN)
  std::atomic_thread_fence(std::memory_order_acquire);
#endif
}

}  // namespace IPC
