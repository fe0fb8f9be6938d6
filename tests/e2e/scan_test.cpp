// The service's scanning engine end to end: messages built by scan_messages.py, carried by a real
// hook through a real service, the verdict and the replaced content read back by the hook.
#include <signal.h>

#include <fstream>
#include <iterator>

#include "e2e/mailhook_run.h"

namespace {

struct Outcome {
  std::string verdict;
  bool replaced = false;
};

class ScanE2E : public MailhookRun {
 protected:
  void SetUp() override {
    m_env["MAILHOOK_RPC_TIMEOUT_MS"] = "30000";
    Process writer({MAILHOOK_PYTHON, MAILHOOK_SCAN_MESSAGES, m_dir.Path().string()});
    ASSERT_EQ(writer.Wait(), 0);
    std::ifstream(m_dir.Path() / "hex.txt") >> m_testFileHex >> m_markerHex;
    ASSERT_FALSE(m_markerHex.empty());
    // Our own signature only, whatever databases this machine has.
    fs::create_directories(m_dir.Path() / "db");
    std::ofstream(m_dir.Path() / "db" / "test.ndb") << "EICAR-Test-File:0:*:" << m_testFileHex << "\n";
    m_serviceArgs = {"--db", (m_dir.Path() / "db").string()};
  }

  // One hook line: sequence, name, size, headers, the verdict, what became of the content.
  static bool ParseLine(const std::string& line, std::string& name, Outcome& outcome) {
    static const std::regex pattern(R"(^\s*\d+\s+(\S+)\s+\S+ \S+\s+\d+ headers\s+(.*\S)\s+content (\w+).*$)");
    std::smatch m;
    if (!std::regex_match(line, m, pattern)) return false;
    name = m[1];
    outcome = {m[2], m[3] == "replaced"};
    return true;
  }

  std::map<std::string, Outcome> Carry(const fs::path& input) {
    auto hook = StartHook({"--input", input.string(), "--threads", "2"});
    std::map<std::string, Outcome> out;
    std::string line, name;
    Outcome outcome;
    while (hook->ReadLine(line)) {
      if (ParseLine(line, name, outcome))
        out[name] = outcome;
      else
        EXPECT_EQ(line.find("FAILED"), std::string::npos) << line;
    }
    EXPECT_EQ(hook->Wait(), 0);
    return out;
  }

  // Written by scan_messages.py: the test file and the reload marker as hex, for signatures.
  std::string m_testFileHex, m_markerHex;
};

const std::string kSignature = "infected: EICAR-Test-File.UNOFFICIAL";

}  // namespace

// The test file hidden the ways mail hides attachments, each found by the engine and the content
// replaced; a near miss and limits the engine cannot finish within are never called infected or
// clean respectively; the built-in scan sees only the raw bytes and says so.
TEST_F(ScanE2E, HiddenTestFilesAcrossEngineSettings) {
  // Written by scan_messages.py: the test file in a base64 attachment, a stored zip, a
  // quoted-printable part, forwarded messages, raw, and one byte off.
  const fs::path input = m_dir.Path() / "hidden";
  const size_t count =
      static_cast<size_t>(std::distance(fs::directory_iterator(input), fs::directory_iterator()));
  struct Setting {
    std::vector<std::string> args;
    std::map<std::string, std::string> verdicts;  // by file; every other file: `others`
    std::string others;
  };
  const std::string limit = "not scanned: limit reached (";
  std::vector<Setting> settings = {
      {{}, {{"near.eml", "clean"}}, kSignature},
      // Limits that cut every message short: a message cut short is neither clean nor replaced,
      // unless the engine matched in the bytes it did read (raw.eml, at the top level).
      {{"--max-recursion", "1"}, {{"raw.eml", kSignature}}, limit + "MaxRecursion)"},
      {{"--max-files", "1"}, {{"raw.eml", kSignature}}, limit + "MaxFiles)"},
      {{"--max-scan-size", "100"}, {}, limit + "MaxScanSize)"},
      // Over the file-size limit the engine skips the whole message at the top level.
      {{"--max-file-size", "100"}, {}, limit + "MaxFileSize)"},
      {{"--builtin"}, {{"raw.eml", "infected: EICAR-Test-File (builtin)"}}, "clean (builtin)"},
  };
  // Built without the engine, the service falls back to the built-in scan on its own.
  if (!MAILHOOK_ENGINE_CLAMAV) settings = {{{}, settings.back().verdicts, settings.back().others}};
  for (const auto& setting : settings) {
    SCOPED_TRACE(::testing::PrintToString(setting.args));
    auto service = StartService(setting.args);
    auto outcomes = Carry(input);
    ASSERT_EQ(outcomes.size(), count);
    for (auto& [name, outcome] : outcomes) {
      auto it = setting.verdicts.find(name);
      const std::string& want = it != setting.verdicts.end() ? it->second : setting.others;
      EXPECT_EQ(outcome.verdict, want) << name;
      EXPECT_EQ(outcome.replaced, want.starts_with("infected")) << name;
    }
    StopService(*service);
  }
}

