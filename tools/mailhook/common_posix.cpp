// The command's POSIX side: descriptor limits.
#include <sys/resource.h>

#include <filesystem>

#include "common.h"

namespace mailhook {

bool DescriptorsLeftFor(size_t resources) {
  constexpr size_t kReserve = 64;
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return true;
  size_t open = 0;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator("/proc/self/fd", ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
    ++open;
  return open + 3 * resources + kReserve <= static_cast<size_t>(limit.rlim_cur);
}

void RaiseDescriptorLimit() {
  if (rlimit limit{}; getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

}  // namespace mailhook
