// The one wrapper for POSIX calls a signal can interrupt: the call is made again on EINTR, so
// that an interruption never surfaces as a failure, and errno is left as the last call set it.
#pragma once

#include <cerrno>

namespace OS {

template <class F>
auto RetryOnEintr(F call) -> decltype(call()) {
  for (;;) {
    auto rc = call();
    if (!(rc < 0 && errno == EINTR)) return rc;
  }
}

}  // namespace OS
