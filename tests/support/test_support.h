// Test helpers shared by every suite: a scratch folder per test, and real child processes
// made by re-running the test binary itself with "--child NAME ARGS...".
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace mhtest {

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& Path() const { return m_path; }
  // name is UTF-8 on every platform (a plain std::string would be read in Windows' ANSI code page).
  std::filesystem::path File(const std::string& name) const {
    return m_path / std::filesystem::path(std::u8string(name.begin(), name.end()));
  }
  // The path of a file in this folder as UTF-16, as the Win32 calls take it.
  std::u16string WFile(const std::string& name) const;

 private:
  std::filesystem::path m_path;
};

// An environment variable set for one scope (null: unset) and restored afterwards; child
// processes started meanwhile inherit it.
class EnvScope {
 public:
  EnvScope(const char* name, const char* value);
  EnvScope(const char* name, const std::string& value) : EnvScope(name, value.c_str()) {}
  ~EnvScope();
  EnvScope(const EnvScope&) = delete;
  EnvScope& operator=(const EnvScope&) = delete;

 private:
  std::string m_name;
  std::optional<std::string> m_old;
};

// How long a test waits for another process (a line, the end of its output, its exit): a few
// times what the longest such wait takes under a sanitizer or Wine on a loaded machine. Once the
// test has failed, a few seconds: it is lost anyway and must not hang.
std::chrono::milliseconds Patience();
inline std::chrono::steady_clock::time_point Deadline() {
  return std::chrono::steady_clock::now() + Patience();
}

// A whole file's bytes ("" if it cannot be read).
std::string ReadFile(const std::filesystem::path& path);

// "0a1b..." to bytes, for byte layouts written out in a test.
std::vector<unsigned char> FromHex(const std::string& hex);

// A semaphore's count, taken without blocking and given back.
int SemaphoreCount(void* semaphore);

std::u16string ToU16(const std::string& s);
std::string ToU8(const std::u16string& s);

// A child body: takes the arguments after its name; its result is the process's exit code.
using ChildMain = std::function<int(const std::vector<std::string>& args)>;

// Registers a child body under a name; used through MHTEST_CHILD at namespace scope.
bool RegisterChild(const std::string& name, ChildMain body);

#define MHTEST_CHILD(name)                                                                                 \
  static int mhtest_child_##name(const std::vector<std::string>& args);                                    \
  static const bool mhtest_child_registered_##name = ::mhtest::RegisterChild(#name, &mhtest_child_##name); \
  static int mhtest_child_##name([[maybe_unused]] const std::vector<std::string>& args)

}  // namespace mhtest

// A program started with arguments and extra environment (name=value, replacing what this
// process has), its stdout (and stderr if asked) on a pipe and its stdin from one.
// process_posix.cpp / process_win.cpp; the reading is shared (test_support.cpp).
//
// Every wait ends at a deadline: past it the test fails, naming the process, what was waited for
// and the last line it wrote, and the process is killed, so that the waits after it end at once.
class Process {
 public:
  using Clock = std::chrono::steady_clock;

  Process(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env = {},
          bool withStderr = false);
  ~Process();  // kills the process if it still runs

  // Without its newline; false at the end of its output, or at the deadline.
  bool ReadLine(std::string& line, Clock::time_point deadline = mhtest::Deadline());
  bool WaitForLine(const std::string& want);  // reads lines until one equals want
  std::string ReadAll();                      // the output to its end, as written, while it keeps coming
  bool WriteLine(const std::string& line);    // to its stdin, a newline added
  void CloseInput();
  void Stop();  // as the user stops it: SIGTERM, or on Windows the command's stop request
  void Kill();  // at once: SIGKILL, or TerminateProcess
  int Wait();   // exit code, or -signal (-9 when killed, -11 for an exception on Windows)
  int Pid() const;
#if !defined(_WIN32)
  void Signal(int signal);
#endif
  struct Impl;

 private:
  // Up to size bytes as soon as some come; 0 at the end of the output, -1 from the deadline on.
  long ReadSome(char* buf, unsigned long size, Clock::time_point deadline);
  // The exit code, or none while the process still runs at the deadline.
  std::optional<int> ExitCode(Clock::time_point deadline);
  bool NextLine(std::string& line, Clock::time_point deadline, const std::string& waitedFor);
  // Fails the test with what was waited for, and kills the process.
  void GiveUp(const std::string& waitedFor);

  std::unique_ptr<Impl> m_pImpl;  // not copied: one owner kills and waits
  std::string m_name;             // the program and its first argument, for failures
  std::string m_pending;
  std::string m_lastLine;
};

namespace mhtest {

// This test binary started again as "--child NAME ARGS...".
class ChildProcess : public Process {
 public:
  ChildProcess(const std::string& name, const std::vector<std::string>& args);
};

// In a child: writes one line to standard output and flushes it, for the parent's ReadLine.
void TellParent(const std::string& line);

// In a child: reads one line of standard input (without its newline); false at the end.
bool ReadParentLine(std::string& line);

// Starts a child, waits for it and returns its exit code.
int RunChild(const std::string& name, const std::vector<std::string>& args = {});

// The path of this test binary, in UTF-8.
std::string SelfPath();

}  // namespace mhtest
