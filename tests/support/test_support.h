// Test helpers shared by every suite: a scratch folder per test, and real child processes
// made by re-running the test binary itself with "--child NAME ARGS...".
#pragma once

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
class Process {
 public:
  Process(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env = {},
          bool withStderr = false);
  ~Process();  // kills the process if it still runs

  bool ReadLine(std::string& line);           // without its newline; false at the end of its output
  bool WaitForLine(const std::string& want);  // reads lines until one equals want
  std::string ReadAll();                      // the output to its end, as written
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
  long ReadSome(char* buf, unsigned long size);  // 0 at the end
  std::unique_ptr<Impl> m_pImpl;                 // not copied: one owner kills and waits
  std::string m_pending;
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
