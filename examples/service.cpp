// A minimal scanning service: answers each message with one update header holding its content
// size, until it is killed. Prints "ready" once hooks may connect.
#include <cstdint>
#include <cstdio>

#include "api/mh_Error.h"
#include "api/mh_Files.h"
#include "api/mh_ScanService.h"
#include "headers/hook_HookHeaders.h"

int main() {
  using namespace mailhook;
  CScanServiceOptions options;
  options.folder = RuntimeDir();
  options.log = [](const std::string& line) { std::fprintf(stderr, "example service: %s\n", line.c_str()); };
  CScanService service(options, [](CScanMessage& message) {
    const auto size = static_cast<int64_t>(message.Content().size());
    return message.WriteUpdateHeaders([size](COutputHookHeaders& update) { return update.SetHeader(201, size) == 0; });
  });
  try {
    EnsurePrivateDir(RuntimeDir());
    service.Start();
  } catch (const CMailhookError& e) {
    std::fprintf(stderr, "example service: %s\n", e.what());
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  service.Run();
  return 0;
}
