// Frames of the RPC stand-in's byte stream, shared by the client, the server and the fuzzer.
//
// A frame is a 12-byte header then the payload (a CIPCMsgBuffer's bytes, or for an error reply
// UTF-8 text). Header, little-endian:
//   offset 0  u32 magic   0x5052484D ("MHRP")
//   offset 4  u32 kind    1 request, 2 reply, 3 error reply, 4 closing
//   offset 8  u32 length  payload bytes, at most the decoder's limit
// The magic lets the reader drop a peer that is not speaking this protocol at the first frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "mh_ipc_export.h"

constexpr uint32_t kRpcFrameMagic = 0x5052484D;
constexpr size_t kRpcFrameHeaderSize = 12;
// The largest payload either side accepts: far above any request the library makes (the
// benchmarks stream 64 KiB chunks), far below what would hurt to buffer.
constexpr uint32_t kRpcMaxFramePayload = 64u << 20;

enum RpcFrameKind : uint32_t {
  RPC_FRAME_REQUEST = 1,
  RPC_FRAME_REPLY = 2,
  RPC_FRAME_ERROR = 3,
  // Empty, from a server that closes a connection waiting between requests (to make room for
  // another): nothing sent on it was or will be served, so the client may send it again on a
  // new connection.
  RPC_FRAME_CLOSING = 4,
};

MH_IPC_API void EncodeRpcFrameHeader(uint8_t (&out)[kRpcFrameHeaderSize], RpcFrameKind kind, uint32_t length);

// Cuts a byte stream, arriving in pieces of any size, into frames.
//
// The payload buffer grows with the bytes that really arrive (starting at no more than 64 KiB),
// not with the length a header claims, so a peer announcing a large frame and sending little
// costs little memory. Once failed, the decoder stays failed: the stream cannot be resynced.
class MH_IPC_API CRpcFrameDecoder {
 public:
  enum Status {
    NEED_MORE,    // the current frame is incomplete
    FRAME_READY,  // a whole frame is held: GetKind(), TakePayload()
    BAD_MAGIC,    // the stream does not carry this protocol
    BAD_KIND,     // a header with an unknown kind
    TOO_LARGE,    // a header announcing more than the limit
  };

  explicit CRpcFrameDecoder(uint32_t maxPayload = kRpcMaxFramePayload);

  // Takes bytes of the current frame and returns how many it took; it stops at the end of a
  // frame, so with FRAME_READY the caller handles the frame and feeds the rest afterwards.
  // Takes nothing while a frame is ready or after a failure.
  size_t Feed(const uint8_t* data, size_t size);

  // While a payload is being received: where the next bytes of it can be received straight to,
  // and how many (no more than the frame still needs, and no more than the payload already holds
  // or 64 KiB, so memory still grows with what arrives). Null in every other state. Every call
  // must be followed by CommitPayload with the number of bytes really written there.
  uint8_t* PayloadSpace(size_t& room);
  void CommitPayload(size_t written);

  Status GetStatus() const { return m_eStatus; }
  bool Failed() const { return m_eStatus > FRAME_READY; }
  RpcFrameKind GetKind() const { return m_eKind; }
  // After FRAME_READY: hands out the payload and starts on the next frame.
  std::vector<uint8_t> TakePayload();
  // True when part of a frame has arrived; a stream that ends here was cut off.
  bool InFrame() const { return m_uHeaderFill > 0 && m_eStatus == NEED_MORE; }
  // Drops any partial frame or failure and waits for a new frame.
  void Reset();

 private:
  uint32_t m_uMaxPayload;
  Status m_eStatus = NEED_MORE;
  RpcFrameKind m_eKind = RPC_FRAME_REQUEST;
  uint8_t m_Header[kRpcFrameHeaderSize] = {};
  size_t m_uHeaderFill = 0;
  uint32_t m_uLength = 0;
  // Grows m_Payload (never shrinks it) to hold at least need bytes.
  void EnsureRoom(size_t need);

  std::vector<uint8_t> m_Payload;
  size_t m_uPayloadFill = 0;  // bytes of m_Payload received (it is sized ahead, geometrically)
};
