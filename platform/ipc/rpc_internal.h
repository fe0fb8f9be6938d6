// Pieces of the RPC stand-in shared by its platform transports; not installed.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
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
std::string CallHandler(const CRPCServer::PeerHandler& handler, const CRPCPeer& peer,
                        const CIPCMsgBuffer& request, CIPCMsgBuffer& reply);

// A client's side of a whole frame that has arrived: loads a reply into reply (true), says the
// server closed the connection without serving the request (false, a closing frame), or throws
// CRPCError REMOTE_FAILURE (an error reply, with the server's text) or PROTOCOL (a request frame).
// where names the exchange for messages ("RPC to <path> (<client>)").
bool TakeReply(CRpcFrameDecoder& decoder, const std::string& where, CIPCMsgBuffer& reply);

// One request of a client, under its lock: exchange() is true when answered, false when the
// request was not served because the connection turned out closed (the send broke, or the server
// said it closes the connection); it is then sent once more on a new one. After any failure but
// the handler's own the connection is dropped: the stream's state is unknown, and a late reply
// must not answer the next request.
template <typename Exchange, typename Drop, typename Fail>
void GuardedRequest(std::mutex& lock, Exchange exchange, Drop drop, Fail fail) {
  std::lock_guard<std::mutex> guard(lock);
  try {
    if (exchange()) return;
    drop();
    if (!exchange()) fail();
  } catch (const CRPCError& e) {
    if (e.GetCode() != CRPCError::REMOTE_FAILURE) drop();
    throw;
  } catch (...) {
    drop();
    throw;
  }
}

// What a server's connection is doing, so that the one that has waited longest between
// requests can be closed to make room. A connection starts WAITING (from its accepting); its
// own thread moves it to BUSY when bytes come and back to WAITING when it is ready for the next
// request. The accepting thread may take a WAITING one for CLOSING and then wakes its thread.
// The two meet in one compare-and-swap: bytes that arrive as the connection is taken are never
// served, and a request under way is never cut off.
class CConnectionActivity {
 public:
  CConnectionActivity() : m_iSince(Now()) {}
  // Its own thread, before it waits for the next request.
  void Wait() {
    // Only this thread leaves BUSY: no other can change the state under us here.
    if (m_eState.load(std::memory_order_relaxed) != BUSY) return;
    m_iSince.store(Now(), std::memory_order_relaxed);
    m_eState.store(WAITING, std::memory_order_release);
  }
  // Its own thread, when bytes have come: false when the connection was taken for closing.
  bool Begin() {
    int expected = WAITING;
    return m_eState.compare_exchange_strong(expected, BUSY, std::memory_order_acq_rel);
  }
  // The accepting thread: true when it took the connection, which was waiting.
  bool TakeForClosing() {
    int expected = WAITING;
    return m_eState.compare_exchange_strong(expected, CLOSING, std::memory_order_acq_rel);
  }
  bool Waiting() const { return m_eState.load(std::memory_order_acquire) == WAITING; }
  bool TakenForClosing() const { return m_eState.load(std::memory_order_acquire) == CLOSING; }
  // Comparable between connections: smaller is longer ago.
  int64_t WaitingSince() const { return m_iSince.load(std::memory_order_relaxed); }

 private:
  static int64_t Now() { return std::chrono::steady_clock::now().time_since_epoch().count(); }
  enum : int { BUSY, WAITING, CLOSING };
  std::atomic<int> m_eState{WAITING};
  std::atomic<int64_t> m_iSince;
};

// Of the connections (pointers or smart pointers to something with an `activity` member and a
// `done` flag), the one that has waited longest, taken for closing; null when none waits.
template <typename Connections>
auto TakeLongestWaiting(Connections& connections) -> decltype(&*connections.front()) {
  for (;;) {
    decltype(&*connections.front()) oldest = nullptr;
    for (auto& c : connections)
      if (!c->done && c->activity.Waiting() &&
          (oldest == nullptr || c->activity.WaitingSince() < oldest->activity.WaitingSince()))
        oldest = &*c;
    // Lost to its own thread, which began a request meanwhile: look again.
    if (oldest == nullptr || oldest->activity.TakeForClosing()) return oldest;
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
