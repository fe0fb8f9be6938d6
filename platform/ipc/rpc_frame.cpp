#include "ipc/rpc_frame.h"

#include <algorithm>

namespace {

constexpr size_t kInitialReserve = 64 * 1024;

void PutU32(uint8_t* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t GetU32(const uint8_t* at) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(at[i]) << (8 * i);
  return v;
}

}  // namespace

void EncodeRpcFrameHeader(uint8_t (&out)[kRpcFrameHeaderSize], RpcFrameKind kind, uint32_t length) {
  PutU32(out, kRpcFrameMagic);
  PutU32(out + 4, kind);
  PutU32(out + 8, length);
}

CRpcFrameDecoder::CRpcFrameDecoder(uint32_t maxPayload) : m_uMaxPayload(maxPayload) {}

size_t CRpcFrameDecoder::Feed(const uint8_t* data, size_t size) {
  if (m_eStatus != NEED_MORE) return 0;
  size_t taken = 0;
  if (m_uHeaderFill < kRpcFrameHeaderSize) {
    size_t n = std::min(size, kRpcFrameHeaderSize - m_uHeaderFill);
    std::copy(data, data + n, m_Header + m_uHeaderFill);
    m_uHeaderFill += n;
    taken = n;
    // The magic is checked as soon as its 4 bytes are in, so garbage fails early.
    if (m_uHeaderFill >= 4 && GetU32(m_Header) != kRpcFrameMagic) {
      m_eStatus = BAD_MAGIC;
      return taken;
    }
    if (m_uHeaderFill < kRpcFrameHeaderSize) return taken;
    uint32_t kind = GetU32(m_Header + 4);
    if (kind < RPC_FRAME_REQUEST || kind > RPC_FRAME_CLOSING) {
      m_eStatus = BAD_KIND;
      return taken;
    }
    m_eKind = static_cast<RpcFrameKind>(kind);
    m_uLength = GetU32(m_Header + 8);
    if (m_uLength > m_uMaxPayload) {
      m_eStatus = TOO_LARGE;
      return taken;
    }
    m_Payload.clear();
    m_Payload.reserve(std::min<size_t>(m_uLength, kInitialReserve));
    m_uPayloadFill = 0;
  }
  size_t n = std::min(size - taken, static_cast<size_t>(m_uLength) - m_uPayloadFill);
  EnsureRoom(m_uPayloadFill + n);
  std::copy(data + taken, data + taken + n, m_Payload.data() + m_uPayloadFill);
  m_uPayloadFill += n;
  taken += n;
  if (m_uPayloadFill == m_uLength) m_eStatus = FRAME_READY;
  return taken;
}

uint8_t* CRpcFrameDecoder::PayloadSpace(size_t& room) {
  room = 0;
  if (m_eStatus != NEED_MORE || m_uHeaderFill < kRpcFrameHeaderSize) return nullptr;
  size_t left = static_cast<size_t>(m_uLength) - m_uPayloadFill;
  room = std::min(left, std::max(m_uPayloadFill, kInitialReserve));
  EnsureRoom(m_uPayloadFill + room);
  return m_Payload.data() + m_uPayloadFill;
}

void CRpcFrameDecoder::EnsureRoom(size_t need) {
  // The buffer's size is the part already made: it only ever grows, at least doubling, and
  // never past the frame. Resizing down to the fill after every receive and up again before
  // the next would zero-fill what had been made already, over and over: quadratic in the frame.
  if (m_Payload.size() >= need) return;
  m_Payload.resize(std::min<size_t>(m_uLength, std::max(need, 2 * m_Payload.size())));
}

void CRpcFrameDecoder::CommitPayload(size_t written) {
  m_uPayloadFill += std::min(written, m_Payload.size() - m_uPayloadFill);
  if (m_uPayloadFill == m_uLength && m_uHeaderFill == kRpcFrameHeaderSize) m_eStatus = FRAME_READY;
}

std::vector<uint8_t> CRpcFrameDecoder::TakePayload() {
  std::vector<uint8_t> out;
  if (m_eStatus != FRAME_READY) return out;
  m_Payload.resize(m_uPayloadFill);
  out.swap(m_Payload);
  m_uPayloadFill = 0;
  m_uHeaderFill = 0;
  m_uLength = 0;
  m_eStatus = NEED_MORE;
  return out;
}

void CRpcFrameDecoder::Reset() {
  m_Payload.clear();
  m_uPayloadFill = 0;
  m_uHeaderFill = 0;
  m_uLength = 0;
  m_eStatus = NEED_MORE;
}
