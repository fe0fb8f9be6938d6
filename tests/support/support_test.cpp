// The child-process helper itself: every multi-process test relies on its arguments arriving
// intact, its exit codes and its output being exact on both platforms.
#include <chrono>
#include <cstdio>
#include <thread>

#include <gtest/gtest.h>

#include "support/test_support.h"

MHTEST_CHILD(echo_args) {
  for (const auto& a : args) std::printf("[%s]\n", a.c_str());
  return static_cast<int>(args.size());
}

MHTEST_CHILD(wait_to_be_killed) {
  std::printf("ready\n");
  std::fflush(stdout);
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

TEST(ChildProcess, ArgumentsOutputAndExitCodeArriveExactly) {
  // Spaces, quotes and backslashes in every position a command line could mangle them,
  // a Windows folder with its trailing backslash, and text outside any ANSI code page.
  const std::vector<std::string> args{
      "plain",         "two words", "",
      "quote\"inside", "\\\"",      "ends with\\",
      "C:\\dir\\",     "a\\\\b",    "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x93\xA7"};
  mhtest::ChildProcess child("echo_args", args);
  std::string expected;
  for (const auto& a : args) expected += "[" + a + "]\n";
  EXPECT_EQ(child.ReadAllOutput(), expected);
  EXPECT_EQ(child.Wait(), static_cast<int>(args.size()));

  EXPECT_EQ(mhtest::RunChild("no_such_child"), 127);
}

TEST(ChildProcess, ReadsLinesThenKillsARunningChild) {
  mhtest::ChildProcess two("echo_args", {"x", "y"});
  std::string line;
  ASSERT_TRUE(two.ReadLine(line));
  EXPECT_EQ(line, "[x]");
  ASSERT_TRUE(two.ReadLine(line));
  EXPECT_EQ(line, "[y]");
  EXPECT_FALSE(two.ReadLine(line));
  EXPECT_EQ(two.Wait(), 2);

  mhtest::ChildProcess stuck("wait_to_be_killed", {});
  ASSERT_TRUE(stuck.ReadLine(line));
  EXPECT_EQ(line, "ready");
  stuck.Kill();
  EXPECT_EQ(stuck.Wait(), -1);
  EXPECT_FALSE(stuck.ReadLine(line));
}
