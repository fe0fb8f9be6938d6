// Processes on Windows: CreateProcessW with stdin and stdout on pipes. Arguments travel as UTF-16, quoted the
// way CommandLineToArgvW splits them. The pipe ends the process gets and a copy of our stderr are inheritable
// only while one process starts, so a process started by another thread at the same moment never holds our
// pipes open (which would keep ReadAll waiting). Stop is defined where the command's stop request is linked
// (e2e).
#include <algorithm>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "quote_win.h"
#include "support/test_support.h"
#include "win32/win32.h"

struct Process::Impl {
  HANDLE process = nullptr, out = nullptr, in = nullptr;
  unsigned long pid = 0;
  bool waited = false, killed = false;
  int status = 0;
};

namespace {

std::wstring Wide(const std::string& utf8) {
  std::u16string w = mhtest::ToU16(utf8);
  return std::wstring(w.begin(), w.end());
}

}  // namespace

std::string mhtest::SelfPath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) throw std::runtime_error("GetModuleFileNameW");
    if (n < path.size()) return ToU8(std::u16string(path.begin(), path.begin() + n));
    path.resize(path.size() * 2);
  }
}

Process::Process(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                 bool withStderr)
    : m_pImpl(new Impl), m_name(argv.at(0) + (argv.size() > 1 ? " " + argv[1] : "")) {
  std::wstring cmd;
  for (auto& a : argv) cmd += (cmd.empty() ? L"" : L" ") + mailhook::QuoteArgument(Wide(a));
  HANDLE outRd = nullptr, outWr = nullptr, inRd = nullptr, inWr = nullptr;
  if (!CreatePipe(&outRd, &outWr, nullptr, 0) || !CreatePipe(&inRd, &inWr, nullptr, 0))
    throw std::runtime_error("CreatePipe");
  static std::mutex startMutex;
  PROCESS_INFORMATION pi{};
  BOOL ok;
  {
    std::lock_guard lock(startMutex);
    // The process inherits our environment with env set in it for the moment it starts.
    std::vector<std::unique_ptr<mhtest::EnvScope>> scopes;
    for (auto& [k, v] : env) scopes.push_back(std::make_unique<mhtest::EnvScope>(k.c_str(), v));
    SetHandleInformation(outWr, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    SetHandleInformation(inRd, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    HANDLE err = nullptr;
    if (!withStderr)
      DuplicateHandle(GetCurrentProcess(), GetStdHandle(STD_ERROR_HANDLE), GetCurrentProcess(), &err, 0, TRUE,
                      DUPLICATE_SAME_ACCESS);
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = outWr;
    si.hStdError = withStderr ? outWr : err;
    si.hStdInput = inRd;
    ok = CreateProcessW(Wide(argv[0]).c_str(), cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si,
                        &pi);
    ::CloseHandle(outWr);
    ::CloseHandle(inRd);
    if (err) ::CloseHandle(err);
  }
  m_pImpl->out = outRd;
  m_pImpl->in = inWr;
  if (!ok) {
    m_pImpl->waited = true;
    throw std::runtime_error("CreateProcessW " + argv[0]);
  }
  ::CloseHandle(pi.hThread);
  m_pImpl->process = pi.hProcess;
  m_pImpl->pid = pi.dwProcessId;
}

Process::~Process() {
  Kill();
  Wait();
  ::CloseHandle(m_pImpl->out);
  CloseInput();
  if (m_pImpl->process) ::CloseHandle(m_pImpl->process);
}

long Process::ReadSome(char* buf, unsigned long size, Clock::time_point deadline) {
  // An anonymous pipe has no waits with a time-out: it is looked at every few milliseconds until
  // something has come (a broken pipe, the end, counts).
  DWORD ready = 0;
  while (PeekNamedPipe(m_pImpl->out, nullptr, 0, nullptr, &ready, nullptr) && ready == 0) {
    if (Clock::now() >= deadline) return -1;
    Sleep(5);
  }
  DWORD n = 0;
  return ReadFile(m_pImpl->out, buf, static_cast<DWORD>(size), &n, nullptr) ? static_cast<long>(n) : 0;
}

bool Process::WriteLine(const std::string& line) {
  std::string data = line + "\n";
  DWORD n = 0;
  return WriteFile(m_pImpl->in, data.data(), static_cast<DWORD>(data.size()), &n, nullptr) &&
         n == data.size();
}

void Process::CloseInput() {
  if (m_pImpl->in) ::CloseHandle(m_pImpl->in);
  m_pImpl->in = nullptr;
}

void Process::Kill() {
  if (!m_pImpl->waited && TerminateProcess(m_pImpl->process, 137)) m_pImpl->killed = true;
}

std::optional<int> Process::ExitCode(Clock::time_point deadline) {
  if (!m_pImpl->waited) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (WaitForSingleObject(m_pImpl->process, static_cast<DWORD>(std::max<long long>(left, 0))) !=
        WAIT_OBJECT_0)
      return std::nullopt;
    DWORD code = 0;
    GetExitCodeProcess(m_pImpl->process, &code);
    // Killed, or ended by an exception code (0xC0000005 ...): what POSIX reports as a signal.
    m_pImpl->status = m_pImpl->killed ? -9 : code >= 0xC0000000u ? -11 : static_cast<int>(code);
    m_pImpl->waited = true;
  }
  return m_pImpl->status;
}

int Process::Pid() const {
  return static_cast<int>(m_pImpl->pid);
}
