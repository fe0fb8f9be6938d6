// CRpcCommunicationResource: the hook side's link to the master scanning service component
// "ID_TARN_MASTER", and the base of every per-message shared resource, so each holder carries its
// own client and its own command id.
//
// Lifecycle: Init (any time), Connect, any number of SendRequest calls, destruction. Failures of
// an exchange come from the RPC library as CRPCError and pass through unchanged; a request on a
// link that was never connected raises CRPCError(NOT_CONNECTED).
//
// Copies: a client belongs to exactly one link, so a copy (constructed or assigned) takes the
// command id and the second Init value but no client; it is connected by its own Connect. An
// assigned-to link gives up the client it had.
//
// Not thread-safe: one object is used by one thread at a time.
#pragma once

#include <cstdint>

#include "ipc/ipc_buffer.h"
#include "ipc/rpc.h"
#include "mailhook_export.h"

class MAILHOOK_API CRpcCommunicationResource {
 public:
  // A record of the fixed integer request: a request record gives m_iRequest1..5, a reply record
  // receives m_iReply1 and m_iReply2. Every field starts at 0.
  class MAILHOOK_API CRpcIPCData {
   public:
    CRpcIPCData();
    ~CRpcIPCData();
    CRpcIPCData(const CRpcIPCData& other) = default;
    CRpcIPCData& operator=(const CRpcIPCData& other);

    int32_t m_iReply1;
    int32_t m_iReply2;
    int32_t m_iRequest1;
    int32_t m_iRequest2;
    int32_t m_iRequest3;
    int32_t m_iRequest4;
    int32_t m_iRequest5;
  };

  CRpcCommunicationResource();
  CRpcCommunicationResource(int commandId, int arg2);
  CRpcCommunicationResource(const CRpcCommunicationResource& other);
  CRpcCommunicationResource& operator=(const CRpcCommunicationResource& other);
  virtual ~CRpcCommunicationResource();

  // Stores the command id sent first in every integer request, and a value kept for the users.
  // Returns 0.
  int Init(int commandId, int arg2);
  // Creates the client for "ID_TARN_MASTER", releasing any client held before. The client
  // connects on its first request. Returns 0; an exception from the client passes through and
  // leaves the link as it was.
  int Connect();

  // Sends the caller's request buffer as it is and receives the service's answer into reply.
  void SendRequest(CIPCMsgBuffer& request, CIPCMsgBuffer& reply);
  // Sends the command id and request.m_iRequest1..5 as six signed items; fills reply.m_iReply1
  // and reply.m_iReply2 from the two signed items of the answer, nothing else of reply.
  void SendRequest(CRpcIPCData& request, CRpcIPCData& reply);

  int32_t GetCommandId() const { return m_iCommandId; }
  int32_t GetInitArg2() const { return m_iInitArg2; }
  bool IsConnected() const { return m_pRpcClient != nullptr; }

 private:
  CRPCClientHelper* ConnectedClient() const;

  CRPCClientHelper* m_pRpcClient;  // owned; null until Connect
  int32_t m_iCommandId;
  int32_t m_iInitArg2;
};
