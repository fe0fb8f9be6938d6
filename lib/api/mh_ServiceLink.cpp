#include "api/mh_ServiceLink.h"

#include <mailhook/mh_Error.h>

#include "api/mh_Protocol.h"
#include "api/mh_Wire.h"
#include "ipc/ipc_buffer.h"
#include "pool/hook_MemMapResourcePool.h"
#include "pool/hook_MemMapResourcePoolMgr.h"
#include "rpc/hook_RpcCommunicationResource.h"

namespace mailhook {

CServiceLink::CServiceLink(int poolId)
    : m_iPoolId(poolId), m_pLink(std::make_unique<CRpcCommunicationResource>(kCmdRegisterPool, 0)) {
  m_pLink->Connect();
}

CServiceLink::~CServiceLink() = default;

void CServiceLink::Exchange(CIPCMsgBuffer& request, CIPCMsgBuffer& reply) {
  std::lock_guard lock(m_Exchange);
  m_pLink->SendRequest(request, reply);
}

int32_t CServiceLink::Register(uint32_t generation) {
  CMemMapResourcePool* pool = CMemMapResourcePoolMgr::Instance()->GetResourcePool(m_iPoolId);
  CMemMapResourcePool::CResPoolRegisterInfo* info =
      pool != nullptr ? pool->ExportPoolRegisterInfo() : nullptr;
  if (info == nullptr) return kStatusFailed;
  CRegisterRequest registration{m_iPoolId, {}, generation};
  for (int32_t i = 0; i < info->iEntryCount; ++i) {
    const auto* entry = info->Entry(static_cast<size_t>(i));
    registration.entries.push_back({entry->iResourcePoolId, entry->iResourceId, entry->szBackingStoreName});
  }
  pool->FreePoolRegisterInfo(info);
  CIPCMsgBuffer request(1024, false), reply(1024, false);
  Encode(registration, request);
  Exchange(request, reply);
  CRegisterReply answer;
  if (!Decode(reply, answer))
    throw CMailhookError(CMailhookError::PROTOCOL, "service: a malformed reply to the registration");
  return answer.status;
}

int32_t CServiceLink::Fence(uint32_t generation, const std::vector<int32_t>& resources) {
  CIPCMsgBuffer request(1024, false), reply(1024, false);
  Encode(CFenceRequest{m_iPoolId, generation, resources}, request);
  Exchange(request, reply);
  CFenceReply answer;
  if (!Decode(reply, answer))
    throw CMailhookError(CMailhookError::PROTOCOL, "service: a malformed reply to the fence");
  return answer.status;
}

}  // namespace mailhook
