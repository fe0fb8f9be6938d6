// The command's Windows side: descriptor limits.
#include <io.h>

#include <cstdio>

#include "common.h"

namespace mailhook {

void RaiseDescriptorLimit() {}

bool StdoutIsTerminal() {
  return _isatty(_fileno(stdout)) != 0;
}

}  // namespace mailhook
