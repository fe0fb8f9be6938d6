// The wire protocol between a hook and the scanning service: the request layout over the RPC
// link, the reply codes and the change flags. Both sides of a program built on the library use
// these values; they are the layer's, not any one program's.
#pragma once

#include <cstdint>

#include <mailhook/mh_HookClient.h>  // the change flags of a reply
#include <mailhook/mh_Runtime.h>     // the default pool

namespace mailhook {

// Requests, each a buffer of items answered by a status and one or two more integers.
enum Command : int32_t {
  // Command, pool id, the header, content and update-header resource ids, the message's sequence
  // number, then the hook's generation (unsigned; may be left off, and then no fence is checked).
  // Answered by a status, a set of change flags and the handler's own answer.
  kCmdScan = 1,
  // Command, pool id, entry count, then per entry pool id, resource id and backing-file path (the
  // pool's export record, item by item), then the hook's generation (unsigned; may be left off:
  // 0). Every resource of the pool starts fenced at that generation. Answered by a status and
  // the count of resources adopted.
  kCmdRegisterPool = 2,
  // Command, pool id, generation (unsigned), id count, resource ids: from now on a scan naming
  // one of them with an earlier generation is refused (kStatusStale) without touching it.
  // Answered kStatusOk when no request of the service is using any of them any more,
  // kStatusResourceBusy while one still does (the fence stands either way: ask again later), and
  // a status of 0.
  kCmdFence = 3,
  // Command alone: answered by a status and the service's counters (api/mh_StatsRecorder.h).
  kCmdStats = 4,
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
  // The scan named a resource fenced at a later generation than its own: it is a request the
  // hook gave up on (it timed out), and the resources are someone else's now.
  kStatusStale = -10,
  kStatusRefused = -13,  // a registration naming files outside the working folder
};

constexpr int kDefaultGroupId = 0;

}  // namespace mailhook
