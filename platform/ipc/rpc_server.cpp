// The RPC server: an accepting thread and a thread per connection over the platform's transport.
//
// Lock order: the server's lock, then nothing of the transport's that blocks. A connection's
// stream is closed under the lock (so that one looked at under it is still open) and deleted only
// after its thread has ended: on POSIX a descriptor number can then never be shut down after
// the system has handed it to someone else.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "ipc/rpc_frame.h"
#include "ipc/rpc_internal.h"
#include "ipc/rpc_transport.h"

using IPC::Io;

namespace {

// The longest error text a server sends back.
constexpr size_t kMaxErrorText = 1024;

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

struct Connection {
  std::unique_ptr<IPC::CStream> stream;
  CRPCPeer peer;
  std::thread thread;
  CConnectionActivity activity;
  std::atomic<bool> ended{false};  // its peer is no longer served, its stream closed (set before onClosed)
  std::atomic<bool> done{false};   // its thread has finished: it may be joined
};

// Of the connections, the one that has waited longest, taken for closing; null when none waits.
Connection* TakeLongestWaiting(std::list<std::unique_ptr<Connection>>& connections) {
  for (;;) {
    Connection* oldest = nullptr;
    for (auto& c : connections)
      if (!c->done && c->activity.Waiting() &&
          (oldest == nullptr || c->activity.WaitingSince() < oldest->activity.WaitingSince()))
        oldest = c.get();
    // Lost to its own thread, which began a request meanwhile: look again.
    if (oldest == nullptr || oldest->activity.TakeForClosing()) return oldest;
  }
}

// Runs the handler on one request. Returns the text of its failure for an error reply (at most
// kMaxErrorText bytes, never empty on failure), or an empty string when the reply may be sent.
std::string CallHandler(const CRPCServer::PeerHandler& handler, const CRPCPeer& peer,
                        const CIPCMsgBuffer& request, CIPCMsgBuffer& reply) {
  reply.Clear();
  std::string failure;
  try {
    handler(peer, request, reply);
  } catch (const std::exception& e) {
    failure = e.what();
    if (failure.empty()) failure = "handler failed";
  } catch (...) {
    failure = "handler failed";
  }
  if (failure.empty() && reply.GetSize() > kRpcMaxFramePayload) failure = "reply larger than a frame";
  failure.resize(std::min(failure.size(), kMaxErrorText));
  return failure;
}

}  // namespace

struct CRPCServer::Impl {
  PeerHandler handler;
  Options options;
  std::string path;
  uint32_t timeoutMs = IPC::RpcTimeoutMs();
  std::unique_ptr<IPC::CListener> listener;
  std::thread acceptThread;
  std::atomic<bool> stopping{false};  // read by connections between requests
  mutable std::mutex lock;  // guards connections, their streams' closing, stopped and nextConnection
  std::list<std::unique_ptr<Connection>> connections;
  bool stopped = false;
  uint64_t nextConnection = 0;

  void Listen(const CComponentID& component) {
    IPC::PrepareRuntimeDir();
    path = IPC::SocketPath(component);
    listener = IPC::Listen(path, timeoutMs);
    acceptThread = std::thread([this] { AcceptLoop(); });
  }

  void AcceptLoop() {
    while (std::unique_ptr<IPC::CStream> stream = listener->Accept()) {
      std::lock_guard<std::mutex> guard(lock);
      ReapFinished();
      if (stopped) return;
      if (!MakeRoom()) continue;  // the newcomer is closed as its stream goes
      auto conn = std::make_unique<Connection>();
      conn->peer = {++nextConnection, stream->PeerProcess()};
      conn->stream = std::move(stream);
      Connection* raw = conn.get();
      connections.push_back(std::move(conn));
      raw->thread = std::thread([this, raw] { Serve(*raw); });
    }
  }

  // Under lock: true when a new connection may be held, after closing the one that has waited
  // longest if the limit is reached.
  bool MakeRoom() {
    size_t held = 0;
    for (auto& c : connections) held += c->ended ? 0 : 1;
    if (held < options.maxConnections) return true;
    Connection* oldest = TakeLongestWaiting(connections);
    if (oldest == nullptr) return false;
    // Its thread wakes from its wait, says why and ends. A request sent meanwhile now fails to go
    // out, or meets the goodbye: its client sends it again on a new connection.
    oldest->stream->Wake();
    oldest->ended = true;
    return true;
  }

  // Under lock.
  void ReapFinished() {
    for (auto it = connections.begin(); it != connections.end();) {
      if ((*it)->done) {
        (*it)->thread.join();
        it = connections.erase(it);
      } else {
        ++it;
      }
    }
  }

