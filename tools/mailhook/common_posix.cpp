// The command's POSIX side: descriptor limits.
#include <sys/resource.h>
#include <unistd.h>

#include "common.h"

namespace mailhook {

void RaiseDescriptorLimit() {
  if (rlimit limit{}; getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

}  // namespace mailhook

namespace mailhook {

bool StdoutIsTerminal() {
  return isatty(STDOUT_FILENO) == 1;
}

}  // namespace mailhook
