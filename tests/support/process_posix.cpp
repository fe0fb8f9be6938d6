// Processes on POSIX: posix_spawn with stdin and stdout on pipes.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "support/test_support.h"

extern char** environ;

struct Process::Impl {
  pid_t pid = -1;
  int out = -1, in = -1, status = 0;
  bool waited = false;
};

Process::Process(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                 bool withStderr)
    : m_pImpl(new Impl), m_name(argv.at(0) + (argv.size() > 1 ? " " + argv[1] : "")) {
  std::vector<std::string> envs, args = argv;
  for (char** e = environ; *e; ++e) {
    const char* eq = std::strchr(*e, '=');
    if (!eq || !env.count(std::string(*e, static_cast<size_t>(eq - *e)))) envs.push_back(*e);
  }
  for (auto& [k, v] : env) envs.push_back(k + "=" + v);
  std::vector<char*> cargv, cenv;
  for (auto& a : args) cargv.push_back(a.data());
  for (auto& e : envs) cenv.push_back(e.data());
  cargv.push_back(nullptr);
  cenv.push_back(nullptr);

  // A process that died before reading its input must fail the write, not kill the test.
  signal(SIGPIPE, SIG_IGN);
  int out[2], in[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe2");
  std::fflush(stdout);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  if (withStderr) posix_spawn_file_actions_adddup2(&fa, out[1], 2);
  posix_spawn_file_actions_adddup2(&fa, in[0], 0);
  int rc = posix_spawn(&m_pImpl->pid, args[0].c_str(), &fa, nullptr, cargv.data(), cenv.data());
  posix_spawn_file_actions_destroy(&fa);
  close(out[1]);
  close(in[0]);
  m_pImpl->out = out[0];
  m_pImpl->in = in[1];
  if (rc != 0) {
    m_pImpl->waited = true;
    throw std::runtime_error("posix_spawn " + args[0] + ": " + std::strerror(rc));
  }
}

Process::~Process() {
  Kill();
  Wait();
  close(m_pImpl->out);
  CloseInput();
}

long Process::ReadSome(char* buf, unsigned long size, Clock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd out = {m_pImpl->out, POLLIN, 0};
    const int ready = left <= 0 ? 0 : poll(&out, 1, static_cast<int>(left));
    if (ready == 0) return -1;
    if (ready < 0) continue;  // EINTR
    const ssize_t n = read(m_pImpl->out, buf, size);
    if (n >= 0 || errno != EINTR) return n < 0 ? 0 : n;
  }
}

bool Process::WriteLine(const std::string& line) {
  std::string data = line + "\n";
  for (size_t done = 0; done < data.size();) {
    ssize_t n = write(m_pImpl->in, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void Process::CloseInput() {
  if (m_pImpl->in >= 0) close(m_pImpl->in);
  m_pImpl->in = -1;
}

void Process::Signal(int signal) {
  if (!m_pImpl->waited) kill(m_pImpl->pid, signal);
}
void Process::Stop() {
  Signal(SIGTERM);
}
void Process::Kill() {
  Signal(SIGKILL);
}
int Process::Pid() const {
  return m_pImpl->pid;
}

std::optional<int> Process::ExitCode(Clock::time_point deadline) {
  // A child that has not exited is looked at again every few milliseconds: there is nothing to
  // block on with a time-out.
  while (!m_pImpl->waited) {
    const pid_t got = waitpid(m_pImpl->pid, &m_pImpl->status, WNOHANG);
    if (got == m_pImpl->pid || (got < 0 && errno != EINTR)) {
      m_pImpl->waited = true;
    } else if (Clock::now() >= deadline) {
      return std::nullopt;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  return WIFEXITED(m_pImpl->status) ? WEXITSTATUS(m_pImpl->status) : -WTERMSIG(m_pImpl->status);
}

std::string mhtest::SelfPath() {
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
  if (n <= 0) throw std::runtime_error("readlink /proc/self/exe");
  return std::string(self, static_cast<size_t>(n));
}
