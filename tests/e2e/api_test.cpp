// The layer's hook client against a real service process: what a caller gets back, which error
// code each failure carries, and that every holder comes back whatever happened.
#include <sys/stat.h>

#include <future>

#include <mailhook/mh_Error.h>
#include <mailhook/mh_HookClient.h>
#include <mailhook/mh_MailRecords.h>

#include "e2e/mailhook_run.h"
#include "ipc/rpc_test_util.h"

using mailhook::CCarryOutcome;
using mailhook::CHeaderList;
using mailhook::CHeaderValue;
using mailhook::CHookClient;
using mailhook::CHookClientOptions;
using mailhook::CMailhookError;
using mailhook::CMessage;

namespace {

const CHeaderList kOneHeader{CHeaderValue::Int(30, 7)};

// The anti-virus test file, put together here so that this source never holds it whole.
std::string TestFile() {
  return std::string("X5O!P%@AP[4\\PZX54(P^)7CC)7}$") + "EICAR-STANDARD-ANTIVIRUS-" + "TEST-FILE!$H+H*";
}

int64_t Number(const CCarryOutcome& outcome, int id) {
  const CHeaderValue* v = outcome.UpdateHeaders().Find(id);
  return v != nullptr ? v->number : -1;
}

class HookClientE2E : public MailhookRun {
 protected:
  // The error code of a call that must give up on a missing service within about retryFor (0.5 s
  // here). One that waits on fails the test and is let go by a service started for it (into
  // service).
  int GivingUp(const std::function<void()>& call, std::unique_ptr<Process>& service) {
    auto code = std::async(std::launch::async, [&] { return CodeOf<CMailhookError>(call); });
    if (code.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
      ADD_FAILURE() << "still waiting for the service 5 s on, with a retryFor of 0.5 s";
      service = StartService();
    }
    return code.get();
  }
};

}  // namespace

TEST_F(HookClientE2E, CarriesGivesBackAndNamesEachFailure) {
  mhtest::EnvScope runtime("MAILHOOK_RUNTIME_DIR", Runtime().string());
  const fs::path folder = Pool();
  m_serviceArgs = {"--builtin", "--dir", folder.string()};
  CHookClientOptions options;
  options.folder = folder;
  options.holders = 2;
  options.maxMessage = 1u << 20;
  // Long enough for a connection left from a killed service to be made anew, short for a test.
  options.retryFor = 0.5;

  // No service: the client fails, as unavailable.
  std::unique_ptr<Process> service;
  EXPECT_EQ(GivingUp([&] { CHookClient client(options); }, service), CMailhookError::SERVICE_UNAVAILABLE);

  if (!service) service = StartService();
  {
    CHookClient client(options);
    const std::string message = "Subject: x\r\n\r\nbody\r\n";
    {
      CCarryOutcome outcome = client.Carry(kOneHeader, message, 1);
      EXPECT_TRUE(outcome.Flags() & mailhook::kChangedHeaders);
      EXPECT_EQ(Number(outcome, mailhook::kHdrHeadersSeen), 1);
      EXPECT_EQ(outcome.Content(), message);
      // Moved, the outcome still holds one holder: given back once, when the last owner drops it.
      CCarryOutcome moved = std::move(outcome);
      EXPECT_EQ(client.FreeHolders(), 1u);
    }
    EXPECT_EQ(client.FreeHolders(), 2u);
    EXPECT_EQ(client.FreeResources(), client.ResourceCount());

    // Too large for a resource: nothing is sent, and the holder comes back.
    const std::string huge(2u << 20, 'x');
    EXPECT_EQ(CodeOf<CMailhookError>([&] { client.Carry(kOneHeader, huge, 2); }), CMailhookError::TOO_LARGE);
    const CHeaderList hugeHeaders{CHeaderValue::String(4, std::string(5u << 20, 'h'))};
    EXPECT_EQ(CodeOf<CMailhookError>([&] { client.Carry(hugeHeaders, message, 3); }),
              CMailhookError::TOO_LARGE);
    EXPECT_EQ(client.FreeHolders(), 2u);

    // The service gone past the deadline: unavailable; once it is back, served again.
    service->Kill();
    service->Wait();
    service.reset();
    EXPECT_EQ(GivingUp([&] { client.Carry(kOneHeader, message, 4); }, service),
              CMailhookError::SERVICE_UNAVAILABLE);
    EXPECT_EQ(client.FreeHolders(), 2u);
    if (!service) service = StartService();
    EXPECT_EQ(client.Carry(kOneHeader, message, 5).Content(), message);
  }

  // A backing file left open to others is refused before anything is registered.
  ASSERT_EQ(chmod((folder / "small-1.mmf").c_str(), 0644), 0);
  EXPECT_EQ(CodeOf<CMailhookError>([&] { CHookClient client(options); }), CMailhookError::FILE_REPLACED);
  StopService(*service);
}

