#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <string>
#include <vector>

#include "service_child.h"

extern char** environ;

namespace mailhook {

struct ServiceChild::Impl {
  pid_t pid = -1;
  int out = -1;
  int status = -1;
};

ServiceChild::ServiceChild(const std::filesystem::path& workDir, const std::vector<std::string>& serviceArgs)
    : m_pImpl(new Impl) {
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) {
    delete m_pImpl;
    throw std::runtime_error("cannot find this program");
  }
  self[n] = 0;
  std::vector<std::string> args{self, "service", "--dir", workDir.string(), "--quiet"};
  args.insert(args.end(), serviceArgs.begin(), serviceArgs.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    delete m_pImpl;
    throw std::runtime_error("pipe");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  int rc = posix_spawn(&m_pImpl->pid, self, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    delete m_pImpl;
    throw std::runtime_error("cannot start the service");
  }
  m_pImpl->out = fds[0];
}

ServiceChild::~ServiceChild() {
  Stop();
  if (m_pImpl->out >= 0) close(m_pImpl->out);
  delete m_pImpl;
}

bool ServiceChild::WaitReady() {
  std::string line;
  char c;
  for (;;) {
    ssize_t n = read(m_pImpl->out, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    if (c == '\n') {
      if (line == "ready") return true;
      line.clear();
    } else {
      line.push_back(c);
    }
  }
}

int ServiceChild::Stop() {
  if (m_pImpl->pid <= 0) return m_pImpl->status;
  kill(m_pImpl->pid, SIGTERM);
  int status = 0;
  while (waitpid(m_pImpl->pid, &status, 0) < 0 && errno == EINTR) {
  }
  m_pImpl->pid = -1;
  m_pImpl->status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return m_pImpl->status;
}

}  // namespace mailhook
