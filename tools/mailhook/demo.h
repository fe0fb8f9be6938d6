#pragma once

#include <string>

#include "hook.h"
#include "scan_engine.h"

namespace mailhook {

struct DemoOptions {
  HookOptions hook;
  std::string input;       // empty: the built-in messages
  ScanEngineOptions scan;  // passed on to the service
  // The service's --log and --log-level (empty level: the service's default with --quiet).
  std::string log = "stderr", logLevel;
};

int RunDemo(const DemoOptions& options);

}  // namespace mailhook
