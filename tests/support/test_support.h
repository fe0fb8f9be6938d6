// Test helpers shared by every suite: a scratch folder per test, and real child processes
// made by re-running the test binary itself with "--child NAME ARGS...".
#pragma once

#include <filesystem>
#include <functional>
#include <map>
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

// A running child process of this test binary.
class ChildProcess {
 public:
  ChildProcess(const std::string& name, const std::vector<std::string>& args);
  ~ChildProcess();  // kills the child if it is still running
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Waits for the child and returns its exit code (-1 if it died of a signal).
  int Wait();
  void Kill();
  // The child's standard output, read to its end (call before or instead of Wait).
  std::string ReadAllOutput();
  // One line of the child's standard output, without its newline; false at the end.
  bool ReadLine(std::string& line);
  // Reads lines until one equals want; false if the output ends first.
  bool WaitForLine(const std::string& want);
  // Writes one line (a newline is added) to the child's standard input.
  bool WriteLine(const std::string& line);
  void CloseInput();

  struct Impl;

 private:
  Impl* m_pImpl;
};

// In a child: writes one line to standard output and flushes it, for the parent's ReadLine.
void TellParent(const std::string& line);

// In a child: reads one line of standard input (without its newline); false at the end.
bool ReadParentLine(std::string& line);

// Starts a child, waits for it and returns its exit code.
int RunChild(const std::string& name, const std::vector<std::string>& args = {});

#if defined(_WIN32)
// One argument of a Windows command line, quoted so that CommandLineToArgvW reads it back whole.
std::wstring QuoteArg(const std::wstring& arg);
#endif

}  // namespace mhtest
