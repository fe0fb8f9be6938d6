// The process helper itself: every multi-process test relies on its arguments arriving intact,
// its exit codes and its output being exact on both platforms.
#include <chrono>
#include <cstdio>
#include <thread>

#include <gtest/gtest.h>

#include "support/test_support.h"

MHTEST_CHILD(echo_args) {
  for (const auto& a : args) std::printf("[%s]\n", a.c_str());
  std::fflush(stdout);
  if (!args.empty() && args[0] == "wait") std::this_thread::sleep_for(std::chrono::hours(1));
  return static_cast<int>(args.size());
}

TEST(ChildProcess, ArgumentsOutputExitCodesAndKill) {
  // Spaces, quotes and backslashes in every position a command line could mangle them,
  // a Windows folder with its trailing backslash, and text outside any ANSI code page.
  const std::vector<std::string> args{
      "plain",         "two words", "",
      "quote\"inside", "\\\"",      "ends with\\",
      "C:\\dir\\",     "a\\\\b",    "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x93\xA7"};
  mhtest::ChildProcess child("echo_args", args);
  std::string line;
  ASSERT_TRUE(child.ReadLine(line));
  EXPECT_EQ(line, "[plain]");
  std::string expected;
  for (size_t i = 1; i < args.size(); ++i) expected += "[" + args[i] + "]\n";
  EXPECT_EQ(child.ReadAllOutput(), expected);
  EXPECT_EQ(child.Wait(), static_cast<int>(args.size()));
  EXPECT_EQ(mhtest::RunChild("no_such_child"), 127);

  mhtest::ChildProcess stuck("echo_args", {"wait"});
  ASSERT_TRUE(stuck.WaitForLine("[wait]"));
  stuck.Kill();
  EXPECT_EQ(stuck.Wait(), -1);
  EXPECT_FALSE(stuck.ReadLine(line));
}
