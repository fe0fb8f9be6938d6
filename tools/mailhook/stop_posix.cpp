#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

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

namespace {

int g_iReloadPipe = -1;  // the write end, for the handler

const sigset_t& Ours() {
  static const sigset_t ours = [] {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : {SIGHUP, SIGINT, SIGTERM}) sigaddset(&set, signal);
    return set;
  }();
  return ours;
}

// 'h' for a reload, 's' for a stop, read by Serve's loop.
void OnSignal(int signal) {
  const int saved = errno;
  const char byte = signal == SIGHUP ? 'h' : 's';
  [[maybe_unused]] ssize_t n = write(g_iReloadPipe, &byte, 1);
  errno = saved;
}

}  // namespace

CReloadSignals::CReloadSignals() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return;
  m_iRead = fds[0];
  m_iWrite = fds[1];
  g_iReloadPipe = m_iWrite;
  // SA_NODEFER: once Serve runs, the signals are never blocked in this thread, not even while the
  // handler runs, so a second one in a row comes here too instead of going to the library's thread.
  struct sigaction action {};
  action.sa_handler = OnSignal;
  action.sa_flags = SA_RESTART | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGHUP, SIGINT, SIGTERM}) sigaction(signal, &action, nullptr);
  // Blocked until Serve: every thread made meanwhile (and the library's, made by Serve's server
  // thread) has them blocked, so that only this thread or the library's waiting thread can take
  // one. One that comes meanwhile waits for Serve.
  pthread_sigmask(SIG_BLOCK, &Ours(), nullptr);
}

CReloadSignals::~CReloadSignals() {
  // The handler stays: a SIGHUP while the process winds down is dropped, not a reason to die.
  g_iReloadPipe = -1;
  if (m_iRead >= 0) close(m_iRead);
  if (m_iWrite >= 0) close(m_iWrite);
}

int CReloadSignals::Serve(const std::function<int()>& serve, const std::function<void()>& onReload) {
  if (m_iRead < 0) return serve();
  // What came before Serve is taken here first (the handler runs as they are let through), so
  // that none is left pending for the library's thread to take as its own.
  pthread_sigmask(SIG_UNBLOCK, &Ours(), nullptr);
  pthread_sigmask(SIG_BLOCK, &Ours(), nullptr);
  int rc = 0;
  // Made while the signals are blocked here, so it starts with them blocked: had it a moment with
  // them open, a stop passed on below could land in it instead of in the library's thread.
  std::thread server([&] {
    rc = serve();
    const char byte = 'd';
    [[maybe_unused]] ssize_t n = write(m_iWrite, &byte, 1);
  });
  pthread_sigmask(SIG_UNBLOCK, &Ours(), nullptr);
  using Clock = std::chrono::steady_clock;
  Clock::time_point passedOn{};
  auto passOn = [&] {
    // With the stop signals blocked here too, the process's SIGTERM can only go to a thread
    // that waits for it: the library's (or it waits until the library has made that thread).
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    kill(getpid(), SIGTERM);
    passedOn = Clock::now();
  };
  for (char byte = 0; byte != 'd';) {
    // A bounded wait rather than a read that blocks: a sanitizer runtime that holds a signal back
    // until its thread next calls into it would otherwise never run the handler that fills the
    // pipe. A stop passed on that has not ended the library within 2 s is passed on again.
    pollfd ready{m_iRead, POLLIN, 0};
    const int polled = poll(&ready, 1, 250);
    if (m_bStopAsked && Clock::now() - passedOn > std::chrono::seconds(2)) passOn();
    if (polled == 0 || (polled < 0 && errno == EINTR)) continue;
    if (polled < 0) break;
    const ssize_t n = read(m_iRead, &byte, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (byte == 'h' && onReload) onReload();
    if (byte == 's' && !m_bStopAsked) {
      // Noted, then passed on to the library's own thread, which stops it as it would have.
      m_bStopAsked = true;
      passOn();
    }
  }
  server.join();
  return rc;
}

bool RequestStop(int64_t pid) {
  return kill(static_cast<pid_t>(pid), SIGTERM) == 0;
}

void SignalSelf(int what) {
  kill(getpid(), what == kSelfKill ? SIGKILL : SIGSTOP);
}

}  // namespace mailhook
