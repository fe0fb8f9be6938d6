// The debug-log stand-in: its formatting, debug strings, and the sink and level
// chosen by the environment of a real child process.
#include <cstdint>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dbg/dbg_log.h"
#include "support/test_support.h"

static const HINSTANCE kModule = reinterpret_cast<HINSTANCE>(static_cast<std::uintptr_t>(0x1000));

// Writes one line at each of three levels, then says who it is.
MHTEST_CHILD(log_lines) {
  DBG::DebugLogEx(kModule, 0x0102, u"unit_a.cpp", 11, u"detail %d", 1);
  DBG::DebugLogEx(kModule, 0x1003, u"unit_b.cpp", 22, u"report %s=%x", u"err", 0x1224u);
  DBG::DebugLogEx(kModule, 0x1004, u"unit_c.cpp", 33, u"mapping \u00e9");
  mhtest::TellParent("pid=" + std::to_string(GetCurrentProcessId()) +
                     " tid=" + std::to_string(GetCurrentThreadId()) +
                     " enabled=" + std::to_string(DBG::IsLevelEnabled(0x7FFFFFFE)));
  return 0;
}

TEST(DbgFormat, ConversionsWidthsFlagsAndUtf8) {
  EXPECT_EQ(DBG::Format(u"%d|%d|%u|%x|%X|%%|%c", -42, 2147483647, 4294967295u, 0xbeefu, 0xbeefu, u'\u00e9'),
            "-42|2147483647|4294967295|beef|BEEF|%|\xC3\xA9");
  EXPECT_EQ(DBG::Format(u"[%5d][%-5d][%05d][%05d][%08x][%2d]", 42, 42, 42, -42, 0xabu, 12345),
            "[   42][42   ][00042][-0042][000000ab][12345]");
  // "l" is 32 bits as on Windows; "ll" and "I64" are 64.
  EXPECT_EQ(DBG::Format(u"%ld %lu %lld %I64u %I64x", std::int32_t{-7}, std::uint32_t{7},
                        std::int64_t{-1} << 40, std::uint64_t{1} << 40, std::uint64_t{0xFFFFFFFFFFull}),
            "-7 7 -1099511627776 1099511627776 ffffffffff");
  EXPECT_EQ(DBG::Format(u"%p", static_cast<void*>(nullptr)), std::string(2 * sizeof(void*), '0'));
  // Unknown conversions are copied and consume nothing; a trailing % stays; a huge width is capped.
  EXPECT_EQ(DBG::Format(u"%q %d %I6 %", 5), "%q 5 %I6 %");
  EXPECT_EQ(DBG::Format(u"%99999999999999d", 1).size(), 1024u);
  // Widths count UTF-16 units (U+1F600 is two); unpaired surrogates become U+FFFD.
  EXPECT_EQ(DBG::Format(u"[%3s][%3s][%-6s][%s]", u"\u00e9", u"\U0001F600", u"ab",
                        static_cast<const char16_t*>(nullptr)),
            "[  \xC3\xA9][ \xF0\x9F\x98\x80][ab    ][(null)]");
  const char16_t broken[] = {0xD800, u'a', 0xDC00, u'b', 0xD83D, 0};
  EXPECT_EQ(DBG::ToUtf8(broken),
            "\xEF\xBF\xBD"
            "a\xEF\xBF\xBD"
            "b\xEF\xBF\xBD");
}

#if !defined(_WIN32)  // there OutputDebugStringA is the debugger's own call
TEST(DbgCapture, OutputDebugStringIsCapturedAtItsOwnLevel) {
  DBG::CLogCapture capture;
  OutputDebugStringA("pool lists: 1 2 3\n");
  EXPECT_EQ(capture.Texts(DBG::LEVEL_DEBUG_STRING), std::vector<std::string>{"pool lists: 1 2 3"});
}
#endif

TEST(DbgSink, EnvironmentChoosesTheFileAndTheLevel) {
  mhtest::TempDir dir;
  const std::string path = dir.File("all.log").string();
  // Runs the child at a level; returns its line, then the lines of the file.
  auto run = [&](const char* level) {
    mhtest::EnvScope scope("MAILHOOK_LOG_LEVEL", level);
    mhtest::ChildProcess child("log_lines", {});
    std::vector<std::string> out(1);
    child.ReadLine(out[0]);
    EXPECT_EQ(child.Wait(), 0);
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  };
  mhtest::EnvScope log("MAILHOOK_LOG", path.c_str());
  std::vector<std::string> all = run(nullptr);
  const std::regex format(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6} (pid=\d+ tid=\d+) level=0x(.*))");
  const char* expected[] = {"0102 unit_a.cpp:11 detail 1", "1003 unit_b.cpp:22 report err=1224",
                            "1004 unit_c.cpp:33 mapping \xC3\xA9"};
  ASSERT_EQ(all.size(), 4u);
  for (size_t i = 0; i < 3; ++i) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(all[i + 1], m, format)) << all[i + 1];
    EXPECT_EQ(m[1].str() + " enabled=1", all[0]);
    EXPECT_EQ(m[2].str(), expected[i]);
  }
  // A threshold: only the error lines, appended.
  all = run("0x1004");
  ASSERT_EQ(all.size(), 5u);
  EXPECT_NE(all[4].find("level=0x1004 unit_c.cpp:33 mapping"), std::string::npos) << all[4];
  // Unset: nothing is enabled, nothing is written anywhere.
  mhtest::EnvScope unset("MAILHOOK_LOG", nullptr);
  all = run(nullptr);
  EXPECT_NE(all[0].find("enabled=0"), std::string::npos) << all[0];
  EXPECT_EQ(all.size(), 5u);
}
