
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

int ThrowsBadAlloc() {
  try {
    throw std::bad_alloc();
  } catch (CHookError& e) {
    e.Report();
    return -1;
  }
}

}  // namespace

TEST(HookError, ReportsOnceFromItsOwnUnitAndReturnsFailure) {
  DBG::CLogCapture capture;
  int raiseLine = 0;
  EXPECT_EQ(StatusOperation(HOOK_ERR_RESOURCE_NOT_FOUND, &raiseLine), -1);

  auto reports = capture.Lines(LOG_ERROR_REPORT);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].file, "hook_HookError.cpp");
  EXPECT_EQ(reports[0].module, HookModule());
  EXPECT_EQ(reports[0].text,
            "HOOK_ERROR: 8 (Line: " + std::to_string(raiseLine) + ", File: foundation_test.cpp)");
  // Entry line only: a reported path writes no exit line.
  EXPECT_EQ(capture.Texts(LOG_TRACE_ENTER).size(), 1u);
  EXPECT_TRUE(capture.Texts(LOG_TRACE_EXIT).empty());

  EXPECT_THROW(ThrowsBadAlloc(), std::bad_alloc);
}

TEST(Guard, ReleasesExactlyOnceOnEveryExit) {
  struct CountingLock {
    int acquires = 0, releases = 0;
    int acquire() {
      ++acquires;
      return 0;
    }
    int release() {
      ++releases;
      return 0;
    }
  } counting;
  { Guard<CountingLock> g(counting); }
  EXPECT_EQ(counting.releases, 1);
  try {
    Guard<CountingLock> g(counting);
    throw 1;
  } catch (int) {
  }
  EXPECT_EQ(counting.releases, 2);
  {
    Guard<CountingLock> g(counting);
    g.release();
  }
  EXPECT_EQ(counting.releases, 3);
  EXPECT_EQ(counting.acquires, 3);

  struct FailingLock {
    int releases = 0;
    int acquire() { return -1; }
    int release() {
      ++releases;
      return 0;
    }
  } failing;
  { Guard<FailingLock> g(failing); }
  EXPECT_EQ(failing.releases, 0);
}
