// The RPC transport on POSIX: Unix domain stream sockets.
//
// A client's socket carries kernel time-outs (SO_RCVTIMEO, SO_SNDTIMEO), so that a request costs
// one sendmsg and one recv and no poll; its receive time-out is set again only when what is left
// of a deadline differs from it (a reply in pieces). A server's socket waits for a request as long
// as it likes, so it polls only once a frame has begun and a deadline runs.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "ipc/rpc_internal.h"
#include "ipc/rpc_posix.h"
#include "ipc/rpc_transport.h"
#include "os/os_eintr.h"

namespace IPC {

namespace {

using OS::RetryOnEintr;

sockaddr_un SocketAddress(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof(addr.sun_path))
    throw CRPCError(CRPCError::BAD_COMPONENT, "RPC socket path too long: " + path);
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  return addr;
}

// Milliseconds to a deadline, rounded up: 0 once it has passed.
int64_t MsLeft(Clock::time_point deadline) {
  if (deadline == kForever) return INT64_MAX;
  return std::max<int64_t>(std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count(), 0);
}

bool SetTimeout(int fd, int option, int64_t ms) {
  timeval tv{};
  // Zero would mean "no time-out" to the kernel.
  const int64_t us = std::max<int64_t>(ms * 1000, 1000);
  tv.tv_sec = static_cast<time_t>(us / 1000000);
  tv.tv_usec = static_cast<suseconds_t>(us % 1000000);
  return setsockopt(fd, SOL_SOCKET, option, &tv, sizeof(tv)) == 0;
}

class CSocketStream final : public CStream {
 public:
  // receiveTimeoutMs: the kernel receive time-out already set on fd (a client's), or 0 when reads
  // wait without one and poll for a deadline (a server's).
  CSocketStream(int fd, int64_t receiveTimeoutMs) : m_iFd(fd), m_iReceiveMs(receiveTimeoutMs) {}
  ~CSocketStream() override { close(m_iFd); }

  Io Read(uint8_t* data, size_t size, size_t& done, Clock::time_point deadline) override {
    done = 0;
    if (deadline != kForever) {
      const int64_t left = std::min<int64_t>(MsLeft(deadline), 0x7FFFFFFF);
      if (left == 0) return Io::TIMEOUT;
      if (m_iReceiveMs > 0) {
        if (left != m_iReceiveMs) {
          if (!SetTimeout(m_iFd, SO_RCVTIMEO, left)) return Fail("setsockopt", errno);
          m_iReceiveMs = left;
        }
      } else {
        pollfd in = {m_iFd, POLLIN, 0};
        const int rc = RetryOnEintr([&] { return poll(&in, 1, static_cast<int>(left)); });
        if (rc < 0) return Fail("poll", errno);
        if (rc == 0) return Io::TIMEOUT;
      }
    }
    const ssize_t n = RetryOnEintr([&] { return recv(m_iFd, data, size, 0); });
    if (n > 0) {
      done = static_cast<size_t>(n);
      return Io::DONE;
    }
    // A read side shut down by Wake ends the stream here too.
    if (n == 0) return Io::CLOSED;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return Io::TIMEOUT;
    if (errno == ECONNRESET) return Io::RESET;
    return Fail("recv", errno);
  }

