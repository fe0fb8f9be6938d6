// The debug-log stand-in: exact formatting, the capture sink under threads, and the sink and
// level chosen by the environment of a real child process.
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "dbg/dbg_log.h"
#include "support/test_support.h"

namespace {

HINSTANCE Module() {
  return reinterpret_cast<HINSTANCE>(static_cast<std::uintptr_t>(0x1000));
}

using ScopedEnv = mhtest::EnvScope;

std::vector<std::string> LinesOf(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace

// Writes one line at each of three levels, then says who it is.
MHTEST_CHILD(log_lines) {
  (void)args;
  DBG::DebugLogEx(Module(), 0x0102, u"unit_a.cpp", 11, u"detail %d", 1);
  DBG::DebugLogEx(Module(), 0x1003, u"unit_b.cpp", 22, u"report %s=%x", u"err", 0x1224u);
  DBG::DebugLogEx(Module(), 0x1004, u"unit_c.cpp", 33, u"mapping é");
  std::cout << "pid=" << GetCurrentProcessId() << " tid=" << GetCurrentThreadId() << std::endl;
  std::cout << "enabled=" << DBG::IsLevelEnabled(0x7FFFFFFE) << std::endl;
  return 0;
}

TEST(DbgFormat, ConversionsWidthsAndFlags) {
  EXPECT_EQ(DBG::Format(u"no conversions"), "no conversions");
  EXPECT_EQ(DBG::Format(u"%d|%d|%u|%x|%X|%%", -42, 2147483647, 4294967295u, 0xbeefu, 0xbeefu),
            "-42|2147483647|4294967295|beef|BEEF|%");
  EXPECT_EQ(DBG::Format(u"[%5d][%-5d][%05d][%05d][%08x][%2d]", 42, 42, 42, -42, 0xabu, 12345),
            "[   42][42   ][00042][-0042][000000ab][12345]");
  EXPECT_EQ(DBG::Format(u"[%6s][%-6s][%s]", u"ab", u"ab", static_cast<const char16_t*>(nullptr)),
            "[    ab][ab    ][(null)]");
  // "l" is 32 bits as on Windows; "ll" and "I64" are 64.
  EXPECT_EQ(DBG::Format(u"%ld %lu %lld %I64u %I64x", std::int32_t{-7}, std::uint32_t{7},
                        std::int64_t{-1} << 40, std::uint64_t{1} << 40, std::uint64_t{0xFFFFFFFFFFull}),
            "-7 7 -1099511627776 1099511627776 ffffffffff");
  int local = 0;
  char expected[32];
  std::snprintf(expected, sizeof expected, "0x%0*llX", static_cast<int>(2 * sizeof(void*)),
                static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(&local)));
  EXPECT_EQ(DBG::Format(u"0x%p", static_cast<void*>(&local)), expected);
  EXPECT_EQ(DBG::Format(u"%p", static_cast<void*>(nullptr)), std::string(2 * sizeof(void*), '0'));
  // Unknown conversions are copied and consume nothing; a trailing % stays.
  EXPECT_EQ(DBG::Format(u"%q %d %", 5), "%q 5 %");
  EXPECT_EQ(DBG::Format(u"%I6"), "%I6");
  // An absurd width is capped, not overflowed.
  EXPECT_EQ(DBG::Format(u"%99999999999999d", 1).size(), 1024u);
}

TEST(DbgFormat, Utf16BecomesUtf8) {
  // é (2 bytes), € (3), U+1F600 as a surrogate pair (4).
  EXPECT_EQ(DBG::ToUtf8(u"\u00e9\u20ac\U0001F600"), "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
  EXPECT_EQ(DBG::Format(u"%s|\u00e9", u"\U0001F600"), "\xF0\x9F\x98\x80|\xC3\xA9");
  // Unpaired surrogates: a high one before a letter, at the end, and a lone low one.
  const char16_t broken[] = {0xD800, u'a', 0xDC00, u'b', 0xD83D, 0};
  EXPECT_EQ(DBG::ToUtf8(broken),
            "\xEF\xBF\xBD"
            "a\xEF\xBF\xBD"
            "b\xEF\xBF\xBD");
  EXPECT_EQ(DBG::Format(u"%s", broken), DBG::ToUtf8(broken));
  // Widths count UTF-16 units: é is one, U+1F600 is two.
  EXPECT_EQ(DBG::Format(u"[%3s][%3s]", u"\u00e9", u"\U0001F600"), "[  \xC3\xA9][ \xF0\x9F\x98\x80]");
  EXPECT_EQ(DBG::ToUtf8(static_cast<const char16_t*>(nullptr)), "");
}

TEST(DbgCapture, RecordsEveryFieldFromManyThreads) {
  constexpr int kThreads = 4, kLines = 200;
  DBG::CLogCapture outer;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i)
        DBG::DebugLogEx(Module(), 0x0200 + t, u"thread.cpp", t, u"thread %d line %d", t, i);
    });
  for (auto& th : threads) th.join();

  auto lines = outer.Lines();
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
  std::vector<int> next(kThreads, 0);
  for (const auto& l : lines) {
    int t = l.line;
    ASSERT_TRUE(t >= 0 && t < kThreads);
    EXPECT_EQ(l.module, Module());
    EXPECT_EQ(l.level, 0x0200 + t);
    EXPECT_EQ(l.file, "thread.cpp");
    // In order within each thread.
    EXPECT_EQ(l.text, "thread " + std::to_string(t) + " line " + std::to_string(next[t]++));
  }
  EXPECT_EQ(outer.Lines(0x0201).size(), static_cast<size_t>(kLines));

  // Nested captures each see their own lifetime only.
  {
    DBG::CLogCapture inner;
    DBG::DebugLogEx(Module(), 5, u"n.cpp", 1, u"nested");
    EXPECT_EQ(inner.Texts(), std::vector<std::string>{"nested"});
  }
  EXPECT_EQ(outer.Texts().back(), "nested");
  outer.Clear();
  EXPECT_TRUE(outer.Lines().empty());
  DBG::DebugLogEx(Module(), 5, u"n.cpp", 2, u"after");
  EXPECT_EQ(outer.Texts(5), std::vector<std::string>{"after"});
}

