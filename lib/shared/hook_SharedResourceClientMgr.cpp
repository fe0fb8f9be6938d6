#include "shared/hook_SharedResourceClientMgr.h"

#include <new>

#include "foundation/hook_Log.h"

static constexpr const char16_t kHookUnit[] = u"hook_SharedResourceClientMgr.cpp";

// m_Lock is defined with the library's other static lock, in load order.
// Atomic: the first test is made without the lock, while another thread may be creating it.
std::atomic<CSharedResourceClientMgr*> CSharedResourceClientMgr::m_Instance{nullptr};

CSharedResourceClientMgr* CSharedResourceClientMgr::Instance() {
  CSharedResourceClientMgr* instance = m_Instance.load(std::memory_order_acquire);
  if (instance != nullptr) return instance;
  Guard<Lock> guard(m_Lock);
  instance = m_Instance.load(std::memory_order_relaxed);
  if (instance == nullptr) {
    instance = new (std::nothrow) CSharedResourceClientMgr;
    m_Instance.store(instance, std::memory_order_release);
  }
  return instance;
}

void CSharedResourceClientMgr::CloseSingleton() {
  HOOK_LOG(LOG_TRACE_ENTER, u"CSharedResourceClientMgr::CloseSingleton");
  delete m_Instance.exchange(nullptr);
  HOOK_LOG(LOG_TRACE_EXIT, u"CSharedResourceClientMgr::CloseSingleton");
}

CSharedResourceClientMgr::CSharedResourceClientMgr() : m_pResourceMgr(new Table) {}

CSharedResourceClientMgr::~CSharedResourceClientMgr() { delete m_pResourceMgr; }

CHookSharedResource* CSharedResourceClientMgr::CreateSharedResource() {
  return new (std::nothrow) CHookSharedResource;
}

int CSharedResourceClientMgr::AddResourceToGroup(int groupId, CHookSharedResource* resource) {
  return m_pResourceMgr->AddResourceToGroup(groupId, resource);
}

int CSharedResourceClientMgr::ReadyToUse() { return m_pResourceMgr->ReadyToUse(); }

CHookSharedResource* CSharedResourceClientMgr::AcquireResource(int groupId) {
  Group* group = m_pResourceMgr->FindResourceGroup(groupId);
  return group == nullptr ? nullptr : group->AcquireResource();
}

int CSharedResourceClientMgr::ReleaseResource(int groupId, CHookSharedResource* resource) {
  return m_pResourceMgr->ReleaseResource(groupId, resource);
}

int CSharedResourceClientMgr::CloseResourceGroup(int groupId) {
  Group* group = m_pResourceMgr->FindResourceGroup(groupId);
  if (group == nullptr) return -1;
  group->Close();
  return 0;
}

int CSharedResourceClientMgr::Close() { return m_pResourceMgr->Close(); }

CSharedResourceClientMgr::Group* CSharedResourceClientMgr::FindGroup(int groupId) {
  return m_pResourceMgr->FindResourceGroup(groupId);
}
