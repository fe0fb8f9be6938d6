#include "common.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace mailhook {

std::filesystem::path RuntimeDir() {
  if (const char* dir = std::getenv("MAILHOOK_RUNTIME_DIR"); dir && *dir) return dir;
  if (const char* xdg = std::getenv("XDG_RUNTIME_DIR"); xdg && *xdg) return std::filesystem::path(xdg) / "mailhook";
  return "/dev/shm/mailhook-" + std::to_string(getuid());
}

std::filesystem::path DefaultWorkDir(int poolId) { return RuntimeDir() / ("pool-" + std::to_string(poolId)); }

void EnsurePrivateDir(const std::filesystem::path& dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir.parent_path(), ec);
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
    throw std::runtime_error("cannot create " + dir.string());
  struct stat st {};
  if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    throw std::runtime_error(dir.string() + " is not a folder");
  if (st.st_uid != geteuid() || (st.st_mode & 077) != 0)
    throw std::runtime_error(dir.string() + " must be owned by this user with mode 0700");
}

bool IsInside(const std::filesystem::path& path, const std::filesystem::path& dir) {
  auto p = std::filesystem::weakly_canonical(path).lexically_normal();
  auto d = std::filesystem::weakly_canonical(dir).lexically_normal();
  auto rel = p.lexically_relative(d);
  return !rel.empty() && *rel.begin() != ".." && rel != ".";
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