// Tests that a message streamed in pieces reaches the service whole, however it is cut and
// however far its files must grow, and that every way of ending a stream gives the holder back.
TEST_F(HookClientE2E, StreamsAMessageInPiecesAndGivesBackEveryHolder) {
  mhtest::EnvScope runtime("MAILHOOK_RUNTIME_DIR", Runtime().string());
  const fs::path folder = Pool();
  m_serviceArgs = {"--builtin", "--dir", folder.string()};
  CHookClientOptions options;
  options.folder = folder;
  options.holders = 2;
  options.maxMessage = 4u << 20;
  options.retryFor = 0.5;
  options.registerAtStart = false;  // made before the service, as a milter is started

  CHookClient client(options);
  // No service yet: the message waits its retryFor and fails; its holder comes back.
  std::unique_ptr<Process> service;
  {
    CMessage early = client.Begin();
    early.Append("Subject: early\r\n\r\nbody\r\n");
    EXPECT_EQ(GivingUp([&] { early.Submit(1); }, service), CMailhookError::SERVICE_UNAVAILABLE);
    EXPECT_EQ(CodeOf<CMailhookError>([&] { early.Append("x"); }), CMailhookError::INVALID_ARGUMENT);
  }
  EXPECT_EQ(client.FreeHolders(), 2u);

  if (!service) service = StartService();
  // Pieces of every size, past the content file's first view (1 MiB) and the doubling after it;
  // the test file at the very end is seen only if the service reads the last piece.
  std::string whole = "From: a@example.org\r\nSubject: pieces\r\n\r\n";
  for (size_t i = 0; whole.size() < (3u << 20); ++i)
    whole += std::string(1 + (i * 7919) % 70000, static_cast<char>('a' + i % 26)) + "\r\n";
  whole += TestFile() + "\r\n";
  {
    CMessage message = client.Begin();
    message.Headers().AddText(mailhook::kHdrMailFrom, "<a@example.org>");
    message.Headers().AddText(mailhook::kHdrSubject, "Grüße");
    message.Headers().AddInt64(mailhook::kHdrMessageSize, static_cast<int64_t>(whole.size()));
    EXPECT_EQ(CodeOf<CMailhookError>([&] { message.Headers().AddString(1, std::string("a\0b", 3)); }),
              CMailhookError::INVALID_ARGUMENT);
    for (size_t at = 0, piece = 1; at < whole.size(); at += piece, piece = piece * 3 % 65521 + 1)
      message.Append(std::string_view(whole).substr(at, piece));
    EXPECT_EQ(message.ContentSize(), whole.size());
    CCarryOutcome outcome = message.Submit(7);
    EXPECT_TRUE(outcome.Infected());
    EXPECT_EQ(Number(outcome, mailhook::kHdrScannedBytes), static_cast<int64_t>(whole.size()));
    EXPECT_EQ(Number(outcome, mailhook::kHdrHeadersSeen), 3);
    EXPECT_EQ(Number(outcome, mailhook::kHdrAnswered), 7);
    EXPECT_EQ(CodeOf<CMailhookError>([&] { message.Submit(8); }), CMailhookError::INVALID_ARGUMENT);
  }
  // Past maxMessage: refused at the piece that crosses it; dropped, the message gives its holder
  // back, and the next one is carried in the same files.
  {
    CMessage tooLarge = client.Begin();
    tooLarge.Append(std::string(3u << 20, 'x'));
    EXPECT_EQ(CodeOf<CMailhookError>([&] { tooLarge.Append(std::string(2u << 20, 'x')); }),
              CMailhookError::TOO_LARGE);
    EXPECT_EQ(CodeOf<CMailhookError>([&] { tooLarge.Submit(9); }), CMailhookError::INVALID_ARGUMENT);
  }
  {
    CMessage unsent = client.Begin();
    unsent.Append("never sent");
  }
  EXPECT_EQ(client.FreeHolders(), 2u);
  EXPECT_EQ(client.FreeResources(), client.ResourceCount());
  const std::string clean = "Subject: x\r\n\r\nclean body\r\n";
  CMessage last = client.Begin();
  last.Append(clean);
  CCarryOutcome outcome = last.Submit(10);
  EXPECT_FALSE(outcome.Infected());
  EXPECT_EQ(outcome.Content(), clean);
  outcome.Release();
  StopService(*service);
}
