#include <gtest/gtest.h>

#include "foundation/hook_HookError.h"
#include "foundation/hook_Lock.h"
#include "foundation/hook_Log.h"

static constexpr const char16_t kHookUnit[] = u"foundation_test.cpp";

namespace {

// A status-returning operation shaped as the library writes them.
int StatusOperation(int code, int* raiseLine) {
  try {
    HOOK_LOG(LOG_TRACE_ENTER, u"Test::StatusOperation");
    *raiseLine = __LINE__ + 1;
    HOOK_ERROR(code);
    HOOK_LOG(LOG_TRACE_EXIT, u"Test::StatusOperation");
    return 0;
  } catch (CHookError& e) {
    e.Report();
    return -1;
  }
}

}  // namespace

// The report line is what operators grep for, and its numbers are what the peer's logs carry:
// each code keeps its number.
TEST(HookError, ReportsOnceFromItsOwnUnitWithTheCodesNumber) {
  const std::pair<int, int> codes[] = {
      {HOOK_ERR_GENERAL, 0},        {HOOK_ERR_INVALID_ARG, 1},        {HOOK_ERR_GROW, 3},
      {HOOK_ERR_POOL_NOT_FOUND, 7}, {HOOK_ERR_RESOURCE_NOT_FOUND, 8}, {HOOK_ERR_CREATE_READER, 10}};
  for (auto [code, number] : codes) {
    DBG::CLogCapture capture;
    int raiseLine = 0;
    EXPECT_EQ(StatusOperation(code, &raiseLine), -1);
    auto reports = capture.Lines(LOG_ERROR_REPORT);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].file, "hook_HookError.cpp");
    EXPECT_EQ(reports[0].module, HookModule());
    EXPECT_EQ(reports[0].text, "HOOK_ERROR: " + std::to_string(number) +
                                   " (Line: " + std::to_string(raiseLine) + ", File: foundation_test.cpp)");
    // Entry line only: a reported path writes no exit line.
    EXPECT_EQ(capture.Texts(LOG_TRACE_ENTER).size(), 1u);
    EXPECT_TRUE(capture.Texts(LOG_TRACE_EXIT).empty());
  }
}

TEST(Guard, ReleasesExactlyOnceOnEveryExitAndNeverWhatItDidNotGet) {
  struct CountingLock {
    int result = 0, acquires = 0, releases = 0;
    int acquire() {
      ++acquires;
      return result;
    }
    int release() { return ++releases, 0; }
  } lock;
  { Guard<CountingLock> g(lock); }
  try {
    Guard<CountingLock> g(lock);
    throw 1;
  } catch (int) {
  }
  {
    Guard<CountingLock> g(lock);
    g.release();
  }
  EXPECT_EQ(lock.acquires, 3);
  EXPECT_EQ(lock.releases, 3);
  lock.result = -1;  // the acquisition failed: nothing to give back
  { Guard<CountingLock> g(lock); }
  EXPECT_EQ(lock.releases, 3);
}
