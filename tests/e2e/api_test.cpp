// The layer's hook client against a real service process: what a caller gets back, which error
// code each failure carries, and that every holder comes back whatever happened.
#include <sys/stat.h>

#include <future>

#include "api/mh_Error.h"
#include "api/mh_HookClient.h"
#include "api/mh_Protocol.h"
#include "e2e/mailhook_run.h"
#include "headers/hook_HookHeaders.h"
#include "ipc/rpc_test_util.h"

using mailhook::CCarryOutcome;
using mailhook::CHookClient;
using mailhook::CHookClientOptions;
using mailhook::CMailhookError;

namespace {

bool OneHeader(COutputHookHeaders& h) {
  return h.SetHeader(30, 7) == 0;
}

using HookClientE2E = MailhookRun;

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

  // What a call that must give up on a missing service fails with, within about retryFor. One
  // that waits on is let go by a service started for it, once the test has failed.
  std::unique_ptr<Process> service;
  auto givingUp = [&](const std::function<void()>& call) {
    auto code = std::async(std::launch::async, [&] { return CodeOf<CMailhookError>(call); });
    if (code.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
      ADD_FAILURE() << "still waiting for the service 5 s on, with retryFor " << options.retryFor << " s";
      service = StartService();
    }
    return code.get();
  };

  // No service: the client fails, as unavailable.
  EXPECT_EQ(givingUp([&] { CHookClient client(options); }), CMailhookError::SERVICE_UNAVAILABLE);

  if (!service) service = StartService();
  {
    CHookClient client(options);
    const std::string message = "Subject: x\r\n\r\nbody\r\n";
    {
      CCarryOutcome outcome = client.Carry(OneHeader, 64, message, 1);
      EXPECT_TRUE(outcome.Flags() & mailhook::kChangedHeaders);
      EXPECT_GT(outcome.UpdateHeadersSize(), 0);
      EXPECT_EQ(outcome.Content(), message);
      // Moved, the outcome still holds one holder: given back once, when the last owner drops it.
      CCarryOutcome moved = std::move(outcome);
      EXPECT_EQ(client.FreeHolders(), 1u);
    }
    EXPECT_EQ(client.FreeHolders(), 2u);
    EXPECT_EQ(client.FreeResources(), client.ResourceCount());

    // Too large for a resource: nothing is sent, and the holder comes back.
    const std::string huge(2u << 20, 'x');
    EXPECT_EQ(CodeOf<CMailhookError>([&] { client.Carry(OneHeader, 64, huge, 2); }),
              CMailhookError::TOO_LARGE);
    EXPECT_EQ(CodeOf<CMailhookError>([&] { client.Carry(OneHeader, 64u << 20, message, 3); }),
              CMailhookError::TOO_LARGE);
    EXPECT_EQ(client.FreeHolders(), 2u);

    // The service gone past the deadline: unavailable; once it is back, served again.
    service->Kill();
    service->Wait();
    service.reset();
    EXPECT_EQ(givingUp([&] { client.Carry(OneHeader, 64, message, 4); }),
              CMailhookError::SERVICE_UNAVAILABLE);
    EXPECT_EQ(client.FreeHolders(), 2u);
    if (!service) service = StartService();
    EXPECT_EQ(client.Carry(OneHeader, 64, message, 5).Content(), message);
  }

  // A backing file left open to others is refused before anything is registered.
  ASSERT_EQ(chmod((folder / "small-1.mmf").c_str(), 0644), 0);
  EXPECT_EQ(CodeOf<CMailhookError>([&] { CHookClient client(options); }), CMailhookError::FILE_REPLACED);
  StopService(*service);
}
