// The platform-independent part of the RPC stand-in.
#include <cstdlib>

#include "ipc/rpc_frame.h"

#include "ipc/rpc_internal.h"
#include "ipc/rpc_transport.h"

namespace {

constexpr uint32_t kDefaultTimeoutMs = 30000;
constexpr size_t kMaxComponentLength = 64;

bool IsNameUnit(char16_t c) {
  return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'_' ||
         c == u'-' || c == u'.';
}

}  // namespace

CRPCError::CRPCError(Code code, const std::string& what) : std::runtime_error(what), m_eCode(code) {}

namespace IPC {

std::string ComponentFileName(const CComponentID& component) {
  const OS::x_wstring& id = component.GetId();
  bool ok = !id.empty() && id.size() <= kMaxComponentLength && id[0] != u'.';
  std::string name;
  for (char16_t c : id) {
    ok = ok && IsNameUnit(c);
    name.push_back(static_cast<char>(c & 0x7F));
  }
  if (!ok)
    throw CRPCError(CRPCError::BAD_COMPONENT, "RPC: component id \"" + name + "\" cannot name a socket");
  return name;
}

std::string ClientName(const char16_t* name) {
  std::string out;
  for (const char16_t* p = name; p && *p; ++p) out.push_back(*p < 0x80 ? static_cast<char>(*p) : '?');
  return out;
}

Io CFrameReader::Step(CStream& stream, CRpcFrameDecoder& decoder, Clock::time_point deadline) {
  if (m_uUsed < m_uHave) {
    m_uUsed += decoder.Feed(m_Chunk.get() + m_uUsed, m_uHave - m_uUsed);
    return Io::DONE;
  }
  size_t room = 0, done = 0;
  if (uint8_t* direct = decoder.PayloadSpace(room)) {
    Io r = stream.Read(direct, room, done, deadline);
    decoder.CommitPayload(r == Io::DONE ? done : 0);
    return r;
  }
  Io r = stream.Read(m_Chunk.get(), kChunk, done, deadline);
  if (r == Io::DONE) {
    m_uHave = done;
    m_uUsed = decoder.Feed(m_Chunk.get(), m_uHave);
  }
  return r;
}

Io SendFrame(CStream& stream, RpcFrameKind kind, const uint8_t* data, size_t size,
             Clock::time_point deadline) {
  uint8_t header[kRpcFrameHeaderSize];
  EncodeRpcFrameHeader(header, kind, static_cast<uint32_t>(size));
  FenceBeforeSend();
  return stream.Write(header, sizeof(header), data, size, deadline);
}

uint32_t RpcTimeoutMs() {
  const char* text = std::getenv("MAILHOOK_RPC_TIMEOUT_MS");
  if (!text || !*text) return kDefaultTimeoutMs;
  char* end = nullptr;
  unsigned long long v = std::strtoull(text, &end, 10);
  // A typo must not turn the time-out off: anything but a plain positive number is the default.
  if (*end != '\0' || text[0] == '-' || v == 0 || v > 0x7FFFFFFFull) return kDefaultTimeoutMs;
  return static_cast<uint32_t>(v);
}

}  // namespace IPC

// A handler that does not ask who sent the request: the peer is dropped, the transport is the same.
CRPCServer::CRPCServer(const CComponentID& component, Handler handler)
    : CRPCServer(
          component,
          [handler = std::move(handler)](const CRPCPeer&, const CIPCMsgBuffer& request,
                                         CIPCMsgBuffer& reply) { handler(request, reply); },
          Options{}) {}
