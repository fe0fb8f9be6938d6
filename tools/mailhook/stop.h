// How the command's long-running parts learn that the user wants them to stop, and how the
// demo and the fault plan reach a process: signals on POSIX, console control events and a
// per-process event on Windows. One implementation per platform (stop_posix.cpp, stop_win.cpp).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

namespace mailhook {

// Waits for a stop request: SIGINT or SIGTERM on POSIX; Ctrl+C, Ctrl+Break or RequestStop on
// Windows. Make it before starting threads: on POSIX it blocks the stop signals in this thread,
// and threads started afterwards inherit that, so only Wait takes them.
class StopRequest {
 public:
  // withReload: SIGHUP is taken too (POSIX; Windows has no such request) and handed to Wait's
  // onReload instead of ending the process.
  explicit StopRequest(bool withReload = false);
  ~StopRequest();
  StopRequest(const StopRequest&) = delete;
  StopRequest& operator=(const StopRequest&) = delete;

  // Blocks until a stop request (true) or Cancel (false), calling onReload for each reload
  // request meanwhile. One waiter at a time.
  bool Wait(const std::function<void()>& onReload = nullptr);
  // From any thread: ends Wait with false, now or when it is called.
  void Cancel();

  struct Impl;

 private:
  Impl* m_pImpl;
};

#if !defined(_WIN32)
// SIGHUP as a reload request beside a library that takes SIGHUP, SIGINT and SIGTERM in a thread of
// its own and stops on each (libmilter). A signal sent to the process goes to its first thread
// whenever that thread has it unblocked, which this object keeps so: the library's thread never
// sees a SIGHUP, and a SIGINT or SIGTERM is noted here (a stop that was asked for) before it is
// passed on to the library. Make it in main's thread before any other thread starts, and early (a
// SIGHUP before it ends the process); the three stay blocked until Serve, which then takes those
// that came meanwhile.
class CReloadSignals {
 public:
  CReloadSignals();
  ~CReloadSignals();
  CReloadSignals(const CReloadSignals&) = delete;
  CReloadSignals& operator=(const CReloadSignals&) = delete;

  // Runs serve on a thread of its own (with the three signals blocked there) and, in this
  // thread, calls onReload for each SIGHUP (a burst may come as one), until serve returns;
  // returns what serve returned.
  int Serve(const std::function<int()>& serve, const std::function<void()>& onReload);
  // Whether a SIGINT or SIGTERM came while serving.
  bool StopAsked() const { return m_bStopAsked; }

 private:
  int m_iRead = -1, m_iWrite = -1;
  bool m_bStopAsked = false;
};
#endif

// Asks another process of this command to stop, as SIGTERM does; false if it cannot be reached.
bool RequestStop(int64_t pid);

// For fault tests: ends this process at once (kSelfKill, as SIGKILL) or freezes the calling
// thread for good (kSelfStop: the request under way never finishes, as under SIGSTOP).
constexpr int kSelfKill = 1;
constexpr int kSelfStop = 2;
void SignalSelf(int what);

}  // namespace mailhook
