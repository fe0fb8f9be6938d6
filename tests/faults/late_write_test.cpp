// A service that is only slow, not dead: stopped in the middle of a request past the hook's
// time-out, then let go while the hook carries other messages through the same resources. The
// late request must not change what any later message reads or gets back: every message the hook
// reports as served is checked, digest by digest, against the service's own log of what it read
// and wrote for that request.
#include <signal.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "e2e/process.h"
#include "support/test_support.h"

namespace fs = std::filesystem;

namespace {

// Lines "SEQUENCE d1 d2 d3 d4" by sequence; a sequence logged twice keeps every line.
std::multimap<long long, std::vector<std::string>> ReadDigestLog(const fs::path& path) {
  std::multimap<long long, std::vector<std::string>> out;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    long long sequence = 0;
    std::vector<std::string> d(4);
    if (fields >> sequence >> d[0] >> d[1] >> d[2] >> d[3]) out.emplace(sequence, d);
  }
  return out;
}

TEST(LateWrite, AServiceLetGoAfterTheTimeOutNeverChangesAMessageServedSince) {
  mhtest::TempDir dir;
  const fs::path runtime = dir.Path() / "rt", input = dir.Path() / "in";
  const fs::path hookLog = dir.Path() / "hook.log", serviceLog = dir.Path() / "service.log";
  fs::create_directories(input);
  // Every message carries the test string, so that every request the service finishes writes new
  // content as well as update headers.
  const std::string virus =
      std::string("X5O!P%@AP[4\\PZX54(P^)7CC)7}$") + "EICAR-STANDARD-ANTIVIRUS-" + "TEST-FILE!$H+H*";
  for (auto [name, lines] : {std::pair{"a.eml", 4}, std::pair{"b.eml", 3000}}) {
    std::ofstream out(input / name, std::ios::binary);
    out << "From: a@example.org\r\nTo: b@example.org\r\nSubject: " << name << "\r\n\r\n" << virus << "\r\n";
    for (int i = 0; i < lines; ++i) out << name << " line " << i << " of the body, long enough to count\r\n";
  }

  std::map<std::string, std::string> env{{"MAILHOOK_RUNTIME_DIR", runtime.string()}, {"MAILHOOK_LOG", ""}};
  auto serviceEnv = env;
  serviceEnv["MAILHOOK_FAULT"] = "stop@headers";  // stops itself once, content read, nothing written yet
  Process service({MAILHOOK_CLI, "service", "--quiet", "--builtin", "--digest-log", serviceLog.string()},
                  serviceEnv);
  ASSERT_TRUE(service.WaitForLine("ready"));
  auto hookEnv = env;
  hookEnv["MAILHOOK_RPC_TIMEOUT_MS"] = "300";
  Process hook({MAILHOOK_CLI, "hook", "--input", input.string(), "--threads", "2", "--repeat", "100000",
                "--no-verify", "--retry-for", "20", "--json", "--digest-log", hookLog.string()},
               hookEnv);

  int status = 0;
  ASSERT_EQ(waitpid(service.Pid(), &status, WUNTRACED), service.Pid());
  ASSERT_TRUE(WIFSTOPPED(status));
  // Both holders' requests time out while the service is stopped; then it goes on, its stopped
  // request first, while the hook carries on.
  std::string line;
  for (int timedOut = 0; timedOut < 2;) {
    ASSERT_TRUE(hook.ReadLine(line));
    if (line.find("FAILED") != std::string::npos) {
      EXPECT_NE(line.find("time-out"), std::string::npos) << line;
      ++timedOut;
    }
  }
  kill(service.Pid(), SIGCONT);
  for (int served = 0; served < 40;) {
    ASSERT_TRUE(hook.ReadLine(line));
    if (line.find("FAILED") == std::string::npos) ++served;
  }
  hook.Signal(SIGTERM);
  const std::string rest = hook.ReadAll();
  EXPECT_EQ(hook.Wait(), 1) << rest;  // the timed-out messages failed
  // Every holder and resource came back, the timed-out ones included.
  EXPECT_NE(rest.find("\"holders_out\":0,\"resources_out\":0"), std::string::npos) << rest;
  service.Signal(SIGTERM);
  EXPECT_EQ(service.Wait(), 0);

  // Content and header list as written = as the service read them; update headers and content
  // as the hook got them back = as the service wrote them for that very request.
  const auto served = ReadDigestLog(hookLog), seen = ReadDigestLog(serviceLog);
  EXPECT_GE(served.size(), 40u);
  size_t wrong = 0;
  for (const auto& [sequence, got] : served) {
    auto [from, to] = seen.equal_range(sequence);
    ASSERT_EQ(std::distance(from, to), 1) << "sequence " << sequence;
    const std::vector<std::string>& did = from->second;
    const std::string& back = did[3] == "-" ? got[0] : did[3];
    if (got[0] != did[0] || got[1] != did[1] || got[2] != did[2] || got[3] != back) {
      ++wrong;
      ADD_FAILURE() << "sequence " << sequence << ": hook " << got[0] << ' ' << got[1] << ' ' << got[2] << ' '
                    << got[3] << ", service " << did[0] << ' ' << did[1] << ' ' << did[2] << ' ' << did[3];
    }
  }
  EXPECT_EQ(wrong, 0u);
}

}  // namespace
