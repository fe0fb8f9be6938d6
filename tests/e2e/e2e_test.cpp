// The main job for real: `mailhook service` and `mailhook hook` as two processes carrying
// messages through shared backing files and the RPC link, on Windows (under Wine) too.
#include <set>

#include "e2e/mailhook_run.h"

#if defined(_WIN32)
#include "stop.h"
// The command's own stop request stands in for SIGTERM; only this suite links it.
void Process::Stop() {
  mailhook::RequestStop(Pid());
}
#endif

namespace {

class MailhookE2E : public MailhookRun {
 protected:
  // The project's own test signature, whatever databases this machine has.
  void SetUp() override { m_serviceArgs = {"--db", HostPath(MAILHOOK_SIGNATURES)}; }

  std::set<std::string> PoolFiles() const {
    std::set<std::string> names;
    for (auto& e : fs::directory_iterator(Pool())) names.insert(e.path().filename().string());
    return names;
  }
};

}  // namespace

TEST_F(MailhookE2E, MessagesRoundTripFilesAreReusedAndForeignFoldersRefused) {
  auto service = StartService();
  Run run = RunHook({"--threads", "3", "--repeat", "4"});
  ASSERT_EQ(run.rc, 0) << run.output;
  EXPECT_EQ(run.summary["messages"], 16);
  EXPECT_EQ(run.summary["failed"], 0);  // verdicts and replaced content are scan_test's

  // Backing files stay on disk; a second run with the same layout reuses them.
  const auto first = PoolFiles();
  EXPECT_EQ(first.size(), 9u);  // three holders, three resources each
  ExpectCleanRun({"--threads", "3"});
  EXPECT_EQ(PoolFiles(), first);

  // Backing files outside the service's working folder: the registration is refused and the
  // hook stops before carrying anything.
  run = RunHook({"--dir", (m_dir.Path() / "elsewhere").string()});
  EXPECT_EQ(run.rc, 2) << run.output;
  EXPECT_TRUE(run.summary.empty()) << run.output;

  StopService(*service);
}

TEST_F(MailhookE2E, HookWaitsForARestartedService) {
  // Killed and started again at once: the hook waits for it, registers again and carries every
  // message again that the dead one may have seen; each round trip is checked byte for byte.
  const fs::path input = Eml("small.eml", 0, "hello\r\n");
  auto service = StartService();
  auto hook = StartHook({"--input", input.string(), "--threads", "4", "--repeat", "3000", "--json"});
  std::string line;
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(hook->ReadLine(line));
  service->Kill();
  service->Wait();
  service = StartService();
  std::string output = hook->ReadAll();
  EXPECT_EQ(hook->Wait(), 0) << output;
  EXPECT_EQ(Summary(output)["messages"], 3000);
  EXPECT_EQ(Summary(output)["failed"], 0) << output;
  StopService(*service);
}

TEST_F(MailhookE2E, FilesGrownPastTheMappedLimitAreCutBackForTheNextMessage) {
  // 20 MiB is past the 15 MiB a process keeps mapped by default: the service drops its view
  // after such a message and the hook cuts the file back, and the small message after it on the
  // same resource must still come back whole.
  Eml("mixed/1-large.eml", 20u << 20);
  Eml("mixed/2-small.eml", 0, "hello\r\n");
  // The built-in scan: what is tested here is the mappings, and the engine's mail parser takes
  // longer than the time-out on a 20 MiB body under the thread sanitizer.
  m_serviceArgs = {"--builtin"};
  auto service = StartService();
  Run run = RunHook({"--input", (m_dir.Path() / "mixed").string(), "--threads", "1", "--repeat", "3"});
  ASSERT_EQ(run.rc, 0) << run.output;
  EXPECT_EQ(run.summary["messages"], 6);
  EXPECT_EQ(run.summary["failed"], 0);
  for (auto& e : fs::directory_iterator(Pool()))
    EXPECT_LT(fs::file_size(e.path()), 15u << 20) << e.path() << " was not cut back";
  StopService(*service);
}
