// `mailhook demo`: a service as a child process and a hook in this one, over the built-in
// messages (or an input), one line per message and a summary; both torn down at the end.
#include "demo.h"

#include <cstdio>

#include "common.h"
#include "hook.h"
#include "service_child.h"

namespace mailhook {

int RunDemo(const DemoOptions& options) {
  std::vector<Message> messages;
  try {
    messages = options.input.empty() ? BuiltinMessages() : LoadMessages(options.input);
    EnsurePrivateDir(RuntimeDir());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "mailhook demo: %s\n", e.what());
    return 2;
  }
  std::printf("mailhook demo: service and hook over %zu messages, %d hook threads, backing files in %s\n",
              messages.size(), options.hook.threads, options.hook.workDir.string().c_str());
  std::fflush(stdout);

  RunSummary summary;
  int serviceStatus;
  {
    ServiceChild service(options.hook.workDir);
    if (!service.WaitReady()) {
      std::fprintf(stderr, "mailhook demo: the service did not start (is another one running?)\n");
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
      std::printf("%5s  %-24s %10s  %11s  %-26s %s\n", "#", "message", "size", "", "verdict", "change");
      summary = hook.Run(messages, [](const MessageResult& r) { PrintResult(r); });
    }
    serviceStatus = service.Stop();
  }
  PrintSummary(summary);
  if (serviceStatus != 0) std::fprintf(stderr, "mailhook demo: the service exited with %d\n", serviceStatus);
  return summary.failed == 0 && serviceStatus == 0 ? 0 : 1;
}

}  // namespace mailhook
