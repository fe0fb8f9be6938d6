// The command's log: key=value lines that parse back to what was logged, the level filter, and a
// log file moved away by logrotate and opened again under its name.
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "key_values.h"
#include "log.h"
#include "support/test_support.h"

namespace {

using mailhook::CLogLine;
using mailhook::LogLevel;

// Every value comes back as written whatever it holds (line ends become spaces: one record per line).
TEST(LogLine, ValuesParseBackWhateverTheyHold) {
  const std::vector<std::string> values{"clean",       "",    "infected: Eicar Test", "say \"hi\"",
                                        "back\\slash", "a=b", "<alice@example.org>",  "tab\there",
                                        "ends with \\"};
  CLogLine line;
  for (size_t i = 0; i < values.size(); ++i) line.Add("k" + std::to_string(i), values[i]);
  line.Add("n", uint64_t{18446744073709551615u})
      .Add("i", int64_t{-5})
      .Ms("ms", 1.26)
      .Add("nl", "two\r\nlines");
  const auto got = KeyValues(line.Text());
  ASSERT_FALSE(got.empty()) << line.Text();
  for (size_t i = 0; i < values.size(); ++i)
    EXPECT_EQ(got.at("k" + std::to_string(i)), values[i]) << line.Text();
  EXPECT_EQ(got.at("n"), "18446744073709551615");
  EXPECT_EQ(got.at("i"), "-5");
  EXPECT_EQ(got.at("ms"), "1.3");
  EXPECT_EQ(got.at("nl"), "two  lines");
  EXPECT_EQ(line.Text().find('\n'), std::string::npos);

  EXPECT_EQ(mailhook::ParseLogLevel("notice"), LogLevel::kNotice);
  EXPECT_EQ(mailhook::ParseLogLevel("Info"), std::nullopt);
  EXPECT_STREQ(mailhook::LogLevelName(LogLevel::kDebug), "debug");
}

std::vector<std::string> Lines(const std::filesystem::path& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Lines below the level are dropped; warnings say so; after logrotate moves the file, a reopen
// writes to a new file of the same name and nothing more into the moved one.
TEST(Log, FileKeepsLevelAndFollowsLogrotate) {
  mhtest::TempDir dir;
  const auto path = dir.Path() / "mailhook.log";
  mailhook::OpenLog(path.string(), "service", LogLevel::kNotice);
  EXPECT_FALSE(mailhook::LogEnabled(LogLevel::kInfo));
  mailhook::Log(LogLevel::kInfo, "seq=1 dropped");
  mailhook::Log(LogLevel::kNotice, "started");
  mailhook::Log(LogLevel::kWarning, "refused pool 3");
  mailhook::SetLogLevel(LogLevel::kInfo);
  mailhook::Log(LogLevel::kInfo, "seq=2 kept");
#if defined(_WIN32)
  // Windows does not rename a file another handle holds open: logrotate is a POSIX matter.
  const auto lines = Lines(path);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_TRUE(lines[1].ends_with("]: warning: refused pool 3")) << lines[1];
  return;
#endif
  std::filesystem::rename(path, dir.Path() / "mailhook.log.1");
  mailhook::Log(LogLevel::kInfo, "seq=3 before the reopen");
  std::string error;
  ASSERT_TRUE(mailhook::ReopenLog(error)) << error;
  mailhook::Log(LogLevel::kInfo, "seq=4 after the reopen");

  const auto rotated = Lines(dir.Path() / "mailhook.log.1");
  ASSERT_EQ(rotated.size(), 4u);
  EXPECT_NE(rotated[0].find(" mailhook/service["), std::string::npos) << rotated[0];
  EXPECT_TRUE(rotated[0].ends_with("]: started")) << rotated[0];
  EXPECT_TRUE(rotated[1].ends_with("]: warning: refused pool 3")) << rotated[1];
  EXPECT_TRUE(rotated[2].ends_with("]: seq=2 kept")) << rotated[2];
  EXPECT_TRUE(rotated[3].ends_with("]: seq=3 before the reopen")) << rotated[3];
  const auto fresh = Lines(path);
  ASSERT_EQ(fresh.size(), 1u);
  EXPECT_TRUE(fresh[0].ends_with("]: seq=4 after the reopen")) << fresh[0];
#if !defined(_WIN32)
  EXPECT_EQ(std::filesystem::status(path).permissions() & std::filesystem::perms::others_all,
            std::filesystem::perms::none);
#endif

  // A file that cannot be made is refused at once, saying which.
  try {
    mailhook::OpenLog((dir.Path() / "no" / "such.log").string(), "milter", LogLevel::kInfo);
    ADD_FAILURE() << "opened a log file in a folder that does not exist";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("such.log"), std::string::npos) << e.what();
  }
}

}  // namespace
