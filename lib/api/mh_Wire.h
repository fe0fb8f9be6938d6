// Internal, not installed: the requests a hook sends the scanning service and the service's
// replies, as types with one encoder and one decoder each. The hook client, the service, the
// tests and the fuzz target all go through here, so the two sides cannot drift apart.
//
// Each message is a run of items of the IPC stand-in's buffer (ipc/ipc_buffer.h: a one-byte tag,
// then a little-endian 32-bit value, or a count and UTF-16 units for a string), in this order:
//
//   register  i32 2 (kCmdRegisterPool), i32 pool, u32 entry count, per entry: i32 pool,
//             i32 resource id, wstring backing-file path; then u32 generation
//     reply   i32 status, i32 resources adopted
//   scan      i32 1 (kCmdScan), i32 pool, i32 header id, i32 content id, i32 update-header id,
//             i32 sequence, then u32 generation, which may be left off
//     reply   i32 status, i32 change flags, i32 the handler's answer
//   fence     i32 3 (kCmdFence), i32 pool, u32 generation, u32 id count, per id: i32 resource id
//     reply   i32 status, i32 0
//
// What the fields mean and what the service does with them: api/mh_Protocol.h.
//
// A decoder takes the whole buffer from its start and accepts exactly one message of its kind:
// a wrong command or item, a message cut short and bytes left after it are all refused (false),
// with the target left as it was. Counts are checked against a bound before anything is made for
// them, and entries are made as they are read, so what a decoder allocates follows the bytes
// really sent. Encoders append to the buffer.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "api/mh_Protocol.h"
#include "ipc/ipc_buffer.h"
#include "mailhook_export.h"

namespace mailhook {

// The most entries one registration (or ids one fence) may name: the hook's own most, 1024
// holders of three resources.
constexpr uint32_t kMaxWireEntries = 3 * 1024;

struct CRegisterEntry {
  int32_t pool = 0;
  int32_t resource = 0;
  std::u16string path;
  bool operator==(const CRegisterEntry&) const = default;
};

struct CRegisterRequest {
  int32_t pool = 0;
  std::vector<CRegisterEntry> entries;
  // Every resource of the pool starts fenced at it.
  uint32_t generation = 0;
  bool operator==(const CRegisterRequest&) const = default;
};

struct CRegisterReply {
  int32_t status = kStatusFailed;
  int32_t adopted = 0;
  bool operator==(const CRegisterReply&) const = default;
};

struct CScanRequest {
  int32_t pool = 0;
  int32_t header = 0;   // the header list's resource
  int32_t content = 0;  // the content's resource
  int32_t update = 0;   // the resource for the update header list
  int32_t sequence = 0;
  // Left off by a hook that knows no generations: the service takes it for the oldest the pool
  // has (its registration's).
  std::optional<uint32_t> generation;
  bool operator==(const CScanRequest&) const = default;
};

struct CScanReply {
  int32_t status = kStatusFailed;
  int32_t flags = 0;   // ChangeFlags
  int32_t answer = 0;  // the handler's own number (CScanMessage::SetAnswer)
  bool operator==(const CScanReply&) const = default;
};

struct CFenceRequest {
  int32_t pool = 0;
  uint32_t generation = 0;
  std::vector<int32_t> resources;
  bool operator==(const CFenceRequest&) const = default;
};

struct CFenceReply {
  int32_t status = kStatusFailed;
  bool operator==(const CFenceReply&) const = default;
};

MAILHOOK_API void Encode(const CRegisterRequest& message, CIPCMsgBuffer& out);
MAILHOOK_API void Encode(const CRegisterReply& message, CIPCMsgBuffer& out);
MAILHOOK_API void Encode(const CScanRequest& message, CIPCMsgBuffer& out);
MAILHOOK_API void Encode(const CScanReply& message, CIPCMsgBuffer& out);
MAILHOOK_API void Encode(const CFenceRequest& message, CIPCMsgBuffer& out);
MAILHOOK_API void Encode(const CFenceReply& message, CIPCMsgBuffer& out);

MAILHOOK_API bool Decode(const CIPCMsgBuffer& in, CRegisterRequest& message);
MAILHOOK_API bool Decode(const CIPCMsgBuffer& in, CRegisterReply& message);
MAILHOOK_API bool Decode(const CIPCMsgBuffer& in, CScanRequest& message);
MAILHOOK_API bool Decode(const CIPCMsgBuffer& in, CScanReply& message);
MAILHOOK_API bool Decode(const CIPCMsgBuffer& in, CFenceRequest& message);
MAILHOOK_API bool Decode(const CIPCMsgBuffer& in, CFenceReply& message);

// The command a request begins with; false when it does not begin with an i32 item.
MAILHOOK_API bool PeekCommand(const CIPCMsgBuffer& in, int32_t& command);

}  // namespace mailhook
