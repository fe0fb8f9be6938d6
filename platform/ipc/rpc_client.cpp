// The RPC client: one connection, connected on first use and again after a failure, one request
// and its reply at a time over the platform's transport.
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "ipc/rpc_frame.h"
#include "ipc/rpc_internal.h"
#include "ipc/rpc_transport.h"

using IPC::Io;

struct CRPCClientHelper::Impl {
  CComponentID component;
  std::string name;
  std::string path;
  uint32_t timeoutMs;
  std::mutex lock;  // one exchange at a time
  std::unique_ptr<IPC::CStream> stream;
  CRpcFrameDecoder decoder;
  IPC::CFrameReader reader;

  Impl(const CComponentID& c, const char16_t* n)
      : component(c),
        name(IPC::ClientName(n)),
        path(IPC::SocketPath(component)),
        timeoutMs(IPC::RpcTimeoutMs()) {}

  void Drop() {
    stream.reset();
    decoder.Reset();
    reader.Reset();
  }

  std::string Where() const { return "RPC to " + path + (name.empty() ? std::string() : " (" + name + ")"); }

  // The caller drops the connection (SendRequest, for every failure but the handler's own).
  [[noreturn]] void Fail(CRPCError::Code code, const std::string& what) {
    throw CRPCError(code, Where() + ": " + what);
  }

  // False when the request was not served: the connection was closed before it went out whole
  // (the server can only serve a whole frame), or the server said it closes it.
  bool Exchange(const CIPCMsgBuffer& request, CIPCMsgBuffer& reply) {
    if (request.GetSize() > kRpcMaxFramePayload)
      throw CRPCError(CRPCError::TOO_LARGE, "RPC request of " + std::to_string(request.GetSize()) + " bytes");
    if (!stream) stream = IPC::Connect(path, timeoutMs, Where());
    switch (IPC::SendFrame(*stream, RPC_FRAME_REQUEST, request.GetData(), request.GetSize(),
                           IPC::After(timeoutMs))) {
      case Io::DONE:
        break;
      case Io::TIMEOUT:
        Fail(CRPCError::TIMEOUT, "send timed out");
      case Io::CLOSED:
      case Io::RESET:
        return false;
      default:
        Fail(CRPCError::SYSTEM, stream->ErrorText());
    }
    // The whole reply within the time-out, however many pieces it comes in.
    const IPC::Clock::time_point deadline = IPC::After(timeoutMs);
    for (bool begun = false; decoder.GetStatus() == CRpcFrameDecoder::NEED_MORE; begun = true) {
      switch (reader.Step(*stream, decoder, deadline)) {
        case Io::DONE:
          break;
        case Io::TIMEOUT:
          Fail(CRPCError::TIMEOUT,
               begun ? "no complete reply within the time-out" : "no reply within the time-out");
        case Io::CLOSED:
          Fail(CRPCError::PEER_CLOSED, "server closed the connection during the request");
        case Io::RESET:
          Fail(CRPCError::PEER_CLOSED, "server reset the connection during the request");
        default:
          Fail(CRPCError::SYSTEM, stream->ErrorText());
      }
      // One request, one frame back: anything after it is not this protocol.
      if (decoder.Failed() || reader.HasLeftover())
        Fail(CRPCError::PROTOCOL, "malformed reply from the server");
    }
    return TakeReply(reply);
  }

  // The whole frame that has arrived: a reply loaded into reply (true), or the server's word that it
  // closes the connection without serving the request (false, a closing frame). Throws
  // REMOTE_FAILURE (an error reply, with the server's text) or PROTOCOL (a request frame).
  bool TakeReply(CIPCMsgBuffer& reply) {
    RpcFrameKind kind = decoder.GetKind();
    std::vector<uint8_t> payload = decoder.TakePayload();
    IPC::FenceAfterReceive();
    if (kind == RPC_FRAME_CLOSING) return false;
    if (kind == RPC_FRAME_ERROR) {
      std::string text(payload.begin(), payload.end());
      throw CRPCError(CRPCError::REMOTE_FAILURE, Where() + ": server failed: " + text);
    }
    if (kind != RPC_FRAME_REPLY)
      throw CRPCError(CRPCError::PROTOCOL, Where() + ": server sent a request frame");
    reply.Load(std::move(payload));
    return true;
  }
};

CRPCClientHelper::CRPCClientHelper(const CComponentID& component, const char16_t* name)
    : m_pImpl(new Impl(component, name)) {}

CRPCClientHelper::~CRPCClientHelper() {
  delete m_pImpl;
}

// One request under the lock. A request the server did not serve because the connection turned
// out closed (the send broke, or the server said it closes the connection) is sent once more on a
// new one. After any failure but the handler's own the connection is dropped: the stream's state is
// unknown, and a late reply must not answer the next request.
void CRPCClientHelper::SendRequest(const CIPCMsgBuffer& request, CIPCMsgBuffer& reply) {
  std::lock_guard<std::mutex> guard(m_pImpl->lock);
  try {
    if (m_pImpl->Exchange(request, reply)) return;
    m_pImpl->Drop();
    if (!m_pImpl->Exchange(request, reply))
      m_pImpl->Fail(CRPCError::PEER_CLOSED,
                    "server closed the connection, twice, without serving the request");
  } catch (const CRPCError& e) {
    if (e.GetCode() != CRPCError::REMOTE_FAILURE) m_pImpl->Drop();
    throw;
  } catch (...) {
    m_pImpl->Drop();
    throw;
  }
}

const CComponentID& CRPCClientHelper::GetComponent() const {
  return m_pImpl->component;
}
uint32_t CRPCClientHelper::GetTimeoutMs() const {
  return m_pImpl->timeoutMs;
}