  void Serve(Connection& conn) {
    CRpcFrameDecoder decoder;
    IPC::CFrameReader reader;
    CIPCMsgBuffer request;
    CIPCMsgBuffer reply(1024, false);
    bool inFrame = false, waiting = false;
    IPC::Clock::time_point frameDeadline = IPC::kForever;
    for (;;) {
      // A waiting connection waits for ever (woken by Stop, or to make room); a frame once begun
      // must be complete within the time-out, or a peer sending a byte now and then would hold a
      // thread and the frame's buffer for good. A request that arrives in one piece (the usual
      // case) is read without a wait of its own.
      if (decoder.InFrame()) {
        if (!inFrame) frameDeadline = IPC::After(timeoutMs);
        inFrame = true;
      } else {
        inFrame = false;
        frameDeadline = IPC::kForever;
        if (!reader.HasLeftover() && !waiting) {
          conn.activity.Wait();
          waiting = true;
        }
      }
      // A read that completes at once is not a wait that Stop ends: a client sending request
      // after request must not keep its connection past Stop. Otherwise gone, woken by Stop or to
      // make room, or cut off mid-frame: nothing to answer.
      if (stopping || reader.Step(*conn.stream, decoder, frameDeadline) != Io::DONE) break;
      if (waiting && !conn.activity.Begin()) break;
      waiting = false;
      if (decoder.Failed()) break;
      if (decoder.GetStatus() != CRpcFrameDecoder::FRAME_READY) continue;
      if (decoder.GetKind() != RPC_FRAME_REQUEST) break;
      request.Load(decoder.TakePayload());
      IPC::FenceAfterReceive();
      std::string failure = CallHandler(handler, conn.peer, request, reply);
      // Waiting from before the reply goes out, so that a client holding its reply finds the
      // connection waiting: were it closed to make room now, the reply still goes out whole.
      if (!reader.HasLeftover()) {
        conn.activity.Wait();
        waiting = true;
      }
      // The reply still goes out when Stop came meanwhile; a peer that does not read it holds
      // this thread (and Stop) up to the time-out at most.
      if (SendReply(*conn.stream, failure, reply) != Io::DONE) break;
    }
    End(conn);
  }

  // The connection's last words and its end. Its stream closes under the lock, where
  // IsProcessConnected looks at it.
  void End(Connection& conn) {
    // Closed to make room: whatever the peer sent is not served, and it is told so.
    if (conn.activity.TakenForClosing())
      (void)IPC::SendFrame(*conn.stream, RPC_FRAME_CLOSING, nullptr, 0, IPC::After(timeoutMs));
    {
      std::lock_guard<std::mutex> guard(lock);
      conn.stream->Close();
      conn.ended = true;
    }
    if (options.onClosed) options.onClosed(conn.peer);
    conn.done = true;
  }

  // The handler's reply, or its failure as an error reply.
  Io SendReply(IPC::CStream& stream, const std::string& failure, const CIPCMsgBuffer& reply) const {
    if (!failure.empty())
      return IPC::SendFrame(stream, RPC_FRAME_ERROR, reinterpret_cast<const uint8_t*>(failure.data()),
                            failure.size(), IPC::After(timeoutMs));
    return IPC::SendFrame(stream, RPC_FRAME_REPLY, reply.GetData(), reply.GetSize(), IPC::After(timeoutMs));
  }

  void Stop() {
    {
      std::lock_guard<std::mutex> guard(lock);
      if (stopped) return;
      stopped = true;
    }
    stopping = true;
    if (acceptThread.joinable()) {
      listener->Stop();
      acceptThread.join();
    }
    // No new connection can appear now. Every connection waiting for a request is woken and ends,
    // while a reply being made still goes out.
    std::list<std::unique_ptr<Connection>> all;
    {
      std::lock_guard<std::mutex> guard(lock);
      for (auto& c : connections) c->stream->Wake();
      all.swap(connections);
    }
    for (auto& c : all) c->thread.join();
    all.clear();
    listener.reset();
  }
};

CRPCServer::CRPCServer(const CComponentID& component, PeerHandler handler, Options options)
    : m_pImpl(new Impl) {
  m_pImpl->handler = std::move(handler);
  m_pImpl->options = std::move(options);
  try {
    m_pImpl->Listen(component);
  } catch (...) {
    delete m_pImpl;
    throw;
  }
}

CRPCServer::~CRPCServer() {
  Stop();
  delete m_pImpl;
}

void CRPCServer::Stop() {
  m_pImpl->Stop();
}

size_t CRPCServer::GetConnectionCount() const {
  std::lock_guard<std::mutex> guard(m_pImpl->lock);
  size_t n = 0;
  for (auto& c : m_pImpl->connections) n += c->ended ? 0 : 1;
  return n;
}

bool CRPCServer::IsProcessConnected(uint32_t process) const {
  std::lock_guard<std::mutex> guard(m_pImpl->lock);
  for (auto& c : m_pImpl->connections)
    if (!c->ended && c->peer.process == process && !c->stream->PeerHungUp()) return true;
  return false;
}

const std::string& CRPCServer::GetSocketPath() const {
  return m_pImpl->path;
}
