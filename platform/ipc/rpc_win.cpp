// The RPC transport on Windows is not built yet (it will run over named pipes): every entry point
// fails with CRPCError(UNSUPPORTED) so that the library links and callers get a clear error.
#include "ipc/rpc_internal.h"

namespace {

[[noreturn]] void Unsupported() {
  throw CRPCError(CRPCError::UNSUPPORTED, "RPC transport not available on this platform yet");
}

}  // namespace

namespace IPC {

std::string GetRuntimeDir() {
  Unsupported();
}
std::string PrepareRuntimeDir() {
  Unsupported();
}
std::string SocketPath(const CComponentID& component) {
  ComponentFileName(component);
  Unsupported();
}

}  // namespace IPC

struct CRPCClientHelper::Impl {};

CRPCClientHelper::CRPCClientHelper(const CComponentID&, const char16_t*) : m_pImpl(nullptr) {
  Unsupported();
}
CRPCClientHelper::~CRPCClientHelper() = default;
void CRPCClientHelper::SendRequest(const CIPCMsgBuffer&, CIPCMsgBuffer&) {
  Unsupported();
}
const CComponentID& CRPCClientHelper::GetComponent() const {
  Unsupported();
}
uint32_t CRPCClientHelper::GetTimeoutMs() const {
  return IPC::RpcTimeoutMs();
}

struct CRPCServer::Impl {};

CRPCServer::CRPCServer(const CComponentID&, Handler) : m_pImpl(nullptr) {
  Unsupported();
}
CRPCServer::~CRPCServer() = default;
void CRPCServer::Stop() {}
size_t CRPCServer::GetConnectionCount() const {
  return 0;
}
const std::string& CRPCServer::GetSocketPath() const {
  Unsupported();
}
