// The wire protocol between a hook and the scanning service: the request layout over the RPC
// link, the reply codes and the change flags. Both sides of a program built on the library use
// these values; they are the layer's, not any one program's.
#pragma once

#include <cstdint>

namespace mailhook {

// Requests. A scan is the library's integer request: the command id, then the pool id, the
// header, content and update-header resource ids, and the message's sequence number. The
// answer is a status and a set of change flags.
enum Command : int32_t {
  kCmdScan = 1,
  // Buffer request: command, pool id, entry count, then per entry pool id, resource id and
  // backing-file path: the pool's export record, item by item.
  kCmdRegisterPool = 2,
};

enum Status : int32_t {
  kStatusOk = 0,
  kStatusBadRequest = -1,
  kStatusFailed = -2,       // the service could not scan the message
  kStatusPoolUnknown = -7,  // no pool of that id: register it (again) and retry
  kStatusResourceUnknown = -8,
  // Another request of this service is using one of the named resources (or the request names
  // one twice): it is refused rather than waited for, so a hook that reuses resources after a
  // time-out cannot change a view under a scan still reading it. The hook may retry.
  kStatusResourceBusy = -9,
  kStatusRefused = -13,  // a registration naming files outside the working folder
};

enum ChangeFlags : int32_t {
  kChangedHeaders = 1,
  kChangedContent = 2,
  kInfected = 4,
};

constexpr int kDefaultPoolId = 1;
constexpr int kDefaultGroupId = 0;

}  // namespace mailhook
