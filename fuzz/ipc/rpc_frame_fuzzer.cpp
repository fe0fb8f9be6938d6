// An arbitrary byte stream as the RPC server and client receive it, cut into pieces of varying
// size and fed through both paths of the frame decoder (copied in, or received straight into the
// payload), as the socket reader does. Every complete frame is then read as an IPC buffer.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "ipc/ipc_buffer.h"
#include "ipc/rpc_frame.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

void ReadItems(const std::vector<uint8_t>& payload) {
  CIPCMsgBuffer b;
  b.Load(payload.data(), payload.size());
  try {
    while (!b.AtEnd()) {
      switch (b.PeekTag()) {
        case CIPCMsgBuffer::TAG_INT32: {
          int32_t v;
          b >> v;
          break;
        }
        case CIPCMsgBuffer::TAG_UINT32: {
          uint32_t v;
          b >> v;
          break;
        }
        case CIPCMsgBuffer::TAG_WSTRING: {
          OS::x_wstring v;
          b >> v;
          break;
        }
        default: {
          CIPCStringList v;
          b >> v;
          break;
        }
      }
    }
  } catch (const CIPCError&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // The first byte chooses the piece sizes; a small limit keeps "too large" reachable.
  const size_t piece = 1 + data[0] % 61;
  const bool direct = data[0] & 0x80;
  ++data;
  --size;
  CRpcFrameDecoder decoder(1 << 16);
  size_t pos = 0;
  size_t frames = 0;
  while (pos < size && !decoder.Failed()) {
    size_t n = std::min(piece, size - pos);
    size_t room = 0;
    uint8_t* space = direct ? decoder.PayloadSpace(room) : nullptr;
    if (space) {
      Check(room > 0);
      size_t k = std::min(n, room);
      std::memcpy(space, data + pos, k);
      decoder.CommitPayload(k);
      pos += k;
    } else {
      size_t taken = decoder.Feed(data + pos, n);
      Check(taken <= n);
      pos += taken;
      if (taken == 0) Check(decoder.Failed() || decoder.GetStatus() == CRpcFrameDecoder::FRAME_READY);
    }
    if (decoder.GetStatus() == CRpcFrameDecoder::FRAME_READY) {
      std::vector<uint8_t> payload = decoder.TakePayload();
      Check(payload.size() <= (1u << 16));
      ReadItems(payload);
      ++frames;
    }
  }
  Check(frames <= size / kRpcFrameHeaderSize);
  return 0;
}
