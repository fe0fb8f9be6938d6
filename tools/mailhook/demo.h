#pragma once

#include <string>

#include "hook.h"

namespace mailhook {

struct DemoOptions {
  HookOptions hook;
  std::string input;  // empty: the built-in messages
};

int RunDemo(const DemoOptions& options);

}  // namespace mailhook
