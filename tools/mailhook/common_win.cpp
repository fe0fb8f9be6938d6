// The command's Windows side: descriptor limits.
#include "common.h"

namespace mailhook {

void RaiseDescriptorLimit() {}

}  // namespace mailhook
