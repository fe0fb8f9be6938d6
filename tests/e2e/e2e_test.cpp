// The main job for real: `mailhook service` and `mailhook hook` as two processes carrying
// messages through shared backing files and the RPC link, including a service that dies and
// comes back and a hook that dies.
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "process.h"
#include "support/test_support.h"

namespace fs = std::filesystem;

namespace {

// A path of the Linux host as the program sees it: under Wine the host's root is drive Z:.
std::string HostPath(const std::string& path) {
#if defined(_WIN32)
  std::string p = "Z:" + path;
  for (char& c : p)
    if (c == '/') c = '\\';
  return p;
#else
  return path;
#endif
}

const std::string kCli = HostPath(MAILHOOK_CLI);

class MailhookE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    m_env = {{"MAILHOOK_RUNTIME_DIR", (m_dir.Path() / "rt").string()},
             {"MAILHOOK_RPC_TIMEOUT_MS", "5000"},
             {"MAILHOOK_LOG", ""}};
  }

  std::unique_ptr<Process> StartService(std::vector<std::string> args = {}) {
    // The project's own test signature, whatever databases this machine has.
    args.insert(args.begin(), {kCli, "service", "--quiet", "--db", HostPath(MAILHOOK_SIGNATURES)});
    auto p = std::make_unique<Process>(args, m_env);
    EXPECT_TRUE(p->WaitForLine("ready"));
    return p;
  }

  std::unique_ptr<Process> StartHook(std::vector<std::string> args) {
    args.insert(args.begin(), {kCli, "hook"});
    return std::make_unique<Process>(args, m_env);
  }

  fs::path WorkDir() const { return m_dir.Path() / "rt" / "pool-1"; }

  // The numbers of the hook's JSON summary line.
  static std::map<std::string, double> Summary(const std::string& output) {
    std::map<std::string, double> out;
    std::smatch m;
    std::regex line(R"(\{"messages".*\})");
    if (!std::regex_search(output, m, line)) return out;
    std::string json = m.str();
    std::regex field(R"re("(\w+)":([0-9.]+))re");
    for (auto it = std::sregex_iterator(json.begin(), json.end(), field); it != std::sregex_iterator(); ++it)
      out[(*it)[1]] = std::stod((*it)[2]);
    return out;
  }

  mhtest::TempDir m_dir;
  std::map<std::string, std::string> m_env;
};

}  // namespace

TEST_F(MailhookE2E, BuiltinMessagesRoundTripAndFilesAreReused) {
  auto service = StartService();
  auto hook = StartHook({"--threads", "3", "--repeat", "4", "--json"});
  std::string output = hook->ReadAll();
  ASSERT_EQ(hook->Wait(), 0) << output;
  auto s = Summary(output);
  EXPECT_EQ(s["messages"], 16);
  EXPECT_EQ(s["failed"], 0);
  EXPECT_EQ(s["infected"], 4);
  EXPECT_EQ(s["replaced"], 4);
  EXPECT_NE(output.find("infected: EICAR-Test-File"), std::string::npos);
  EXPECT_NE(output.find("clean"), std::string::npos);

  // Backing files stay on disk; a second run with the same layout reuses them.
  std::set<std::string> first;
  for (auto& e : fs::directory_iterator(WorkDir())) first.insert(e.path().filename().string());
  EXPECT_EQ(first.size(), 9u);  // three holders, three resources each
  auto again = StartHook({"--threads", "3", "--json"});
  std::string output2 = again->ReadAll();
  ASSERT_EQ(again->Wait(), 0) << output2;
  std::set<std::string> second;
  for (auto& e : fs::directory_iterator(WorkDir())) second.insert(e.path().filename().string());
  EXPECT_EQ(first, second);

  service->Stop();
  EXPECT_EQ(service->Wait(), 0);
}

TEST_F(MailhookE2E, RealMailCorpusComesBackUnchanged) {
  const fs::path corpus = HostPath("/usr/lib/python3.11/test/test_email/data");
  if (!fs::exists(corpus))
    GTEST_SKIP() << "no mail corpus installed (Debian package libpython3.11-testsuite)";
  auto service = StartService();
  auto hook = StartHook({"--input", corpus.string(), "--threads", "4", "--json"});
  std::string output = hook->ReadAll();
  ASSERT_EQ(hook->Wait(), 0) << output;
  auto s = Summary(output);
  EXPECT_GE(s["messages"], 40);
  EXPECT_EQ(s["failed"], 0);
  EXPECT_EQ(s["replaced"], 0);
  // Every message read to its end by the engine and found clean.
  EXPECT_EQ(s["infected"], 0);
  EXPECT_EQ(output.find("not scanned"), std::string::npos) << output;
}

