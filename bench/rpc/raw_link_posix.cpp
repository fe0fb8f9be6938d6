#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

#include "ipc/rpc.h"
#include "raw_link.h"

extern char** environ;

namespace rawlink {

namespace {

sockaddr_un Address(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
  return addr;
}

bool ReadFd(int fd, void* data, size_t size) {
  auto* p = static_cast<uint8_t*>(data);
  while (size) {
    ssize_t n = recv(fd, p, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool WriteFd(int fd, const void* data, size_t size) {
  auto* p = static_cast<const uint8_t*>(data);
  while (size) {
    ssize_t n = send(fd, p, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

void Serve(int fd) {
  uint32_t sizes[2];
  if (ReadFd(fd, sizes, sizeof(sizes))) {
    std::vector<uint8_t> in(sizes[0]), out(sizes[1], 0x5A);
    while (ReadFd(fd, in.data(), in.size()) && WriteFd(fd, out.data(), out.size())) {
    }
  }
  close(fd);
}

}  // namespace

std::string UseFreshRuntimeDir() {
  char dirTemplate[] = "/tmp/mailhook-bench-XXXXXX";
  if (!mkdtemp(dirTemplate)) return {};
  std::string runtime = std::string(dirTemplate) + "/run";
  setenv("MAILHOOK_RUNTIME_DIR", runtime.c_str(), 1);
  return dirTemplate;
}

void RemoveDir(const std::string& dir) {
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}

std::string Endpoint() {
  return IPC::GetRuntimeDir() + "/raw.sock";
}

bool ListenInBackground() {
  std::string path = Endpoint();
  unlink(path.c_str());
  int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr = Address(path);
  if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(listener, 16) != 0)
    return false;
  std::thread([listener] {
    for (;;) {
      int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) std::thread(Serve, fd).detach();
    }
  }).detach();
  return true;
}

Connection::~Connection() {
  if (m_handle >= 0) close(static_cast<int>(m_handle));
}

bool Connection::Open(const std::string& endpoint) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr = Address(endpoint);
  m_handle = fd;
  return fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
}

bool Connection::WriteExact(const void* data, size_t size) {
  return WriteFd(static_cast<int>(m_handle), data, size);
}

bool Connection::ReadExact(void* data, size_t size) {
  return ReadFd(static_cast<int>(m_handle), data, size);
}

ServingChild::ServingChild(const char* argv0) {
  int fds[2];
  if (pipe(fds) != 0) return;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
  posix_spawn_file_actions_addclose(&fa, fds[0]);
  char serveArg[] = "--serve";
  std::string self = argv0;
  char* childArgv[] = {self.data(), serveArg, nullptr};
  pid_t child = -1;
  int rc = posix_spawn(&child, "/proc/self/exe", &fa, nullptr, childArgv, environ);
  posix_spawn_file_actions_destroy(&fa);
  close(fds[1]);
  if (rc == 0) {
    m_process = child;
    // Wait for the server's "ready" line (or its end, if it failed).
    std::string line;
    char c = 0;
    while (read(fds[0], &c, 1) == 1 && c != '\n') line.push_back(c);
    m_bReady = line == "ready";
  }
  close(fds[0]);
}

ServingChild::~ServingChild() {
  if (m_process > 0) {
    kill(static_cast<pid_t>(m_process), SIGKILL);
    waitpid(static_cast<pid_t>(m_process), nullptr, 0);
  }
}

}  // namespace rawlink
