// Pieces of the RPC stand-in shared by its platform transports; not installed.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "ipc/rpc.h"
#include "ipc/rpc_frame.h"

namespace IPC {

// The longest error text a server sends back.
constexpr size_t kMaxErrorText = 1024;

// The component id as a file name (ASCII); throws CRPCError(BAD_COMPONENT).
std::string ComponentFileName(const CComponentID& component);

// A client's name for diagnostics, ASCII (other characters become '?'); empty for null.
std::string ClientName(const char16_t* name);

// Runs the handler on one request. Returns the text of its failure for an error reply (at most
// kMaxErrorText bytes, never empty on failure), or an empty string when the reply may be sent.
std::string CallHandler(const CRPCServer::Handler& handler, const CIPCMsgBuffer& request,
                        CIPCMsgBuffer& reply);

// A client's side of a whole frame that has arrived: loads a reply into reply, or throws
// CRPCError REMOTE_FAILURE (an error reply, with the server's text) or PROTOCOL (a request frame).
// where names the exchange for messages ("RPC to <path> (<client>)").
void TakeReply(CRpcFrameDecoder& decoder, const std::string& where, CIPCMsgBuffer& reply);

// One exchange of a client, under its lock. After any failure but the handler's own the
// connection is dropped: the stream's state is unknown, and a late reply must not answer the
// next request.
template <typename Exchange, typename Drop>
void GuardedExchange(std::mutex& lock, Exchange exchange, Drop drop) {
  std::lock_guard<std::mutex> guard(lock);
  try {
    exchange();
  } catch (const CRPCError& e) {
    if (e.GetCode() != CRPCError::REMOTE_FAILURE) drop();
    throw;
  } catch (...) {
    drop();
    throw;
  }
}

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
