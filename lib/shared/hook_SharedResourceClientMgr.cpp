#include "shared/hook_SharedResourceClientMgr.h"

#include <new>

#include "foundation/hook_Log.h"

static constexpr const char16_t kHookUnit[] = u"hook_SharedResourceClientMgr.cpp";

// m_Lock is defined with the library's other static lock, in load order.
CSharedResourceClientMgr* CSharedResourceClientMgr::m_Instance = nullptr;

CSharedResourceClientMgr* CSharedResourceClientMgr::Instance() {
  if (m_Instance != nullptr) return m_Instance;
  Guard<Lock> guard(m_Lock);
  if (m_Instance == nullptr) m_Instance = new (std::nothrow) CSharedResourceClientMgr;
  return m_Instance;
}

void CSharedResourceClientMgr::CloseSingleton() {
  HOOK_LOG(LOG_TRACE_ENTER, u"CSharedResourceClientMgr::CloseSingleton");
  delete m_Instance;
  m_Instance = nullptr;
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
