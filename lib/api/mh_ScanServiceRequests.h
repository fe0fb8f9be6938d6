// Internal, not installed: the service's handling of requests, reached without a listening
// link, for drivers that feed it requests of their own making as peers of their own making (the
// fuzz target, the service's tests).
#pragma once

#include <mailhook/mh_ScanService.h>

#include <cstdint>
#include <functional>

#include "ipc/ipc_buffer.h"
#include "ipc/rpc.h"

namespace mailhook {

class MAILHOOK_API CScanServiceRequests {
 public:
  // As a connection thread does for each request from peer: decodes it, acts and writes the reply.
  static void Handle(CScanService& service, const CRPCPeer& peer, const CIPCMsgBuffer& request,
                     CIPCMsgBuffer& reply);
  // As the link does when one of peer's connections has ended.
  static void Closed(CScanService& service, const CRPCPeer& peer);
  // Stands in for the link's answer to whether a process still holds a connection (without a
  // link every process does).
  static void SetProcessConnected(CScanService& service, std::function<bool(uint32_t process)> connected);
};

}  // namespace mailhook
