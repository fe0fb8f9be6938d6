// Child processes on POSIX: posix_spawn of /proc/self/exe with the child's stdout on a pipe.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <stdexcept>

#include "support/test_support.h"

extern char** environ;

namespace mhtest {

struct ChildProcess::Impl {
  pid_t pid = -1;
  int out = -1;
  int in = -1;
  int status = 0;
  bool waited = false;
  std::string pending;
};

ChildProcess::ChildProcess(const std::string& name, const std::vector<std::string>& args)
    : m_pImpl(new Impl) {
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
  if (n <= 0) throw std::runtime_error("readlink /proc/self/exe");
  self[n] = 0;
  std::vector<std::string> argv_s{self, "--child", name};
  argv_s.insert(argv_s.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_s) argv.push_back(a.data());
  argv.push_back(nullptr);

  int fds[2], ins[2];
  // A child that died before reading its input must fail the write, not kill the test.
  signal(SIGPIPE, SIG_IGN);
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2");
  if (pipe2(ins, O_CLOEXEC) != 0) throw std::runtime_error("pipe2");
  std::fflush(stdout);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
  posix_spawn_file_actions_adddup2(&fa, ins[0], 0);
  int rc = posix_spawn(&m_pImpl->pid, self, &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  close(fds[1]);
  close(ins[0]);
  m_pImpl->in = ins[1];
  if (rc != 0) {
    close(fds[0]);
    throw std::runtime_error("posix_spawn");
  }
  m_pImpl->out = fds[0];
}

ChildProcess::~ChildProcess() {
  if (!m_pImpl->waited) {
    Kill();
    Wait();
  }
  if (m_pImpl->out >= 0) close(m_pImpl->out);
  CloseInput();
  delete m_pImpl;
}

int ChildProcess::Wait() {
  if (!m_pImpl->waited) {
    while (waitpid(m_pImpl->pid, &m_pImpl->status, 0) < 0 && errno == EINTR) {
    }
    m_pImpl->waited = true;
  }
  return WIFEXITED(m_pImpl->status) ? WEXITSTATUS(m_pImpl->status) : -1;
}

void ChildProcess::Kill() {
  if (!m_pImpl->waited) kill(m_pImpl->pid, SIGKILL);
}

bool ChildProcess::WriteLine(const std::string& line) {
  std::string data = line + "\n";
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(m_pImpl->in, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void ChildProcess::CloseInput() {
  if (m_pImpl->in >= 0) close(m_pImpl->in);
  m_pImpl->in = -1;
}

std::string ChildProcess::ReadAllOutput() {
  std::string out = std::move(m_pImpl->pending);
  m_pImpl->pending.clear();
  char buf[4096];
  for (;;) {
    ssize_t n = read(m_pImpl->out, buf, sizeof(buf));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

bool ChildProcess::ReadLine(std::string& line) {
  for (;;) {
    auto pos = m_pImpl->pending.find('\n');
    if (pos != std::string::npos) {
      line = m_pImpl->pending.substr(0, pos);
      m_pImpl->pending.erase(0, pos + 1);
      return true;
    }
    char buf[4096];
    ssize_t n = read(m_pImpl->out, buf, sizeof(buf));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (m_pImpl->pending.empty()) return false;
      line = std::move(m_pImpl->pending);
      m_pImpl->pending.clear();
      return true;
    }
    m_pImpl->pending.append(buf, static_cast<size_t>(n));
  }
}

}  // namespace mhtest
