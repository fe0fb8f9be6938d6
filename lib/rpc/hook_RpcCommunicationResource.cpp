#include "rpc/hook_RpcCommunicationResource.h"

#include "foundation/hook_Log.h"

static constexpr const char16_t kHookUnit[] = u"hook_RpcCommunicationResource.cpp";

static constexpr const char16_t kMasterComponent[] = u"ID_TARN_MASTER";

CRpcCommunicationResource::CRpcIPCData::CRpcIPCData()
    : m_iReply1(0),
      m_iReply2(0),
      m_iRequest1(0),
      m_iRequest2(0),
      m_iRequest3(0),
      m_iRequest4(0),
      m_iRequest5(0) {}

CRpcCommunicationResource::CRpcIPCData::~CRpcIPCData() = default;

CRpcCommunicationResource::CRpcIPCData& CRpcCommunicationResource::CRpcIPCData::operator=(
    const CRpcIPCData& other) = default;

CRpcCommunicationResource::CRpcCommunicationResource()
    : m_pRpcClient(nullptr), m_iCommandId(0), m_iInitArg2(0) {}

CRpcCommunicationResource::CRpcCommunicationResource(int commandId, int arg2) : CRpcCommunicationResource() {
  Init(commandId, arg2);
}

CRpcCommunicationResource::CRpcCommunicationResource(const CRpcCommunicationResource& other)
    : m_pRpcClient(nullptr), m_iCommandId(other.m_iCommandId), m_iInitArg2(other.m_iInitArg2) {}

CRpcCommunicationResource& CRpcCommunicationResource::operator=(const CRpcCommunicationResource& other) {
  if (this != &other) {
    delete m_pRpcClient;
    m_pRpcClient = nullptr;
    m_iCommandId = other.m_iCommandId;
    m_iInitArg2 = other.m_iInitArg2;
  }
  return *this;
}

CRpcCommunicationResource::~CRpcCommunicationResource() {
  delete m_pRpcClient;
}

int CRpcCommunicationResource::Init(int commandId, int arg2) {
  m_iCommandId = commandId;
  m_iInitArg2 = arg2;
  return 0;
}

int CRpcCommunicationResource::Connect() {
  HOOK_LOG(LOG_TRACE_ENTER, u"CRpcCommunicationResource::Connect");
  CComponentID component(kMasterComponent);
  CRPCClientHelper* client = new CRPCClientHelper(component, nullptr);
  delete m_pRpcClient;
  m_pRpcClient = client;
  HOOK_LOG(LOG_TRACE_EXIT, u"CRpcCommunicationResource::Connect");
  return 0;
}

CRPCClientHelper* CRpcCommunicationResource::ConnectedClient() const {
  if (!m_pRpcClient)
    throw CRPCError(CRPCError::NOT_CONNECTED, "CRpcCommunicationResource: SendRequest before Connect");
  return m_pRpcClient;
}

void CRpcCommunicationResource::SendRequest(CIPCMsgBuffer& request, CIPCMsgBuffer& reply) {
  HOOK_LOG(LOG_TRACE_ENTER,
           u"CRpcCommunicationResource::SendRequest(CIPCMsgBuffer& request, CIPCMsgBuffer& reply)");
  ConnectedClient()->SendRequest(request, reply);
  HOOK_LOG(LOG_TRACE_EXIT,
           u"CRpcCommunicationResource::SendRequest(CIPCMsgBuffer& request, CIPCMsgBuffer& reply)");
}

void CRpcCommunicationResource::SendRequest(CRpcIPCData& request, CRpcIPCData& reply) {
  static constexpr const char16_t kName[] =
      u"CRpcCommunicationResource::SendRequest(CRpcCommunicationResource::CRpcIPCData& request, "
      u"CRpcCommunicationResource::CRpcIPCData& reply)";
  HOOK_LOG(LOG_TRACE_ENTER, kName);
  HOOK_LOG(LOG_TRACE_DETAIL, u"ketra hook command id:%d", m_iCommandId);
  CIPCMsgBuffer requestBuffer(1024, false);
  CIPCMsgBuffer replyBuffer(1024, false);
  requestBuffer << m_iCommandId << request.m_iRequest1 << request.m_iRequest2 << request.m_iRequest3
                << request.m_iRequest4 << request.m_iRequest5;
  ConnectedClient()->SendRequest(requestBuffer, replyBuffer);
  replyBuffer >> reply.m_iReply1;
  replyBuffer >> reply.m_iReply2;
  HOOK_LOG(LOG_TRACE_EXIT, kName);
}
