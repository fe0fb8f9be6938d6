#pragma once

#include <string>

#include "hook.h"
#include "scan_engine.h"

namespace mailhook {

struct DemoOptions {
  HookOptions hook;
  std::string input;       // empty: the built-in messages
  ScanEngineOptions scan;  // passed on to the service
};

int RunDemo(const DemoOptions& options);

}  // namespace mailhook
