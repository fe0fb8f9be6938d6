// A minimal hook: carries one message through the scanning service and prints what came back,
// once whole and once streamed in pieces, as a mail server hands a message over.
// Usage: mailhook_example_hook [FOLDER] (default: the runtime folder's pool-1).
#include <cstdio>
#include <string>

#include <mailhook/mh_Error.h>
#include <mailhook/mh_HookClient.h>
#include <mailhook/mh_MailRecords.h>
#include <mailhook/mh_Runtime.h>

int main(int argc, char** argv) {
  using namespace mailhook;
  const std::string message = "From: a@example.org\r\nSubject: hello\r\n\r\nHello from the example hook.\r\n";
  try {
    CHookClientOptions options;
    options.folder = argc > 1 ? std::filesystem::path(argv[1]) : DefaultPoolDir(kDefaultPoolId);
    options.retryFor = 5;
    CHookClient client(options);

    // Whole: the header list and the content in one call.
    CCarryOutcome whole = client.Carry({CHeaderValue::Text(kHdrSubject, "hello")}, message, 1);
    const bool wholeSame = whole.Content() == message;
    whole.Release();

    // Streamed: records and content written into the backing files as they come.
    CMessage streamed = client.Begin();
    streamed.Headers().AddText(kHdrSubject, "hello");
    for (size_t at = 0; at < message.size(); at += 16)
      streamed.Append(std::string_view(message).substr(at, 16));
    CCarryOutcome outcome = streamed.Submit(2);
    for (const CHeaderValue& v : outcome.UpdateHeaders())
      std::printf("update %d: %s\n", v.id, v.Utf8().c_str());
    std::printf("flags %d, %zu bytes of content back%s\n", outcome.Flags(), outcome.Content().size(),
                outcome.Content() == message && wholeSame ? ", unchanged" : ", replaced");
    outcome.Release();
    return 0;
  } catch (const CMailhookError& e) {
    std::fprintf(stderr, "example hook: %s\n", e.what());
    return 1;
  }
}
