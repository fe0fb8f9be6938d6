// The service's scanning engine end to end: messages built here, carried by a real hook through a
// real service, the verdict and the replaced content read back by the hook.
#include <signal.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "process.h"
#include "support/test_support.h"

namespace fs = std::filesystem;

namespace {

// The anti-virus test file, assembled here so that this source never carries it whole.
std::string TestFile() {
  return std::string("X5O!P%@AP[4\\PZX54(P^)7CC)7}$") + "EICAR-STANDARD-ANTIVIRUS-" + "TEST-FILE!$H+H*";
}

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) out += {digits[c >> 4], digits[c & 15]};
  return out;
}

// A body signature in the engine's plain-text format: name, any file type, anywhere, hex bytes.
std::string BodySignature(const std::string& name, const std::string& bytes) {
  return name + ":0:*:" + Hex(bytes) + "\n";
}

std::string Base64(const std::string& in) {
  static const char table[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < in.size(); i += 3) {
    uint32_t n = static_cast<uint32_t>(static_cast<unsigned char>(in[i])) << 16;
    if (i + 1 < in.size()) n |= static_cast<uint32_t>(static_cast<unsigned char>(in[i + 1])) << 8;
    if (i + 2 < in.size()) n |= static_cast<unsigned char>(in[i + 2]);
    out += table[(n >> 18) & 63];
    out += table[(n >> 12) & 63];
    out += i + 1 < in.size() ? table[(n >> 6) & 63] : '=';
    out += i + 2 < in.size() ? table[n & 63] : '=';
    if ((i / 3 + 1) % 19 == 0) out += "\r\n";  // 76 characters a line
  }
  return out;
}

// Every byte as =XX, with a soft line break in the middle: the raw message never holds the text.
std::string QuotedPrintable(const std::string& in) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (size_t i = 0; i < in.size(); ++i) {
    auto c = static_cast<unsigned char>(in[i]);
    out += {'=', digits[c >> 4], digits[c & 15]};
    if (i == in.size() / 2) out += "=\r\n";
  }
  return out;
}

uint32_t Crc32(const std::string& data) {
  uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char c : data) {
    crc ^= c;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

// A zip archive of stored (uncompressed) files: local headers, then the central directory.
std::string StoredZip(const std::vector<std::pair<std::string, std::string>>& files) {
  auto le = [](std::string& out, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
  };
  std::string body, central;
  for (auto& [name, data] : files) {
    const auto offset = static_cast<uint32_t>(body.size());
    const uint32_t crc = Crc32(data), size = static_cast<uint32_t>(data.size());
    const auto nameSize = static_cast<uint32_t>(name.size());
    le(body, 0x04034b50, 4), le(body, 10, 2), le(body, 0, 2), le(body, 0, 2), le(body, 0, 4);
    le(body, crc, 4), le(body, size, 4), le(body, size, 4), le(body, nameSize, 2), le(body, 0, 2);
    body += name + data;
    le(central, 0x02014b50, 4), le(central, 20, 2), le(central, 10, 2), le(central, 0, 2), le(central, 0, 2);
    le(central, 0, 4), le(central, crc, 4), le(central, size, 4), le(central, size, 4);
    le(central, nameSize, 2), le(central, 0, 2), le(central, 0, 2), le(central, 0, 2), le(central, 0, 2);
    le(central, 0, 4), le(central, offset, 4);
    central += name;
  }
  std::string end;
  le(end, 0x06054b50, 4), le(end, 0, 2), le(end, 0, 2);
  le(end, static_cast<uint32_t>(files.size()), 2), le(end, static_cast<uint32_t>(files.size()), 2);
  le(end, static_cast<uint32_t>(central.size()), 4), le(end, static_cast<uint32_t>(body.size()), 4),
      le(end, 0, 2);
  return body + central + end;
}

// A multipart/mixed message: a short text part, then each part given as its headers and body.
std::string Mail(const std::string& subject, const std::vector<std::pair<std::string, std::string>>& parts) {
  std::string m = "From: Mallory <mallory@example.net>\r\nTo: Bob <bob@example.org>\r\nSubject: " + subject +
                  "\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"=-b-" + subject +
                  "\"\r\n\r\n--=-b-" + subject +
                  "\r\nContent-Type: text/plain\r\n\r\nSee the attachment.\r\n";
  for (auto& [headers, body] : parts) m += "--=-b-" + subject + "\r\n" + headers + "\r\n" + body + "\r\n";
  return m + "--=-b-" + subject + "--\r\n";
}

std::pair<std::string, std::string> Attachment(const std::string& file, const std::string& data) {
  return {
      "Content-Type: application/octet-stream\r\nContent-Transfer-Encoding: base64\r\n"
      "Content-Disposition: attachment; filename=\"" +
          file + "\"\r\n",
      Base64(data)};
}

struct Outcome {
  std::string verdict;
  bool replaced = false;
};

class ScanE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    m_env = {{"MAILHOOK_RUNTIME_DIR", (m_dir.Path() / "rt").string()},
             {"MAILHOOK_RPC_TIMEOUT_MS", "30000"},
             {"MAILHOOK_LOG", ""}};
  }

  std::unique_ptr<Process> StartService(std::vector<std::string> args) {
    args.insert(args.begin(), {MAILHOOK_CLI, "service", "--quiet"});
    auto p = std::make_unique<Process>(args, m_env);
    EXPECT_TRUE(p->WaitForLine("ready"));
    return p;
  }

  std::unique_ptr<Process> StartHook(const fs::path& input, std::vector<std::string> args = {}) {
    args.insert(args.begin(), {MAILHOOK_CLI, "hook", "--input", input.string()});
    return std::make_unique<Process>(args, m_env);
  }

  fs::path WriteMessages(const std::string& folder, const std::map<std::string, std::string>& messages) {
    fs::path dir = m_dir.Path() / folder;
    fs::create_directories(dir);
    for (auto& [name, bytes] : messages) std::ofstream(dir / name, std::ios::binary) << bytes;
    return dir;
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
    auto hook = StartHook(input, {"--threads", "2"});
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

  mhtest::TempDir m_dir;
  std::map<std::string, std::string> m_env;
};

