// Internal, not installed: the service's handling of one request, reached without a listening
// link, for drivers that feed it requests of their own making (the fuzz target).
#pragma once

#include <mailhook/mh_ScanService.h>
#include "ipc/ipc_buffer.h"

namespace mailhook {

class MAILHOOK_API CScanServiceRequests {
 public:
  // As a connection thread does for each request: decodes it, acts and writes the reply.
  static void Handle(CScanService& service, const CIPCMsgBuffer& request, CIPCMsgBuffer& reply);
};

}  // namespace mailhook
