#pragma once

#include <string>

namespace mailhook {

int RunInspect(const std::string& path);

}  // namespace mailhook