TEST_F(MailhookE2E, ServiceRestartsUnderTheHookThenStaysDownThenTheHookDies) {
  // Many small messages, so the run outlasts what happens to the service.
  fs::path input = m_dir.Path() / "small.eml";
  std::ofstream(input) << "From: a@example.org\r\nTo: b@example.org\r\nSubject: small\r\n\r\nhello\r\n";

  // Killed and started again at once: the hook waits for it, re-registers and carries every
  // message again that the dead one may have seen; each round trip is checked byte for byte.
  auto service = StartService();
  auto hook = StartHook({"--input", input.string(), "--threads", "4", "--repeat", "3000", "--json"});
  std::string line;
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(hook->ReadLine(line));
  service->Kill();
  service->Wait();
  auto second = StartService();
  std::string output = hook->ReadAll();
  EXPECT_EQ(hook->Wait(), 0) << output;
  EXPECT_EQ(Summary(output)["messages"], 3000);
  EXPECT_EQ(Summary(output)["failed"], 0) << output;

  // Kept down past the hook's --retry-for: messages fail as such, none hangs, and the hook stops.
  hook = StartHook({"--input", input.string(), "--threads", "2", "--repeat", "1000000", "--retry-for", "1"});
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(hook->ReadLine(line));
  EXPECT_EQ(line.find("FAILED"), std::string::npos) << line;
  second->Kill();
  second->Wait();
  int failed = 0;
  while (failed < 3 && hook->ReadLine(line)) {
    if (line.find("FAILED") == std::string::npos && failed == 0) continue;  // served before the kill
    EXPECT_NE(line.find("FAILED: service unavailable"), std::string::npos) << line;
    ++failed;
  }
  ASSERT_EQ(failed, 3);
  hook->Stop();
  EXPECT_EQ(hook->Wait(), 1);

  // A new service serves a new hook.
  second = StartService();
  hook = StartHook({"--input", input.string(), "--threads", "2", "--repeat", "1000000"});
  bool served = false;
  while (!served && hook->ReadLine(line)) served = line.find("FAILED") == std::string::npos;
  ASSERT_TRUE(served) << line;

  // A killed hook leaves the service serving others.
  hook->Kill();
  hook->Wait();
  auto next = StartHook({"--threads", "2", "--json"});
  output = next->ReadAll();
  EXPECT_EQ(next->Wait(), 0) << output;
  EXPECT_EQ(Summary(output)["failed"], 0);
  second->Stop();
  EXPECT_EQ(second->Wait(), 0);
}

TEST_F(MailhookE2E, ServiceRefusesFilesOutsideItsFolder) {
  auto service = StartService();
  // The hook's backing files outside the service's working folder: its registration is refused
  // and the hook stops before carrying anything.
  auto hook = StartHook({"--dir", (m_dir.Path() / "elsewhere").string(), "--json"});
  std::string output = hook->ReadAll();
  EXPECT_EQ(hook->Wait(), 2) << output;
  EXPECT_EQ(output.find("messages"), std::string::npos) << output;
  service->Stop();
  EXPECT_EQ(service->Wait(), 0);
}

TEST_F(MailhookE2E, MessagesLargerThanAFileMayStayMappedThenSmallOnes) {
  // 20 MiB is past the 15 MiB a process keeps mapped by default: the service drops its view
  // after such a message and the hook cuts the file back, and the small message after it on the
  // same resource must still come back whole.
  fs::path input = m_dir.Path() / "mixed";
  fs::create_directories(input);
  std::string body;
  for (size_t line = 0; body.size() < (20u << 20); ++line)
    body += "line " + std::to_string(line) + " of a large body\r\n";
  std::ofstream(input / "1-large.eml") << "From: a@example.org\r\nTo: b@example.org\r\nSubject: large\r\n\r\n"
                                       << body;
  std::ofstream(input / "2-small.eml")
      << "From: a@example.org\r\nTo: b@example.org\r\nSubject: small\r\n\r\nhello\r\n";

  // The built-in scan: what is tested here is the mappings, and the engine's mail parser takes
  // longer than the 5 s time-out on a 20 MiB body under the thread sanitizer.
  auto service = StartService({"--builtin"});
  auto hook = StartHook({"--input", input.string(), "--threads", "1", "--repeat", "3", "--json"});
  std::string output = hook->ReadAll();
  ASSERT_EQ(hook->Wait(), 0) << output;
  EXPECT_EQ(Summary(output)["messages"], 6);
  EXPECT_EQ(Summary(output)["failed"], 0);
  for (auto& e : fs::directory_iterator(WorkDir()))
    EXPECT_LT(fs::file_size(e.path()), 15u << 20) << e.path() << " was not cut back";
  service->Stop();
  EXPECT_EQ(service->Wait(), 0);
}
