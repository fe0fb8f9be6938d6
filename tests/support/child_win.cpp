// Child processes on Windows: CreateProcessW of this executable with stdout on a pipe.
#include <stdexcept>

#include "support/test_support.h"
#include "win32/win32.h"

namespace mhtest {

struct ChildProcess::Impl {
  PROCESS_INFORMATION pi{};
  HANDLE out = nullptr;
  HANDLE in = nullptr;
  bool waited = false;
  DWORD code = 0;
  std::string pending;
};

static std::wstring Quote(const std::wstring& arg) {
  std::wstring q = L"\"";
  for (wchar_t c : arg) {
    if (c == L'"') q += L'\\';
    q += c;
  }
  return q + L"\"";
}

ChildProcess::ChildProcess(const std::string& name, const std::vector<std::string>& args)
    : m_pImpl(new Impl) {
  wchar_t self[MAX_PATH * 4];
  GetModuleFileNameW(nullptr, self, MAX_PATH * 4);
  std::wstring cmd = Quote(self) + L" --child " + Quote(std::wstring(name.begin(), name.end()));
  for (const auto& a : args) {
    std::u16string w = ToU16(a);
    cmd += L" " + Quote(std::wstring(w.begin(), w.end()));
  }
  SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
  HANDLE rd = nullptr, wr = nullptr;
  if (!CreatePipe(&rd, &wr, &sa, 0)) throw std::runtime_error("CreatePipe");
  SetHandleInformation(rd, HANDLE_FLAG_INHERIT, 0);
  HANDLE inRd = nullptr, inWr = nullptr;
  if (!CreatePipe(&inRd, &inWr, &sa, 0)) throw std::runtime_error("CreatePipe");
  SetHandleInformation(inWr, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = wr;
  si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  si.hStdInput = inRd;
  BOOL ok = CreateProcessW(self, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &m_pImpl->pi);
  ::CloseHandle(wr);
  ::CloseHandle(inRd);
  if (!ok) {
    ::CloseHandle(rd);
    ::CloseHandle(inWr);
    throw std::runtime_error("CreateProcessW");
  }
  m_pImpl->out = rd;
  m_pImpl->in = inWr;
}

ChildProcess::~ChildProcess() {
  if (!m_pImpl->waited) {
    Kill();
    Wait();
  }
  ::CloseHandle(m_pImpl->out);
  ::CloseHandle(m_pImpl->in);
  ::CloseHandle(m_pImpl->pi.hProcess);
  ::CloseHandle(m_pImpl->pi.hThread);
  delete m_pImpl;
}

void ChildProcess::WriteLine(const std::string& line) {
  std::string data = line + "\n";
  DWORD n = 0;
  if (!WriteFile(m_pImpl->in, data.data(), static_cast<DWORD>(data.size()), &n, nullptr) || n != data.size())
    throw std::runtime_error("write to child");
}

int ChildProcess::Wait() {
  if (!m_pImpl->waited) {
    WaitForSingleObject(m_pImpl->pi.hProcess, INFINITE);
    GetExitCodeProcess(m_pImpl->pi.hProcess, &m_pImpl->code);
    m_pImpl->waited = true;
  }
  return static_cast<int>(m_pImpl->code);
}

void ChildProcess::Kill() {
  if (!m_pImpl->waited) TerminateProcess(m_pImpl->pi.hProcess, 137);
}

std::string ChildProcess::ReadAllOutput() {
  std::string out = std::move(m_pImpl->pending);
  m_pImpl->pending.clear();
  char buf[4096];
  DWORD n = 0;
  while (ReadFile(m_pImpl->out, buf, sizeof(buf), &n, nullptr) && n > 0) out.append(buf, n);
  return out;
}

bool ChildProcess::ReadLine(std::string& line) {
  for (;;) {
    auto pos = m_pImpl->pending.find('\n');
    if (pos != std::string::npos) {
      line = m_pImpl->pending.substr(0, pos);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      m_pImpl->pending.erase(0, pos + 1);
      return true;
    }
    char buf[4096];
    DWORD n = 0;
    if (!ReadFile(m_pImpl->out, buf, sizeof(buf), &n, nullptr) || n == 0) {
      if (m_pImpl->pending.empty()) return false;
      line = std::move(m_pImpl->pending);
      m_pImpl->pending.clear();
      return true;
    }
    m_pImpl->pending.append(buf, n);
  }
}

}  // namespace mhtest
