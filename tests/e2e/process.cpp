#include "process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

Process::Process(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                 bool withStderr) {
  std::vector<std::string> envs;
  for (char** e = environ; *e; ++e) {
    std::string kv = *e;
    auto eq = kv.find('=');
    if (eq != std::string::npos && env.count(kv.substr(0, eq))) continue;
    envs.push_back(kv);
  }
  for (auto& [k, v] : env) envs.push_back(k + "=" + v);
  std::vector<char*> cargv, cenv;
  std::vector<std::string> args = argv;
  for (auto& a : args) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  for (auto& e : envs) cenv.push_back(e.data());
  cenv.push_back(nullptr);
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2");
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
  if (withStderr) posix_spawn_file_actions_adddup2(&fa, fds[1], 2);
  int rc = posix_spawn(&m_pid, args[0].c_str(), &fa, nullptr, cargv.data(), cenv.data());
  posix_spawn_file_actions_destroy(&fa);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    throw std::runtime_error("posix_spawn " + args[0] + ": " + std::strerror(rc));
  }
  m_out = fds[0];
}

Process::~Process() {
  if (!m_waited) {
    Signal(SIGKILL);
    Wait();
  }
  if (m_out >= 0) close(m_out);
}

bool Process::ReadLine(std::string& line) {
  for (;;) {
    auto pos = m_pending.find('\n');
    if (pos != std::string::npos) {
      line = m_pending.substr(0, pos);
      m_pending.erase(0, pos + 1);
      return true;
    }
    char buf[4096];
    ssize_t n = read(m_out, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (m_pending.empty()) return false;
      line.swap(m_pending);
      m_pending.clear();
      return true;
    }
    m_pending.append(buf, static_cast<size_t>(n));
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
  Signal(SIGTERM);
}

void Process::Kill() {
  Signal(SIGKILL);
}

void Process::Signal(int signal) {
  if (!m_waited) kill(m_pid, signal);
}

int Process::Wait() {
  if (!m_waited) {
    while (waitpid(m_pid, &m_status, 0) < 0 && errno == EINTR) {
    }
    m_waited = true;
  }
  return WIFEXITED(m_status) ? WEXITSTATUS(m_status) : -WTERMSIG(m_status);
}
