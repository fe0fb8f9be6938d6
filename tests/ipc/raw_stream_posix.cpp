#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "ipc/raw_stream.h"

namespace {

sockaddr_un Address(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
  return addr;
}

class SocketStream : public RawStream {
 public:
  explicit SocketStream(int fd) : m_fd(fd) {
    timeval tv{20, 0};
    setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  }
  ~SocketStream() override { Close(); }
  bool Send(const void* data, size_t size) override {
    return send(m_fd, data, size, MSG_NOSIGNAL) == static_cast<ssize_t>(size);
  }
  long Recv(void* data, size_t size) override { return recv(m_fd, data, size, 0); }
  void Close() override {
    if (m_fd >= 0) close(m_fd);
    m_fd = -1;
  }

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

}  // namespace

std::unique_ptr<RawStream> RawStream::Connect(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr = Address(path);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    if (fd >= 0) close(fd);
    return nullptr;
  }
  return std::make_unique<SocketStream>(fd);
}

std::unique_ptr<RawListener> RawListener::Listen(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr = Address(path);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(fd, 4) != 0) {
    if (fd >= 0) close(fd);
    return nullptr;
  }
  return std::make_unique<SocketListener>(fd);
}