  // Each sendmsg is bounded by the kernel's send time-out (the whole time-out); the deadline is
  // looked at between the pieces of a frame the socket did not take at once.
  Io Write(const uint8_t* head, size_t headSize, const uint8_t* body, size_t bodySize,
           Clock::time_point deadline) override {
    iovec iov[2] = {{const_cast<uint8_t*>(head), headSize}, {const_cast<uint8_t*>(body), bodySize}};
    int count = bodySize ? 2 : 1;
    iovec* cur = iov;
    while (count > 0) {
      msghdr msg{};
      msg.msg_iov = cur;
      msg.msg_iovlen = static_cast<decltype(msg.msg_iovlen)>(count);
      const ssize_t n = RetryOnEintr([&] { return sendmsg(m_iFd, &msg, MSG_NOSIGNAL); });
      if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) return Io::TIMEOUT;
        if (errno == EPIPE || errno == ECONNRESET) return Io::CLOSED;
        return Fail("send", errno);
      }
      size_t left = static_cast<size_t>(n);
      while (count > 0 && left >= cur->iov_len) {
        left -= cur->iov_len;
        ++cur;
        --count;
      }
      if (count > 0) {
        cur->iov_base = static_cast<uint8_t*>(cur->iov_base) + left;
        cur->iov_len -= left;
        if (MsLeft(deadline) == 0) return Io::TIMEOUT;
      }
    }
    return Io::DONE;
  }

  uint32_t PeerProcess() override {
    ucred cred{};
    socklen_t size = sizeof(cred);
    if (getsockopt(m_iFd, SOL_SOCKET, SO_PEERCRED, &cred, &size) != 0 || cred.pid <= 0) return 0;
    return static_cast<uint32_t>(cred.pid);
  }

  bool PeerHungUp() override {
    pollfd p = {m_iFd, POLLRDHUP, 0};
    return RetryOnEintr([&] { return poll(&p, 1, 0); }) > 0 &&
           (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
  }

  // The read side shut down: a waiting recv returns at once, and so does every later one, while
  // a reply being made can still go out.
  void Wake() override { shutdown(m_iFd, SHUT_RD); }

  // Shut down, not closed: the number stays ours until the stream is deleted, so a Wake or a
  // PeerHungUp that comes late can never reach a descriptor the system has handed on.
  void Close() override { shutdown(m_iFd, SHUT_RDWR); }

  const std::string& ErrorText() const override { return m_strError; }

 private:
  Io Fail(const char* what, int err) {
    m_strError = ErrnoText(what, err);
    return Io::FAILED;
  }

  int m_iFd;
  int64_t m_iReceiveMs;
  std::string m_strError;
};

class CSocketListener final : public CListener {
 public:
  CSocketListener(const std::string& path, uint32_t timeoutMs) : m_strPath(path), m_uTimeoutMs(timeoutMs) {}

  ~CSocketListener() override {
    if (m_iFd >= 0) {
      // Remove the socket file only if it is still ours: a successor may already have replaced it.
      struct stat st;
      if (lstat(m_strPath.c_str(), &st) == 0 && st.st_dev == m_uDev && st.st_ino == m_uIno)
        unlink(m_strPath.c_str());
      close(m_iFd);
    }
    for (int fd : m_Wake)
      if (fd >= 0) close(fd);
  }

  void Listen() {
    sockaddr_un addr = SocketAddress(m_strPath);
    RemoveStaleSocket(addr);
    m_iFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_iFd < 0) ThrowSystem("socket", errno);
    if (bind(m_iFd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
      int err = errno;
      if (err == EADDRINUSE)
        throw CRPCError(CRPCError::ALREADY_SERVED, "RPC: " + m_strPath + " is already served");
      ThrowSystem("bind", err);
    }
    // Owner-only like its folder: the folder alone would also keep others out, but a socket
    // that says so itself stays closed if the folder's mode is ever loosened.
    if (chmod(m_strPath.c_str(), 0600) != 0) ThrowSystem("chmod", errno);
    struct stat st;
    if (lstat(m_strPath.c_str(), &st) == 0) {
      m_uDev = st.st_dev;
      m_uIno = st.st_ino;
    }
    if (listen(m_iFd, SOMAXCONN) != 0) ThrowSystem("listen", errno);
    if (pipe2(m_Wake, O_CLOEXEC) != 0) ThrowSystem("pipe2", errno);
  }

