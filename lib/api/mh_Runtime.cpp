// What is the same on every platform about where hooks and services meet (the runtime folder
// itself and the checks on folders are per platform: mh_Files_posix.cpp, mh_Files_win.cpp).
#include <mailhook/mh_Runtime.h>

#include "ipc/rpc.h"
#include "os/os_storage.h"

namespace mailhook {

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
