#include <string>

#include "stop.h"
#include "windows_api.h"

namespace mailhook {

namespace {

// "Local\mailhook-stop-<pid>": what RequestStop sets, the Windows counterpart of SIGTERM to a pid
// (console control events reach only processes sharing a console, and not at all under some
// hosts). Set by the console handler too, so one wait serves both.
std::wstring StopEventName(int64_t pid) {
  return L"Local\\mailhook-stop-" + std::to_wstring(pid);
}

HANDLE g_stopEvent = nullptr;

BOOL WINAPI OnConsoleControl(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;
  if (g_stopEvent) SetEvent(g_stopEvent);
  return TRUE;  // handled: the process stops through its own path, with its summary
}

}  // namespace

struct StopRequest::Impl {
  HANDLE stop = nullptr;
  HANDLE cancel = nullptr;
};

StopRequest::StopRequest(bool) : m_pImpl(new Impl) {
  m_pImpl->stop = CreateEventW(nullptr, TRUE, FALSE, StopEventName(GetCurrentProcessId()).c_str());
  m_pImpl->cancel = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  g_stopEvent = m_pImpl->stop;
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

StopRequest::~StopRequest() {
  SetConsoleCtrlHandler(OnConsoleControl, FALSE);
  g_stopEvent = nullptr;
  if (m_pImpl->stop) ::CloseHandle(m_pImpl->stop);
  if (m_pImpl->cancel) ::CloseHandle(m_pImpl->cancel);
  delete m_pImpl;
}

bool StopRequest::Wait(const std::function<void()>&) {
  HANDLE waits[2] = {m_pImpl->stop, m_pImpl->cancel};
  return WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0;
}

void StopRequest::Cancel() {
  SetEvent(m_pImpl->cancel);
}

bool RequestStop(int64_t pid) {
  HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, StopEventName(pid).c_str());
  if (!event) return false;
  BOOL ok = SetEvent(event);
  ::CloseHandle(event);
  return ok != FALSE;
}

void SignalSelf(int what) {
  if (what == kSelfKill) TerminateProcess(GetCurrentProcess(), 137);
  for (;;) Sleep(INFINITE);
}

}  // namespace mailhook
