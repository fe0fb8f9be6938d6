// A minimal scanning service: answers each message with two update headers, its content size and
// how many header records it came with, until it is killed. Prints "ready" once hooks may connect.
#include <cstdint>
#include <cstdio>

#include <mailhook/mh_Error.h>
#include <mailhook/mh_MailRecords.h>
#include <mailhook/mh_Runtime.h>
#include <mailhook/mh_ScanService.h>

int main() {
  using namespace mailhook;
  CScanServiceOptions options;
  options.folder = RuntimeDir();
  options.log = [](const std::string& line) { std::fprintf(stderr, "example service: %s\n", line.c_str()); };
  CScanService service(options, [](CScanMessage& message) {
    // Read where they lie in the hook's file, as the content is (message.Headers() gives copies).
    int32_t records = 0;
    message.ForEachHeader([&](const CHeaderField&) { ++records; });
    message.UpdateHeaders().AddInt(kHdrHeadersSeen, records);
    message.UpdateHeaders().AddInt64(kHdrScannedBytes, static_cast<int64_t>(message.Content().size()));
    return true;
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