  std::unique_ptr<CStream> Accept() override {
    for (;;) {
      pollfd fds[2] = {{m_iFd, POLLIN, 0}, {m_Wake[0], POLLIN, 0}};
      int rc = RetryOnEintr([&] { return poll(fds, 2, -1); });
      if (rc < 0 || fds[1].revents) return nullptr;
      int fd = accept4(m_iFd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) {
        // Out of descriptors or memory: the peer stays queued and poll would report it again at
        // once, so back off a little (still woken by Stop) instead of spinning.
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
          pollfd w = {m_Wake[0], POLLIN, 0};
          if (RetryOnEintr([&] { return poll(&w, 1, 10); }) != 0) return nullptr;
        }
        continue;
      }
      // A peer that stops reading its replies cannot hold a thread (or Stop) for ever.
      if (!SetTimeout(fd, SO_SNDTIMEO, m_uTimeoutMs)) {
        close(fd);
        continue;
      }
      return std::make_unique<CSocketStream>(fd, 0);
    }
  }

  void Stop() override {
    char byte = 1;
    (void)RetryOnEintr([&] { return write(m_Wake[1], &byte, 1); });
  }

 private:
  // A socket file left by a server that died is replaced; one a live server answers on is not.
  void RemoveStaleSocket(const sockaddr_un& addr) {
    struct stat st;
    if (lstat(m_strPath.c_str(), &st) != 0) return;
    if (!S_ISSOCK(st.st_mode))
      throw CRPCError(CRPCError::RUNTIME_DIR, "RPC: " + m_strPath + " exists and is not a socket");
    int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0) ThrowSystem("socket", errno);
    int rc =
        RetryOnEintr([&] { return connect(probe, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)); });
    int err = errno;
    close(probe);
    if (rc == 0 || err != ECONNREFUSED)
      throw CRPCError(CRPCError::ALREADY_SERVED, "RPC: " + m_strPath + " is already served");
    unlink(m_strPath.c_str());
  }

  std::string m_strPath;
  uint32_t m_uTimeoutMs;
  int m_iFd = -1;
  int m_Wake[2] = {-1, -1};  // written once by Stop to wake Accept
  dev_t m_uDev = 0;
  ino_t m_uIno = 0;
};

}  // namespace

std::unique_ptr<CStream> Connect(const std::string& path, uint32_t timeoutMs, const std::string& where) {
  auto fail = [&](CRPCError::Code code, const std::string& what) {
    throw CRPCError(code, where + ": " + what);
  };
  // Nobody but the user may have placed the socket the request goes to.
  std::string dir = path.substr(0, path.rfind('/'));
  struct stat st;
  if (lstat(dir.c_str(), &st) != 0 && errno == ENOENT) fail(CRPCError::NOT_LISTENING, "no runtime folder");
  CheckRuntimeDir(dir);
  sockaddr_un addr = SocketAddress(path);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) ThrowSystem("socket", errno);
  auto stream = std::make_unique<CSocketStream>(fd, timeoutMs);
  // Kernel time-outs bound every blocking call without an extra poll per call.
  if (!SetTimeout(fd, SO_SNDTIMEO, timeoutMs) || !SetTimeout(fd, SO_RCVTIMEO, timeoutMs))
    ThrowSystem("setsockopt", errno);
  if (RetryOnEintr([&] { return connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)); }) != 0) {
    int err = errno;
    if (err == ENOENT || err == ECONNREFUSED) fail(CRPCError::NOT_LISTENING, "component not listening");
    if (err == EAGAIN || err == EWOULDBLOCK || err == ETIMEDOUT)
      fail(CRPCError::TIMEOUT, "connect timed out");
    fail(CRPCError::SYSTEM, ErrnoText("connect", err));
  }
  return stream;
}

std::unique_ptr<CListener> Listen(const std::string& path, uint32_t timeoutMs) {
  auto listener = std::make_unique<CSocketListener>(path, timeoutMs);
  listener->Listen();
  return listener;
}

}  // namespace IPC
