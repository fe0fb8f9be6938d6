// CHookSharedResource: the hook's working unit for one message at a time. It is an RPC link
// to the master service (its base) that also holds, while a message is in flight, the
// message's three shared-memory resources from one pool: header (small), content (large) and
// update-header (small). The link stays for the object's life; the resources are taken per
// message with GetMemResources and given back with Close.
//
// Used by one thread at a time (its group hands it to one user). The resources are borrowed
// from their pool, never deleted here.
#pragma once

#include <cstdint>

#include "mailhook_export.h"
#include "rpc/hook_RpcCommunicationResource.h"

class CMemMapResource;

class MAILHOOK_API CHookSharedResource : public CRpcCommunicationResource {
 public:
  CHookSharedResource();
  ~CHookSharedResource() override;
  // A copy would hold its source's resources and give them back a second time.
  CHookSharedResource(const CHookSharedResource&) = delete;
  CHookSharedResource& operator=(const CHookSharedResource&) = delete;

  // The name and the two sizes are accepted for the interface's sake and not used.
  int Init(int poolId, int resourceId, int commandId, int arg2, const char16_t* name, uint64_t size1,
           uint64_t size2);
  // Takes header, content and update-header resources from pool m_iPoolId, waiting while none
  // is free; a resource not acquired shows as null through its getter. Always 0.
  int GetMemResources();
  // Gives back whatever is held, in the order header, content, update-header. Always 0.
  int Close();

  CMemMapResource* GetHeaderMemResource() const { return m_pHeaderResource; }
  CMemMapResource* GetContentMemResource() const { return m_pContentResource; }
  CMemMapResource* GetUpdateHeaderMemResource() const { return m_pUpdateHeaderResource; }
  int GetResourceId() const { return m_iResourceId; }
  int GetPoolId() const { return m_iPoolId; }

  // Not thread-safe: callers drawing ids from several threads serialise the calls.
  static int GetUniqueID();
  static void ResetUniqueID();

 private:
  int32_t m_iPoolId;
  int32_t m_iResourceId;
  CMemMapResource* m_pHeaderResource;
  CMemMapResource* m_pContentResource;
  CMemMapResource* m_pUpdateHeaderResource;

  static int m_iIdSeed;
};
