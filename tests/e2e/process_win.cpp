// Processes on Windows: CreateProcessW with a Unicode environment block and stdout on a pipe;
// the command's own stop request (stop.h) stands in for SIGTERM.
#include <stdexcept>

#include "process.h"
#include "stop.h"
#include "support/test_support.h"
#include "win32/win32.h"

namespace {

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), w.data(), n);
  return w;
}

}  // namespace

Process::Process(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                 bool withStderr) {
  std::wstring block;
  if (wchar_t* current = GetEnvironmentStringsW()) {
    for (const wchar_t* e = current; *e; e += wcslen(e) + 1) {
      std::wstring kv(e);
      size_t eq = kv.find(L'=', 1);  // "=C:=C:\..." entries start with '='
      bool replaced = false;
      for (auto& [k, v] : env)
        replaced = replaced || (eq != std::wstring::npos && kv.substr(0, eq) == Wide(k));
      if (!replaced) block += kv + L'\0';
    }
    FreeEnvironmentStringsW(current);
  }
  for (auto& [k, v] : env) block += Wide(k) + L"=" + Wide(v) + L'\0';
  block += L'\0';
  std::wstring cmd;
  for (auto& a : argv) cmd += (cmd.empty() ? L"" : L" ") + mhtest::QuoteArg(Wide(a));

  SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
  HANDLE read = nullptr, write = nullptr;
  if (!CreatePipe(&read, &write, &sa, 0)) throw std::runtime_error("CreatePipe");
  SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  si.hStdOutput = write;
  si.hStdError = withStderr ? write : GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION pi{};
  BOOL ok = CreateProcessW(Wide(argv[0]).c_str(), cmd.data(), nullptr, nullptr, TRUE,
                           CREATE_UNICODE_ENVIRONMENT, block.data(), nullptr, &si, &pi);
  ::CloseHandle(write);
  if (!ok) {
    ::CloseHandle(read);
    throw std::runtime_error("CreateProcessW " + argv[0]);
  }
  ::CloseHandle(pi.hThread);
  m_process = pi.hProcess;
  m_pid = pi.dwProcessId;
  m_out = read;
}

Process::~Process() {
  if (!m_waited) {
    Kill();
    Wait();
  }
  ::CloseHandle(m_out);
  ::CloseHandle(m_process);
}

bool Process::ReadLine(std::string& line) {
  for (;;) {
    auto pos = m_pending.find('\n');
    if (pos != std::string::npos) {
      line = m_pending.substr(0, pos);
      m_pending.erase(0, pos + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();  // text-mode stdout
      return true;
    }
    char buf[4096];
    DWORD n = 0;
    if (!ReadFile(m_out, buf, sizeof buf, &n, nullptr) || n == 0) {
      if (m_pending.empty()) return false;
      line.swap(m_pending);
      m_pending.clear();
      return true;
    }
    m_pending.append(buf, n);
  }
}

bool Process::WaitForLine(const std::string& want) {
  std::string line;
  while (ReadLine(line))
    if (line == want) return true;
  return false;
}

std::string Process::ReadAll() {
  std::string all, line;
  while (ReadLine(line)) all += line + "\n";
  return all;
}

void Process::Stop() {
  if (!m_waited) mailhook::RequestStop(static_cast<int64_t>(m_pid));
}

void Process::Kill() {
  if (!m_waited) TerminateProcess(m_process, 137);
}

int Process::Wait() {
  if (!m_waited) {
    WaitForSingleObject(m_process, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(m_process, &code);
    m_status = code == 137 ? -9 : static_cast<int>(code);
    m_waited = true;
  }
  return m_status;
}
