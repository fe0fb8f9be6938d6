#include "support/test_support.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>

#include <gtest/gtest.h>

#include "dbg/dbg_log.h"
#include "win32/win32.h"

namespace mhtest {

namespace {
std::map<std::string, ChildMain>& Children() {
  static std::map<std::string, ChildMain> children;
  return children;
}

// _putenv_s also sets the process environment that child processes inherit.
void SetEnv(const char* name, const char* value) {
#if defined(_WIN32)
  _putenv_s(name, value ? value : "");
#else
  value ? setenv(name, value, 1) : unsetenv(name);
#endif
}
}  // namespace

std::chrono::milliseconds Patience() {
  using namespace std::chrono_literals;
  return ::testing::Test::HasFailure() ? 3s : 20s;
}

bool RegisterChild(const std::string& name, ChildMain body) {
  Children()[name] = std::move(body);
  return true;
}

// Called by the test main when the binary was started as a child.
int RunRegisteredChild(const std::string& name, const std::vector<std::string>& args) {
  auto it = Children().find(name);
  return it == Children().end() ? 127 : it->second(args);
}

EnvScope::EnvScope(const char* name, const char* value) : m_name(name) {
  if (const char* old = std::getenv(name)) m_old = old;
  SetEnv(name, value);
}

EnvScope::~EnvScope() {
  SetEnv(m_name.c_str(), m_old ? m_old->c_str() : nullptr);
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ostringstream bytes;
  bytes << std::ifstream(path, std::ios::binary).rdbuf();
  return bytes.str();
}

std::vector<unsigned char> FromHex(const std::string& hex) {
  std::vector<unsigned char> b;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    b.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return b;
}

int SemaphoreCount(void* semaphore) {
  int units = 0;
  while (units < 100000 && WaitForSingleObject(semaphore, 0) == WAIT_OBJECT_0) ++units;
  if (units > 0) ReleaseSemaphore(semaphore, units, nullptr);
  return units;
}

TempDir::TempDir() {
  static std::atomic<unsigned> counter{0};
  std::random_device rd;
  std::error_code ec;
  do {
    m_path = std::filesystem::temp_directory_path() /
             ("mailhook-test-" + std::to_string(rd()) + "-" + std::to_string(counter++));
  } while (!std::filesystem::create_directory(m_path, ec));
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(m_path, ec);
}

std::u16string TempDir::WFile(const std::string& name) const {
#if defined(_WIN32)
  // Windows paths are UTF-16 already; string() would pass them through the ANSI code page.
  return File(name).u16string();
#else
  return ToU16(File(name).string());
#endif
}

std::u16string ToU16(const std::string& s) {
  return DBG::FromUtf8(s);
}

std::string ToU8(const std::u16string& s) {
  return DBG::ToUtf8(s);
}

void TellParent(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

bool ReadParentLine(std::string& line) {
  if (!std::getline(std::cin, line)) return false;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return true;
}

int RunChild(const std::string& name, const std::vector<std::string>& args) {
  return ChildProcess(name, args).Wait();
}

ChildProcess::ChildProcess(const std::string& name, const std::vector<std::string>& args)
    : Process([&] {
        std::vector<std::string> argv{SelfPath(), "--child", name};
        return argv.insert(argv.end(), args.begin(), args.end()), argv;
      }()) {}

}  // namespace mhtest

void Process::GiveUp(const std::string& waitedFor) {
  ADD_FAILURE() << m_name << ": waited in vain for " << waitedFor << "; its last line: \"" << m_lastLine
                << "\"";
  Kill();
}

bool Process::NextLine(std::string& line, Clock::time_point deadline, const std::string& waitedFor) {
  char buf[4096];
  size_t pos;
  while ((pos = m_pending.find('\n')) == std::string::npos) {
    long n = ReadSome(buf, sizeof buf, deadline);
    if (n < 0) GiveUp(waitedFor);
    if (n <= 0) {
      line = std::move(m_pending);
      m_pending.clear();
      return !line.empty();
    }
    m_pending.append(buf, static_cast<size_t>(n));
  }
  line = m_pending.substr(0, pos);
  m_pending.erase(0, pos + 1);
  if (!line.empty() && line.back() == '\r') line.pop_back();  // a Windows program's text mode
  m_lastLine = line;
  return true;
}

bool Process::ReadLine(std::string& line, Clock::time_point deadline) {
  return NextLine(line, deadline, "a line");
}

bool Process::WaitForLine(const std::string& want) {
  const auto deadline = mhtest::Deadline();
  std::string line;
  while (NextLine(line, deadline, "the line \"" + want + "\""))
    if (line == want) return true;
  return false;
}

std::string Process::ReadAll() {
  std::string out = std::move(m_pending);
  m_pending.clear();
  char buf[4096];
  long n;
  while ((n = ReadSome(buf, sizeof buf, mhtest::Deadline())) > 0) out.append(buf, static_cast<size_t>(n));
  if (n < 0) GiveUp("the end of its output");
  return out;
}

int Process::Wait() {
  std::optional<int> code = ExitCode(mhtest::Deadline());
  if (!code) {
    GiveUp("its exit");
    code = ExitCode(mhtest::Deadline());
  }
  return code.value_or(-9);
}
