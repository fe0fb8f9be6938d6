// The RPC server: an accepting thread and a thread per connection over the platform's transport.
//
// Lock order: the server's lock, then nothing of the transport's that blocks. A connection's
// stream is closed under the lock (so that one looked at under it is still open) and deleted only
// after its thread has ended: on POSIX a descriptor number can then never be shut down after
// the system has handed it to someone else.
#include <atomic>
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

struct Connection {
  std::unique_ptr<IPC::CStream> stream;
  CRPCPeer peer;
  std::thread thread;
  IPC::CConnectionActivity activity;
  std::atomic<bool> ended{false};  // its peer is no longer served, its stream closed (set before onClosed)
  std::atomic<bool> done{false};   // its thread has finished: it may be joined
};

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
    Connection* oldest = IPC::TakeLongestWaiting(connections);
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
      std::string failure = IPC::CallHandler(handler, conn.peer, request, reply);
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
