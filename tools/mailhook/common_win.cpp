// The command's Windows side: descriptor limits.
#include "common.h"

namespace mailhook {

// Windows has no per-process descriptor limit short of memory (handles number in the millions).
bool DescriptorsLeftFor(size_t) {
  return true;
}

void RaiseDescriptorLimit() {}

}  // namespace mailhook
