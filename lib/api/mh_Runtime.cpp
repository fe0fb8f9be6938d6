// Where hooks and services meet: the transport's runtime folder, and folders of backing files
// checked as owner-only before anything is made in them.
#include <mailhook/mh_Runtime.h>

#include <mailhook/mh_Error.h>
#include "ipc/rpc.h"
#include "os/os_files.h"
#include "os/os_storage.h"

namespace mailhook {

std::filesystem::path RuntimeDir() {
  // One rule for the socket and the backing files.
  try {
    const std::string dir = IPC::GetRuntimeDir();
    return std::filesystem::path(std::u8string(dir.begin(), dir.end()));
  } catch (const CRPCError& e) {
    throw CMailhookError(CMailhookError::REFUSED, e.what());
  }
}

void EnsurePrivateDir(const std::filesystem::path& dir) {
  if (dir == RuntimeDir()) {
    // The transport's own rules make and check it (on Windows, its access list is set there).
    std::error_code ec;
    std::filesystem::create_directories(dir.parent_path(), ec);
    try {
      IPC::PrepareRuntimeDir();
    } catch (const CRPCError& e) {
      throw CMailhookError(CMailhookError::REFUSED, e.what());
    }
  }
  if (OS::CFolderProblem problem = OS::PreparePrivateFolder(dir)) {
    if (problem.m_eKind == OS::CFolderProblem::CANNOT_CREATE)
      throw CMailhookError(CMailhookError::SYSTEM, problem.m_strWhy);
    throw CMailhookError(
        CMailhookError::REFUSED,
        problem.m_strWhy +
            ": remove it, or set MAILHOOK_RUNTIME_DIR to a folder of this user's own for the "
            "service and its hooks");
  }
}

std::filesystem::path DefaultPoolDir(int poolId) {
  return RuntimeDir() / ("pool-" + std::to_string(poolId));
}

std::string StorageSummary(const std::filesystem::path& folder) {
  std::error_code ec;
  std::filesystem::path existing = folder;
  while (!existing.empty() && !std::filesystem::is_directory(existing, ec) && existing.has_parent_path() &&
         existing.parent_path() != existing)
    existing = existing.parent_path();
  return OS::FolderStorageSummary(existing.string());
}

uint32_t RpcTimeoutMs() {
  return IPC::RpcTimeoutMs();
}

}  // namespace mailhook
