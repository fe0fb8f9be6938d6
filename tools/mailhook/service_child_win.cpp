#include <stdexcept>
#include <string>

#include "quote_win.h"
#include "service_child.h"
#include "stop.h"
#include "windows_api.h"

namespace mailhook {

namespace {

std::wstring SelfPath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) throw std::runtime_error("cannot find this program");
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

}  // namespace

struct ServiceChild::Impl {
  PROCESS_INFORMATION pi{};
  HANDLE out = nullptr;
  int status = -1;
  bool running = false;
};

ServiceChild::ServiceChild(const std::filesystem::path& workDir, const std::vector<std::string>& serviceArgs)
    : m_pImpl(new Impl) {
  std::wstring self = SelfPath();
  std::wstring cmd =
      QuoteArgument(self) + L" service --dir " + QuoteArgument(workDir.wstring()) + L" --quiet";
  for (const std::string& a : serviceArgs) cmd += L" " + QuoteArgument(std::filesystem::path(a).wstring());
  // Only the pipe's write end is inherited, so our copy closing is the child's end of output.
  SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
  HANDLE write = nullptr;
  if (!CreatePipe(&m_pImpl->out, &write, &sa, 0)) {
    delete m_pImpl;
    throw std::runtime_error("pipe");
  }
  SetHandleInformation(m_pImpl->out, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  si.hStdOutput = write;
  si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  BOOL ok = CreateProcessW(self.c_str(), cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si,
                           &m_pImpl->pi);
  ::CloseHandle(write);
  if (!ok) {
    ::CloseHandle(m_pImpl->out);
    delete m_pImpl;
    throw std::runtime_error("cannot start the service");
  }
  m_pImpl->running = true;
}

ServiceChild::~ServiceChild() {
  Stop();
  ::CloseHandle(m_pImpl->out);
  delete m_pImpl;
}

bool ServiceChild::WaitReady() {
  std::string line;
  char c;
  DWORD n = 0;
  while (ReadFile(m_pImpl->out, &c, 1, &n, nullptr) && n == 1) {
    if (c == '\n' || c == '\r') {
      if (line == "ready") return true;
      line.clear();
    } else {
      line.push_back(c);
    }
  }
  return false;
}

int ServiceChild::Stop() {
  if (!m_pImpl->running) return m_pImpl->status;
  m_pImpl->running = false;
  // A service that cannot be asked (it never made its stop event) is ended the hard way.
  if (!RequestStop(static_cast<int64_t>(m_pImpl->pi.dwProcessId)) ||
      WaitForSingleObject(m_pImpl->pi.hProcess, 60000) != WAIT_OBJECT_0) {
    TerminateProcess(m_pImpl->pi.hProcess, 137);
    WaitForSingleObject(m_pImpl->pi.hProcess, INFINITE);
  }
  DWORD code = 0;
  GetExitCodeProcess(m_pImpl->pi.hProcess, &code);
  ::CloseHandle(m_pImpl->pi.hProcess);
  ::CloseHandle(m_pImpl->pi.hThread);
  m_pImpl->status = code == 137 ? -1 : static_cast<int>(code);
  return m_pImpl->status;
}

}  // namespace mailhook
