// Child processes on Windows: CreateProcessW of this executable with stdout on a pipe.
//
// Arguments travel as UTF-16 on the command line and come back as UTF-8 (see test_main.cpp),
// quoted the way CommandLineToArgvW splits them. Only the pipe's write end and a copy of our
// stderr are inheritable, and only while one child starts, so a child started by another thread
// at the same moment never holds our pipe open (which would keep ReadAllOutput waiting).
#include <mutex>
#include <stdexcept>
#include <string>

#include "support/test_support.h"
#include "win32/win32.h"

namespace mhtest {

// One argument as CommandLineToArgvW reads it back: backslashes are literal except in a run
// that ends at a quote, where each must be doubled.
std::wstring QuoteArg(const std::wstring& arg) {
  std::wstring q = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    q.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    q += c;
  }
  q.append(backslashes * 2, L'\\');
  return q + L"\"";
}

struct ChildProcess::Impl {
  PROCESS_INFORMATION pi{};
  HANDLE out = nullptr;
  HANDLE in = nullptr;
  bool waited = false;
  bool killed = false;
  DWORD code = 0;
  std::string pending;
};

namespace {

std::wstring Wide(const std::string& utf8) {
  std::u16string w = ToU16(utf8);
  return std::wstring(w.begin(), w.end());
}

std::wstring SelfPath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) throw std::runtime_error("GetModuleFileNameW");
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

HANDLE InheritableCopy(HANDLE h) {
  HANDLE copy = nullptr;
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &copy, 0, TRUE, DUPLICATE_SAME_ACCESS))
    return nullptr;
  return copy;
}

std::mutex& StartMutex() {
  static std::mutex m;
  return m;
}

}  // namespace

ChildProcess::ChildProcess(const std::string& name, const std::vector<std::string>& args)
    : m_pImpl(new Impl) {
  const std::wstring self = SelfPath();
  std::wstring cmd = QuoteArg(self) + L" --child " + QuoteArg(Wide(name));
  for (const auto& a : args) cmd += L" " + QuoteArg(Wide(a));

  HANDLE rd = nullptr, wr = nullptr;
  HANDLE inRd = nullptr, inWr = nullptr;
  if (!CreatePipe(&rd, &wr, nullptr, 0) || !CreatePipe(&inRd, &inWr, nullptr, 0)) {
    delete m_pImpl;
    throw std::runtime_error("CreatePipe");
  }
  BOOL ok;
  {
    std::lock_guard lock(StartMutex());
    SetHandleInformation(wr, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    SetHandleInformation(inRd, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    HANDLE err = InheritableCopy(GetStdHandle(STD_ERROR_HANDLE));
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = wr;
    si.hStdError = err;
    si.hStdInput = inRd;
    ok = CreateProcessW(self.c_str(), cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si,
                        &m_pImpl->pi);
    ::CloseHandle(wr);
    ::CloseHandle(inRd);
    if (err) ::CloseHandle(err);
  }
  m_pImpl->in = inWr;
  if (!ok) {
    ::CloseHandle(rd);
    delete m_pImpl;
    throw std::runtime_error("CreateProcessW");
  }
  m_pImpl->out = rd;
}

ChildProcess::~ChildProcess() {
  if (!m_pImpl->waited) {
    Kill();
    Wait();
  }
  ::CloseHandle(m_pImpl->out);
  CloseInput();
  ::CloseHandle(m_pImpl->pi.hProcess);
  ::CloseHandle(m_pImpl->pi.hThread);
  delete m_pImpl;
}

int ChildProcess::Wait() {
  if (!m_pImpl->waited) {
    WaitForSingleObject(m_pImpl->pi.hProcess, INFINITE);
    GetExitCodeProcess(m_pImpl->pi.hProcess, &m_pImpl->code);
    m_pImpl->waited = true;
  }
  // Killed, or ended by an exception code (0xC0000005 ...): what POSIX reports as a signal.
  if (m_pImpl->killed || m_pImpl->code >= 0xC0000000u) return -1;
  return static_cast<int>(m_pImpl->code);
}

void ChildProcess::Kill() {
  if (!m_pImpl->waited && TerminateProcess(m_pImpl->pi.hProcess, 137)) m_pImpl->killed = true;
}

bool ChildProcess::WriteLine(const std::string& line) {
  std::string data = line + "\n";
  DWORD n = 0;
  return WriteFile(m_pImpl->in, data.data(), static_cast<DWORD>(data.size()), &n, nullptr) &&
         n == data.size();
}

void ChildProcess::CloseInput() {
  if (m_pImpl->in) ::CloseHandle(m_pImpl->in);
  m_pImpl->in = nullptr;
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
