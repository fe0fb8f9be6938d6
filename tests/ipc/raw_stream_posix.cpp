#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "ipc/raw_stream.h"

namespace {

class SocketStream : public RawStream {
 public:
  explicit SocketStream(int fd) : m_fd(fd) {
    timeval tv{20, 0};
    setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  }
  ~SocketStream() override { close(m_fd); }
  bool Send(const void* data, size_t size) override {
    return send(m_fd, data, size, MSG_NOSIGNAL) == static_cast<ssize_t>(size);
  }
  long Recv(void* data, size_t size) override { return recv(m_fd, data, size, 0); }

 private:
  int m_fd;
};

class SocketListener : public RawListener {
 public:
  explicit SocketListener(int fd) : m_fd(fd) {}
  ~SocketListener() override { close(m_fd); }
  std::unique_ptr<RawStream> Accept() override {
    int fd = accept(m_fd, nullptr, nullptr);
    return fd < 0 ? nullptr : std::make_unique<SocketStream>(fd);
  }

 private:
  int m_fd;
};

// A socket connected to path, or bound to it and listening; -1 (errno kept) if that fails.
int Socket(const std::string& path, bool listening) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
  auto* a = reinterpret_cast<sockaddr*>(&addr);
  if (fd < 0 ||
      (listening ? bind(fd, a, sizeof addr) == 0 && listen(fd, 4) == 0 : connect(fd, a, sizeof addr) == 0))
    return fd;
  const int error = errno;
  close(fd);
  errno = error;
  return -1;
}

}  // namespace

std::unique_ptr<RawStream> RawStream::Connect(const std::string& path) {
  const int fd = Socket(path, false);
  return fd < 0 ? nullptr : std::make_unique<SocketStream>(fd);
}

std::unique_ptr<RawListener> RawListener::Listen(const std::string& path) {
  const int fd = Socket(path, true);
  return fd < 0 ? nullptr : std::make_unique<SocketListener>(fd);
}
