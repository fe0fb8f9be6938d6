// `mailhook demo`: a service as a child process and a hook in this one, over the built-in
// messages (or an input), one line per message and a summary; both torn down at the end.
#include "demo.h"

#include <cstdio>

#include "common.h"
#include "hook.h"
#include "service_child.h"

namespace mailhook {

namespace {

// What the demo's service is told of the scanning engine and its log: the options given to the demo.
std::vector<std::string> ServiceArgs(const DemoOptions& options) {
  const ScanEngineOptions& scan = options.scan;
  std::vector<std::string> args{"--log", options.log};
  if (!options.logLevel.empty()) args.insert(args.end(), {"--log-level", options.logLevel});
  auto limit = [&](const char* option, uint64_t value) {
    if (value != 0) args.insert(args.end(), {option, std::to_string(value)});
  };
  if (!scan.db.empty()) args.insert(args.end(), {"--db", scan.db.string()});
  limit("--max-scan-size", scan.maxScanSize);
  limit("--max-file-size", scan.maxFileSize);
  limit("--max-recursion", scan.maxRecursion);
  limit("--max-files", scan.maxFiles);
  limit("--max-scan-time", scan.maxScanTimeMs);
  if (scan.builtin) args.push_back("--builtin");
  return args;
}

}  // namespace

int RunDemo(const DemoOptions& options) {
  std::vector<Message> messages;
  try {
    messages = options.input.empty() ? BuiltinMessages() : LoadMessages(options.input);
    EnsurePrivateDir(RuntimeDir());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "mailhook demo: %s\n", e.what());
    return 2;
  }
  std::printf("mailhook demo: service and hook over %zu messages, %d hook threads, %s\n", messages.size(),
              options.hook.threads, StorageSummary(options.hook.workDir).c_str());
  std::fflush(stdout);

  RunSummary summary;
  int serviceStatus;
  {
    ServiceChild service(options.hook.workDir, ServiceArgs(options));
    if (!service.WaitReady()) {
      std::fprintf(stderr,
                   "mailhook demo: the service did not start (another one running? signatures that do "
                   "not load?)\n");
      return 2;
    }
    {
      HookRunner hook(options.hook);
      try {
        hook.Setup();
      } catch (const std::exception& e) {
        std::fprintf(stderr, "mailhook demo: %s\n", e.what());
        return 2;
      }
      std::printf("%5s  %-24s %10s  %11s  %-38s %s\n", "#", "message", "size", "", "verdict", "change");
      summary = hook.Run(messages, [](const MessageResult& r) { PrintResult(r); });
    }
    serviceStatus = service.Stop();
  }
  PrintSummary(summary);
  if (serviceStatus != 0) std::fprintf(stderr, "mailhook demo: the service exited with %d\n", serviceStatus);
  return summary.failed == 0 && serviceStatus == 0 ? 0 : 1;
}

}  // namespace mailhook
