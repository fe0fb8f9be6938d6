#include "common.h"

#include <cstdint>
#include <cstdio>

#include "os/os_storage.h"

namespace mailhook {

std::filesystem::path DefaultWorkDir(int poolId) {
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

std::string HumanBytes(double bytes) {
  const char* units[] = {"B", "KiB", "MiB", "GiB"};
  int u = 0;
  while (bytes >= 1024 && u < 3) {
    bytes /= 1024;
    ++u;
  }
  char buf[32];
  std::snprintf(buf, sizeof buf, u == 0 ? "%.0f %s" : "%.1f %s", bytes, units[u]);
  return buf;
}

}  // namespace mailhook