TEST(DbgCapture, OutputDebugStringGoesToTheLog) {
#if defined(_WIN32)
  GTEST_SKIP() << "OutputDebugStringA is the debugger's own call on Windows";
#else
  DBG::CLogCapture capture;
  OutputDebugStringA("pool lists: 1 2 3\n");
  auto lines = capture.Lines(DBG::LEVEL_DEBUG_STRING);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].text, "pool lists: 1 2 3");
#endif
}

TEST(DbgSink, EnvironmentChoosesTheFileAndTheLevel) {
  mhtest::TempDir dir;
  const std::regex format(
      R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6} pid=(\d+) tid=(\d+) level=0x([0-9a-f]{4}) (\S+):(\d+) (.*))");

  // Every level, into a file.
  const std::string all = dir.File("all.log").string();
  {
    ScopedEnv log("MAILHOOK_LOG", all.c_str());
    mhtest::ChildProcess child("log_lines", {});
    std::string who;
    ASSERT_TRUE(child.ReadLine(who));
    EXPECT_EQ(child.Wait(), 0);
    auto lines = LinesOf(all);
    ASSERT_EQ(lines.size(), 3u);
    const char* expected[][4] = {{"0102", "unit_a.cpp", "11", "detail 1"},
                                 {"1003", "unit_b.cpp", "22", "report err=1224"},
                                 {"1004", "unit_c.cpp", "33", "mapping \xC3\xA9"}};
    for (size_t i = 0; i < lines.size(); ++i) {
      std::smatch m;
      ASSERT_TRUE(std::regex_match(lines[i], m, format)) << lines[i];
      EXPECT_EQ("pid=" + m[1].str() + " tid=" + m[2].str(), who);
      EXPECT_EQ(m[3].str(), expected[i][0]);
      EXPECT_EQ(m[4].str(), expected[i][1]);
      EXPECT_EQ(m[5].str(), expected[i][2]);
      EXPECT_EQ(m[6].str(), expected[i][3]);
    }
  }

  // A threshold: only the error lines; and a second writer appends.
  {
    ScopedEnv log("MAILHOOK_LOG", all.c_str());
    ScopedEnv level("MAILHOOK_LOG_LEVEL", "0x1004");
    EXPECT_EQ(mhtest::RunChild("log_lines"), 0);
    auto lines = LinesOf(all);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_NE(lines[3].find("level=0x1004 unit_c.cpp:33 mapping"), std::string::npos) << lines[3];
  }

  // Unset: nothing is enabled, nothing is written anywhere.
  {
    ScopedEnv log("MAILHOOK_LOG", nullptr);
    mhtest::ChildProcess child("log_lines", {});
    std::vector<std::string> out;
    for (std::string line; child.ReadLine(line);) out.push_back(line);
    EXPECT_EQ(child.Wait(), 0);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[1], "enabled=0");
    EXPECT_EQ(LinesOf(all).size(), 4u);
  }
}
