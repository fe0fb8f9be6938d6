#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include "stop.h"

namespace mailhook {

// SIGUSR1, blocked with the others, only wakes the waiter for Cancel.
struct StopRequest::Impl {
  sigset_t signals;
  std::atomic<bool> armed{false};
  std::atomic<bool> cancelled{false};
  pthread_t waiter{};
};

StopRequest::StopRequest(bool withReload) : m_pImpl(new Impl) {
  sigemptyset(&m_pImpl->signals);
  for (int s : {SIGINT, SIGTERM, SIGUSR1}) sigaddset(&m_pImpl->signals, s);
  if (withReload) sigaddset(&m_pImpl->signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &m_pImpl->signals, nullptr);
}

StopRequest::~StopRequest() {
  delete m_pImpl;
}

bool StopRequest::Wait(const std::function<void()>& onReload) {
  m_pImpl->waiter = pthread_self();
  m_pImpl->armed = true;
  // Cancel either saw armed and sends the wake-up, or set cancelled before we look here.
  if (m_pImpl->cancelled) return false;
  int signal = 0;
  while (sigwait(&m_pImpl->signals, &signal) == 0 && signal == SIGHUP)
    if (onReload) onReload();
  return signal != SIGUSR1;
}

void StopRequest::Cancel() {
  m_pImpl->cancelled = true;
  if (m_pImpl->armed) pthread_kill(m_pImpl->waiter, SIGUSR1);
}

bool RequestStop(int64_t pid) {
  return kill(static_cast<pid_t>(pid), SIGTERM) == 0;
}

void SignalSelf(int what) {
  kill(getpid(), what == kSelfKill ? SIGKILL : SIGSTOP);
}

}  // namespace mailhook