// SIGHUP while two hook threads keep carrying: a signature written into the folder is picked up
// with no request failing; a corrupt file added later leaves the engine in use; a service
// started on that folder refuses to start and names the file.
TEST_F(ScanE2E, ReloadPicksUpSignaturesAndSurvivesACorruptOne) {
  if (!MAILHOOK_ENGINE_CLAMAV) GTEST_SKIP() << "the command is built without libclamav";
  const fs::path db = m_dir.Path() / "db";
  auto service = StartService();
  auto hook =
      StartHook({"--input", (m_dir.Path() / "marked").string(), "--threads", "2", "--repeat", "100000000"});
  std::string line, name, got;
  Outcome outcome;
  // Reads hook lines until one has the verdict wanted; every line on the way must be a result
  // (one that is not ends it).
  // Only the scans under way when the engine is swapped (one per hook thread) can still come
  // back with the old verdict, so a bound far above that turns a missed reload into a failure.
  auto until = [&](const std::string& want) {
    for (int i = 0; i < 1000 && hook->ReadLine(line); ++i)
      if (!ParseLine(line, name, outcome) || outcome.verdict == want) return outcome.verdict == want;
    return false;
  };
  ASSERT_TRUE(until("clean")) << line;

  std::ofstream(db / "extra.ndb") << "Mailhook-Reload-Marker:0:*:" << m_markerHex << "\n";
  service->Signal(SIGHUP);
  ASSERT_TRUE(service->ReadLine(got));
  EXPECT_TRUE(got.starts_with("reloaded: libclamav")) << got;
  ASSERT_TRUE(until("infected: Mailhook-Reload-Marker.UNOFFICIAL")) << line;

  std::ofstream(db / "broken.ndb") << "this is not a signature\n";
  service->Signal(SIGHUP);
  ASSERT_TRUE(service->ReadLine(got));
  EXPECT_TRUE(got.starts_with("reload failed: ")) << got;
  EXPECT_NE(got.find("broken.ndb"), std::string::npos) << got;
  // Messages carried after the failed reload are still scanned with both signatures.
  for (int i = 0; i < 50; ++i) {
    ASSERT_TRUE(hook->ReadLine(line));
    ASSERT_TRUE(ParseLine(line, name, outcome)) << line;
  }
  EXPECT_EQ(outcome.verdict, "infected: Mailhook-Reload-Marker.UNOFFICIAL");
  EXPECT_TRUE(outcome.replaced);
  hook->Stop();
  hook->ReadAll();
  EXPECT_EQ(hook->Wait(), 0);
  StopService(*service);

  Process refused({MAILHOOK_CLI, "service", "--db", db.string()}, m_env, /*withStderr=*/true);
  std::string said = refused.ReadAll();
  EXPECT_EQ(refused.Wait(), 2);
  EXPECT_EQ(said.find("ready"), std::string::npos) << said;
  EXPECT_NE(said.find("not started"), std::string::npos) << said;
  EXPECT_NE(said.find("broken.ndb"), std::string::npos) << said;
}
