// The service's view of one message: opened from the pool id and the ids of its header,
// content and update-header resources, as the hook names them in its request.
//
// Reads the headers and content in place over the data sizes the hook recorded; writes
// changed headers into the update-header resource and new content over the content resource,
// through writers made once on request and committed with SetHeaders / SetContent. Owns its
// readers and writers; only borrows the resources, which stay in the service's pool.
// One receiver per message, used by one thread. It claims its three resources from the pool
// for its lifetime: a second receiver naming one of them while this one lives fails with
// HOOK_ERR_RESOURCE_BUSY instead of re-mapping a view this one reads (and so does a request
// naming one resource twice). The receiver must end before its pool is closed.
#pragma once

#include <cstdint>

#include "mailhook_export.h"

class CInputHookHeaders;
class COutputHookHeaders;
class CInputHookContent;
class COutputHookContent;
class CMemMapResource;
class CMemMapResourcePool;

class MAILHOOK_API CHookContentReceiver {
 public:
  CHookContentReceiver(int pool_id, int header_resource_id, int content_resource_id,
                       int update_header_resource_id);
  virtual ~CHookContentReceiver();
  // A copy would delete the same readers and writers as its source.
  CHookContentReceiver(const CHookContentReceiver&) = delete;
  CHookContentReceiver& operator=(const CHookContentReceiver&) = delete;

  virtual CInputHookHeaders* GetHeaders();
  virtual CInputHookContent* GetContent();
  // Commit the receiver's own writers: the written length becomes the resource's data size.
  virtual int SetHeaders(COutputHookHeaders* headers);
  virtual int SetContent(COutputHookContent* content);
  virtual COutputHookHeaders* GetOutputHookHeaders();
  virtual COutputHookContent* GetOutputHookContent();

  int Fail() const { return m_bReady == 0 ? 1 : 0; }
  // Why the constructor failed (a HookErrorCode), -1 when it did not.
  int GetError() const { return m_iError; }
  int GetPoolId() const { return m_iPoolId; }
  int NeedUpdateHeader() const { return m_bNeedUpdateHeader; }
  int NeedUpdateContent() const { return m_bNeedUpdateContent; }
  // Closes the mapping of each resource whose backing file grew past the allowed size.
  void CloseMemResourceDependonFileSize();

 protected:
  CHookContentReceiver();

 private:
  int32_t m_iPoolId;
  int32_t m_bNeedUpdateHeader;
  int32_t m_bNeedUpdateContent;
  CInputHookHeaders* m_pInputHeaders;
  CInputHookContent* m_pInputContent;
  COutputHookHeaders* m_pOutputHeaders;
  COutputHookContent* m_pOutputContent;
  CMemMapResource* Claim(int resourceId);

  CMemMapResourcePool* m_pPool;
  int32_t m_iError;
  CMemMapResource* m_pHeaderResource;
  CMemMapResource* m_pContentResource;
  CMemMapResource* m_pUpdateHeaderResource;
  int32_t m_bReady;
};
