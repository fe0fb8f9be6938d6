// A minimal hook: carries one message through the scanning service and prints what came back.
// Usage: mailhook_example_hook [FOLDER] (default: the runtime folder's pool-1).
#include <cstdio>
#include <string>

#include "api/mh_Error.h"
#include "api/mh_Files.h"
#include "api/mh_HookClient.h"
#include "api/mh_Protocol.h"
#include "headers/hook_HookHeaders.h"

int main(int argc, char** argv) {
  using namespace mailhook;
  const std::string message = "From: a@example.org\r\nSubject: hello\r\n\r\nHello from the example hook.\r\n";
  try {
    CHookClientOptions options;
    options.folder = argc > 1 ? std::filesystem::path(argv[1]) : RuntimeDir() / "pool-1";
    options.retryFor = 5;
    CHookClient client(options);
    CCarryOutcome outcome = client.Carry(
        [](COutputHookHeaders& headers) { return headers.SetHeader(4, "hello") == 0; }, 64, message, 1);
    std::printf("flags %d, %zu bytes of content back%s\n", outcome.Flags(), outcome.Content().size(),
                outcome.Content() == message ? ", unchanged" : ", replaced");
    outcome.Release();
    return 0;
  } catch (const CMailhookError& e) {
    std::fprintf(stderr, "example hook: %s\n", e.what());
    return 1;
  }
}
