// Internal: a hook's link to the service for what is not a message, one exchange at a time:
// registering the pool (every resource, fenced at a generation) and fencing one holder's
// resources. Throws CRPCError when the exchange fails, CMailhookError(PROTOCOL) for a reply that
// does not decode.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

class CIPCMsgBuffer;
class CRpcCommunicationResource;

namespace mailhook {

class CServiceLink {
 public:
  explicit CServiceLink(int poolId);  // connects; the service need not be up yet
  ~CServiceLink();
  CServiceLink(const CServiceLink&) = delete;
  CServiceLink& operator=(const CServiceLink&) = delete;

  // The pool's resources as its lists hold them now (hold them still meanwhile), every one
  // fenced at generation; the service's status.
  int32_t Register(uint32_t generation);
  // The service's status for fencing these resources (-1 for none) at generation: kStatusOk once
  // no request of its own uses them.
  int32_t Fence(uint32_t generation, const std::vector<int32_t>& resources);

 private:
  void Exchange(CIPCMsgBuffer& request, CIPCMsgBuffer& reply);

  const int m_iPoolId;
  std::unique_ptr<CRpcCommunicationResource> m_pLink;
  std::mutex m_Exchange;  // one exchange at a time on the link
};

}  // namespace mailhook