const std::string kSignature = "infected: EICAR-Test-File.UNOFFICIAL";

}  // namespace

// The test file hidden the ways mail hides attachments, each found by the engine and the content
// replaced; a near miss and limits the engine cannot finish within are never called infected or
// clean respectively; the built-in scan sees only the raw bytes and says so.
TEST_F(ScanE2E, HiddenTestFilesAcrossEngineSettings) {
  const std::string file = TestFile();
  const std::string b64 = Mail("b64", {Attachment("invoice.com", file)});
  const std::string zip =
      Mail("zip",
           {Attachment("files.zip", StoredZip({{"readme.txt", "nothing here\r\n"}, {"invoice.com", file}}))});
  std::map<std::string, std::string> messages = {
      {"b64.eml", b64},
      {"zip.eml", zip},
      {"qp.eml", Mail("qp", {{"Content-Type: text/plain\r\nContent-Transfer-Encoding: quoted-printable\r\n",
                              QuotedPrintable("Here: " + file)}})},
      {"fwd.eml", Mail("fwd", {{"Content-Type: message/rfc822\r\n", b64}})},
      {"fwdzip.eml", Mail("fwdzip", {{"Content-Type: message/rfc822\r\n", zip}})},
      {"raw.eml", Mail("raw", {{"Content-Type: application/octet-stream\r\n", file}})},
      // One byte off: the engine matches the signature, not the look of it.
      {"near.eml", Mail("near", {Attachment("invoice.com", file.substr(0, file.size() - 1) + "X")})},
  };
  const fs::path input = WriteMessages("in", messages);

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
    std::string label;
    for (auto& a : setting.args) label += a + " ";
    SCOPED_TRACE("service " + label);
    auto service = StartService(setting.args);
    auto outcomes = Carry(input);
    ASSERT_EQ(outcomes.size(), messages.size());
    for (auto& [name, outcome] : outcomes) {
      auto it = setting.verdicts.find(name);
      const std::string& want = it != setting.verdicts.end() ? it->second : setting.others;
      EXPECT_EQ(outcome.verdict, want) << name;
      EXPECT_EQ(outcome.replaced, want.starts_with("infected")) << name;
    }
    service->Signal(SIGTERM);
    EXPECT_EQ(service->Wait(), 0);
  }
}

// SIGHUP while two hook threads keep carrying: a signature written into the folder is picked up
// with no request failing; a corrupt file added later leaves the engine in use; a service
// started on that folder refuses to start and names the file.
TEST_F(ScanE2E, ReloadPicksUpSignaturesAndSurvivesACorruptOne) {
  if (!MAILHOOK_ENGINE_CLAMAV) GTEST_SKIP() << "the command is built without libclamav";
  const fs::path db = m_dir.Path() / "db";
  fs::create_directories(db);
  std::ofstream(db / "test.ndb") << BodySignature("EICAR-Test-File", TestFile());
  const std::string marker = "mailhook reload marker 5c1e";
  const fs::path input = WriteMessages("in", {{"marked.eml", Mail("marked", {Attachment("m.bin", marker)})}});

  auto service = StartService({"--db", db.string()});
  auto hook = StartHook(input, {"--threads", "2", "--repeat", "100000000"});
  std::string line, name, got;
  Outcome outcome;
  // Reads hook lines until one has the verdict wanted; every line on the way must be a result.
  // Only the scans under way when the engine is swapped (one per hook thread) can still come
  // back with the old verdict, so a bound far above that turns a missed reload into a failure.
  auto until = [&](const std::string& want) {
    for (int i = 0; i < 1000 && hook->ReadLine(line); ++i) {
      if (!ParseLine(line, name, outcome)) {
        ADD_FAILURE() << line;
        return false;
      }
      if (outcome.verdict == want) return true;
    }
    return false;
  };
  ASSERT_TRUE(until("clean"));

  std::ofstream(db / "extra.ndb") << BodySignature("Mailhook-Reload-Marker", marker);
  service->Signal(SIGHUP);
  ASSERT_TRUE(service->ReadLine(got));
  EXPECT_TRUE(got.starts_with("reloaded: libclamav")) << got;
  ASSERT_TRUE(until("infected: Mailhook-Reload-Marker.UNOFFICIAL"));

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
  hook->Signal(SIGTERM);
  hook->ReadAll();
  EXPECT_EQ(hook->Wait(), 0);
  service->Signal(SIGTERM);
  EXPECT_EQ(service->Wait(), 0);

  Process refused({MAILHOOK_CLI, "service", "--db", db.string()}, m_env, /*withStderr=*/true);
  std::string said = refused.ReadAll();
  EXPECT_EQ(refused.Wait(), 2);
  EXPECT_EQ(said.find("ready"), std::string::npos) << said;
  EXPECT_NE(said.find("not started"), std::string::npos) << said;
  EXPECT_NE(said.find("broken.ndb"), std::string::npos) << said;
}
