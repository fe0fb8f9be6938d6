// The RPC transport on POSIX: Unix domain stream sockets in the owner-only runtime folder.
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

#include "ipc/rpc_frame.h"
#include "ipc/rpc_internal.h"
#include "os/os_eintr.h"

using IPC::FenceAfterReceive;
using IPC::FenceBeforeSend;

namespace {

using Clock = std::chrono::steady_clock;

// One receive call's worth for headers and small frames: a request of the library fits many
// times over. Larger payloads are received straight into their buffer (CStreamReader).
constexpr size_t kReceiveChunk = 4096;
std::string ErrnoText(const char* what, int err) {
  return std::string(what) + ": " + std::strerror(err);
}

[[noreturn]] void ThrowSystem(const char* what, int err) {
  throw CRPCError(CRPCError::SYSTEM, ErrnoText(what, err));
}

// Every call that can be interrupted goes through here, so EINTR never surfaces as a failure.
using OS::RetryOnEintr;

void CheckRuntimeDir(const std::string& path) {
  // What to do about it: the same folder must serve the service and its hooks, so none other is
  // picked behind the administrator's back.
  const std::string remedy =
      "; set MAILHOOK_RUNTIME_DIR (or XDG_RUNTIME_DIR) to a folder of this user's own, the same for the "
      "service and its hooks, or have an administrator remove " +
      path;
  struct stat st;
  if (lstat(path.c_str(), &st) != 0)
    throw CRPCError(CRPCError::RUNTIME_DIR, ErrnoText(("RPC runtime folder " + path).c_str(), errno));
  if (!S_ISDIR(st.st_mode))
    throw CRPCError(CRPCError::RUNTIME_DIR, "RPC runtime folder " + path + " is not a directory" + remedy);
  if (st.st_uid != geteuid())
    throw CRPCError(CRPCError::RUNTIME_DIR, "RPC runtime folder " + path + " belongs to another user (uid " +
                                                std::to_string(st.st_uid) + ")" + remedy);
  if ((st.st_mode & 077) != 0)
    throw CRPCError(CRPCError::RUNTIME_DIR,
                    "RPC runtime folder " + path + " is open to other users" + remedy);
}

sockaddr_un SocketAddress(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof(addr.sun_path))
    throw CRPCError(CRPCError::BAD_COMPONENT, "RPC socket path too long: " + path);
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  return addr;
}

void SetTimeout(int fd, int option, std::chrono::milliseconds ms) {
  timeval tv{};
  // Zero would mean "no time-out" to the kernel.
  auto us = std::max<int64_t>(ms.count() * 1000, 1000);
  tv.tv_sec = static_cast<time_t>(us / 1000000);
  tv.tv_usec = static_cast<suseconds_t>(us % 1000000);
  if (setsockopt(fd, SOL_SOCKET, option, &tv, sizeof(tv)) != 0) ThrowSystem("setsockopt", errno);
}

// Sends a whole frame (header and payload in one call when the kernel takes it). Returns 0 or the
// errno of the failure.
int SendFrame(int fd, RpcFrameKind kind, const uint8_t* data, size_t size) {
  uint8_t header[kRpcFrameHeaderSize];
  EncodeRpcFrameHeader(header, kind, static_cast<uint32_t>(size));
  iovec iov[2] = {{header, sizeof(header)}, {const_cast<uint8_t*>(data), size}};
  int count = size ? 2 : 1;
  iovec* cur = iov;
  // What this side wrote to shared memory before the message is visible once the peer has it.
  FenceBeforeSend();
  while (count > 0) {
    msghdr msg{};
    msg.msg_iov = cur;
    msg.msg_iovlen = static_cast<decltype(msg.msg_iovlen)>(count);
    ssize_t n = RetryOnEintr([&] { return sendmsg(fd, &msg, MSG_NOSIGNAL); });
    if (n < 0) return errno;
    size_t left = static_cast<size_t>(n);
    while (count > 0 && left >= cur->iov_len) {
      left -= cur->iov_len;
      ++cur;
      --count;
    }
    if (count > 0) {
      cur->iov_base = static_cast<uint8_t*>(cur->iov_base) + left;
      cur->iov_len -= left;
    }
  }
  return 0;
}

// Feeds a socket's bytes to a frame decoder with as few copies as the stream allows: small
// frames arrive whole in one receive into a chunk; the rest of a large payload is received
// straight into the payload's own buffer.
class CStreamReader {
 public:
  // Moves the decoder on by one step: feeds the bytes left from the last receive, or receives
  // once. Returns recv's result when it received (0 at the end of the stream, -1 with errno set),
  // otherwise 1. The caller checks the decoder's status after each step and takes a ready frame
  // before the next one.
  ssize_t Step(int fd, CRpcFrameDecoder& decoder) {
    if (m_uUsed < m_uHave) {
      m_uUsed += decoder.Feed(m_Chunk.get() + m_uUsed, m_uHave - m_uUsed);
      return 1;
    }
    size_t room = 0;
    if (uint8_t* direct = decoder.PayloadSpace(room)) {
      ssize_t n = RetryOnEintr([&] { return recv(fd, direct, room, 0); });
      decoder.CommitPayload(n > 0 ? static_cast<size_t>(n) : 0);
      return n;
    }
    ssize_t n = RetryOnEintr([&] { return recv(fd, m_Chunk.get(), kReceiveChunk, 0); });
    if (n > 0) {
      m_uHave = static_cast<size_t>(n);
      m_uUsed = decoder.Feed(m_Chunk.get(), m_uHave);
    }
    return n;
  }
  // Bytes received beyond the frames fed so far.
  bool HasLeftover() const { return m_uUsed < m_uHave; }
  void Reset() { m_uHave = m_uUsed = 0; }

 private:
  std::unique_ptr<uint8_t[]> m_Chunk{new uint8_t[kReceiveChunk]};
  size_t m_uHave = 0;
  size_t m_uUsed = 0;
};

// The user's home folder: $HOME, else the one the user database names.
std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  if (home && home[0] == '/') return home;
  passwd entry{}, *found = nullptr;
  std::vector<char> buffer(16384);
  if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir)
    return found->pw_dir;
  return {};
}

// 32 hex digits from the system's random source; empty if it gives none.
std::string RandomKey() {
  unsigned char bytes[16];
  if (getrandom(bytes, sizeof(bytes), 0) != static_cast<ssize_t>(sizeof(bytes))) return {};
  static const char hex[] = "0123456789abcdef";
  std::string key;
  for (unsigned char b : bytes) key += {hex[b >> 4], hex[b & 15]};
  return key;
}

// The key in a file, if it is one (owner-only, ours, 32 hex digits); empty otherwise.
std::string ReadKey(const std::string& file) {
  int fd = RetryOnEintr([&] { return open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC); });
  if (fd < 0) return {};
  struct stat st;
  char text[33] = {};
  const bool mine =
      fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 077) == 0;
  const ssize_t n = mine ? RetryOnEintr([&] { return read(fd, text, 32); }) : -1;
  close(fd);
  if (n != 32) return {};
  for (char c : std::string_view(text, 32))
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return {};
  return std::string(text, 32);
}

// A folder name in /dev/shm that no other user can know, and so cannot take first:
// "mailhook-<uid>-<key>", the key a random number kept owner-only in ~/.mailhook/runtime-key.
// The first process of the user to look makes the key; every later one (the service and its
// hooks alike) reads the same. Throws CRPCError(RUNTIME_DIR) when the user has no home folder
// closed to others to keep it in.
std::string UnguessableShmDir(const std::string& uid) {
  const std::string remedy =
      "; set MAILHOOK_RUNTIME_DIR to a folder of this user's own, the same for the "
      "service and its hooks";
  const std::string home = HomeFolder();
  struct stat st;
  // Others who may write the home folder could put their own key (or a link) in our place.
  if (home.empty() || lstat(home.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
      (st.st_uid != geteuid() && st.st_uid != 0) || (st.st_mode & 022) != 0)
    throw CRPCError(CRPCError::RUNTIME_DIR, "no runtime folder: there is no /run/user/" + uid +
                                                ", and no home folder closed to other users (" + home +
                                                ") to keep the key of one in /dev/shm" + remedy);
  const std::string folder = home + "/.mailhook", file = folder + "/runtime-key";
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
    throw CRPCError(CRPCError::RUNTIME_DIR, ErrnoText(("create " + folder).c_str(), errno) + remedy);
  if (lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid() ||
      (st.st_mode & 077) != 0)
    throw CRPCError(CRPCError::RUNTIME_DIR,
                    folder + " must be a folder of this user's own, mode 0700" + remedy);
  std::string key = ReadKey(file);
  if (key.empty()) {
    // Written whole under a name of its own, then linked into place: a racing process either
    // links first or reads the winner's key, never half a key.
    const std::string fresh = RandomKey(),
                      draft = file + "." + std::to_string(getpid()) + "." + std::to_string(gettid());
    int fd = RetryOnEintr(
        [&] { return open(draft.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600); });
    const bool written = fd >= 0 && fresh.size() == 32 &&
                         RetryOnEintr([&] { return write(fd, fresh.data(), fresh.size()); }) == 32;
    if (fd >= 0) close(fd);
    if (written && link(draft.c_str(), file.c_str()) != 0 && errno != EEXIST) {
      unlink(draft.c_str());
      throw CRPCError(CRPCError::RUNTIME_DIR, ErrnoText(("create " + file).c_str(), errno) + remedy);
    }
    unlink(draft.c_str());
    key = ReadKey(file);
  }
  if (key.empty())
    throw CRPCError(
        CRPCError::RUNTIME_DIR,
        file + " is not a key of this user's own (32 hex digits, mode 0600)" + remedy + ", or remove it");
  return "/dev/shm/mailhook-" + uid + "-" + key;
}

}  // namespace

namespace IPC {

std::string GetRuntimeDir() {
  const char* dir = std::getenv("MAILHOOK_RUNTIME_DIR");
  if (dir && *dir) return dir;
  const char* xdg = std::getenv("XDG_RUNTIME_DIR");
  if (xdg && *xdg) return std::string(xdg) + "/mailhook";
  // A service started outside a login session has no XDG_RUNTIME_DIR, but the per-user folder
  // the system keeps in /run/user may still be there, and nobody else can make names in it.
  const std::string uid = std::to_string(geteuid());
  struct stat st;
  const std::string user = "/run/user/" + uid;
  if (lstat(user.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
      (st.st_mode & 022) == 0)
    return user + "/mailhook";
  // Every user can make names in /dev/shm: a name others can work out (the uid alone) could be
  // taken first, and the service could never start.
  return UnguessableShmDir(uid);
}

std::string PrepareRuntimeDir() {
  std::string path = GetRuntimeDir();
  if (mkdir(path.c_str(), 0700) == 0) {
    // The umask may have taken bits away; the folder must be exactly owner-only.
    if (chmod(path.c_str(), 0700) != 0) ThrowSystem("chmod runtime folder", errno);
  } else if (errno != EEXIST) {
    throw CRPCError(CRPCError::RUNTIME_DIR, ErrnoText(("create RPC runtime folder " + path).c_str(), errno));
  }
  CheckRuntimeDir(path);
  return path;
}

std::string SocketPath(const CComponentID& component) {
  return GetRuntimeDir() + "/" + ComponentFileName(component) + ".sock";
}

}  // namespace IPC

// ---------------------------------------------------------------------------------------------
// Client

struct CRPCClientHelper::Impl {
  CComponentID component;
  std::string name;
  std::string path;
  uint32_t timeoutMs;
  std::mutex lock;  // one exchange at a time
  int fd = -1;
  CRpcFrameDecoder decoder;
  CStreamReader reader;

  Impl(const CComponentID& c, const char16_t* n) : component(c), timeoutMs(IPC::RpcTimeoutMs()) {
    name = IPC::ClientName(n);
    path = IPC::SocketPath(component);
  }

  ~Impl() { Drop(); }

  void Drop() {
    if (fd >= 0) close(fd);
    fd = -1;
    decoder.Reset();
    reader.Reset();
  }

  std::string Where() const { return "RPC to " + path + (name.empty() ? std::string() : " (" + name + ")"); }

  // The caller drops the connection (SendRequest, for every failure but the handler's own).
  [[noreturn]] void Fail(CRPCError::Code code, const std::string& what) {
    throw CRPCError(code, Where() + ": " + what);
  }

  void Connect() {
    // Nobody but the user may have placed the socket the request goes to.
    std::string dir = path.substr(0, path.rfind('/'));
    struct stat st;
    if (lstat(dir.c_str(), &st) != 0 && errno == ENOENT) Fail(CRPCError::NOT_LISTENING, "no runtime folder");
    CheckRuntimeDir(dir);
    sockaddr_un addr = SocketAddress(path);
    fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) ThrowSystem("socket", errno);
    // Kernel time-outs bound every blocking call without an extra poll per call.
    SetTimeout(fd, SO_SNDTIMEO, std::chrono::milliseconds(timeoutMs));
    SetTimeout(fd, SO_RCVTIMEO, std::chrono::milliseconds(timeoutMs));
    if (RetryOnEintr([&] { return connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)); }) != 0) {
      int err = errno;
      if (err == ENOENT || err == ECONNREFUSED) Fail(CRPCError::NOT_LISTENING, "component not listening");
      if (err == EAGAIN || err == EWOULDBLOCK || err == ETIMEDOUT)
        Fail(CRPCError::TIMEOUT, "connect timed out");
      Fail(CRPCError::SYSTEM, ErrnoText("connect", err));
    }
  }

  // False when the request was not served: the connection was closed before it went out whole
  // (the server can only serve a whole frame), or the server said it closes it.
  bool Exchange(const CIPCMsgBuffer& request, CIPCMsgBuffer& reply) {
    if (request.GetSize() > kRpcMaxFramePayload)
      throw CRPCError(CRPCError::TOO_LARGE, "RPC request of " + std::to_string(request.GetSize()) + " bytes");
    if (fd < 0) Connect();
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    if (int err = SendFrame(fd, RPC_FRAME_REQUEST, request.GetData(), request.GetSize())) {
      if (err == EAGAIN || err == EWOULDBLOCK) Fail(CRPCError::TIMEOUT, "send timed out");
      if (err == EPIPE || err == ECONNRESET) return false;
      Fail(CRPCError::SYSTEM, ErrnoText("send", err));
    }
    bool shortened = false;
    while (decoder.GetStatus() == CRpcFrameDecoder::NEED_MORE) {
      ssize_t n = reader.Step(fd, decoder);
      if (n == 0) Fail(CRPCError::PEER_CLOSED, "server closed the connection during the request");
      if (n < 0) {
        int err = errno;
        if (err == EAGAIN || err == EWOULDBLOCK) Fail(CRPCError::TIMEOUT, "no reply within the time-out");
        if (err == ECONNRESET) Fail(CRPCError::PEER_CLOSED, "server reset the connection during the request");
        Fail(CRPCError::SYSTEM, ErrnoText("recv", err));
      }
      // One request, one frame back: anything after it is not this protocol.
      if (decoder.Failed() || reader.HasLeftover())
        Fail(CRPCError::PROTOCOL, "malformed reply from the server");
      if (decoder.GetStatus() == CRpcFrameDecoder::NEED_MORE) {
        // A reply in pieces: the next wait gets only what is left of the whole time-out.
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) Fail(CRPCError::TIMEOUT, "no complete reply within the time-out");
        SetTimeout(fd, SO_RCVTIMEO, left);
        shortened = true;
      }
    }
    if (shortened) SetTimeout(fd, SO_RCVTIMEO, std::chrono::milliseconds(timeoutMs));
    return IPC::TakeReply(decoder, Where(), reply);
  }
};

CRPCClientHelper::CRPCClientHelper(const CComponentID& component, const char16_t* name)
    : m_pImpl(new Impl(component, name)) {}

CRPCClientHelper::~CRPCClientHelper() {
  delete m_pImpl;
}

void CRPCClientHelper::SendRequest(const CIPCMsgBuffer& request, CIPCMsgBuffer& reply) {
  IPC::GuardedRequest(
      m_pImpl->lock, [&] { return m_pImpl->Exchange(request, reply); }, [&] { m_pImpl->Drop(); },
      [&] {
        m_pImpl->Fail(CRPCError::PEER_CLOSED,
                      "server closed the connection, twice, without serving the request");
      });
}

const CComponentID& CRPCClientHelper::GetComponent() const {
  return m_pImpl->component;
}
uint32_t CRPCClientHelper::GetTimeoutMs() const {
  return m_pImpl->timeoutMs;
}

// ---------------------------------------------------------------------------------------------
// Server

namespace {

struct Connection {
  int fd;
  CRPCPeer peer;
  std::thread thread;
  IPC::CConnectionActivity activity;
  std::atomic<bool> ended{false};  // its peer is no longer served (set before onClosed)
  std::atomic<bool> done{false};   // its thread has finished: it may be joined
};

// The process at the other end of a Unix socket; 0 if the kernel does not say.
uint32_t PeerProcess(int fd) {
  ucred cred{};
  socklen_t size = sizeof(cred);
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &size) != 0 || cred.pid <= 0) return 0;
  return static_cast<uint32_t>(cred.pid);
}

// True when the peer has closed its end (or the socket broke): nothing it sends can come any more.
bool PeerHungUp(int fd) {
  pollfd p = {fd, POLLRDHUP, 0};
  return RetryOnEintr([&] { return poll(&p, 1, 0); }) > 0 &&
         (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

}  // namespace

struct CRPCServer::Impl {
  PeerHandler handler;
  Options options;
  std::string path;
  int listenFd = -1;
  int wake[2] = {-1, -1};  // written once by Stop to wake the accept loop
  dev_t socketDev = 0;
  ino_t socketIno = 0;
  std::thread acceptThread;
  mutable std::mutex lock;  // guards connections, stopped and nextConnection
  std::list<std::unique_ptr<Connection>> connections;
  bool stopped = false;
  uint64_t nextConnection = 0;
  uint32_t timeoutMs = IPC::RpcTimeoutMs();

  void Listen(const CComponentID& component) {
    IPC::PrepareRuntimeDir();
    path = IPC::SocketPath(component);
    sockaddr_un addr = SocketAddress(path);
    RemoveStaleSocket(addr);
    listenFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd < 0) ThrowSystem("socket", errno);
    if (bind(listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
      int err = errno;
      if (err == EADDRINUSE)
        throw CRPCError(CRPCError::ALREADY_SERVED, "RPC: " + path + " is already served");
      ThrowSystem("bind", err);
    }
    // Owner-only like its folder: the folder alone would also keep others out, but a socket
    // that says so itself stays closed if the folder's mode is ever loosened.
    if (chmod(path.c_str(), 0600) != 0) ThrowSystem("chmod", errno);
    struct stat st;
    if (lstat(path.c_str(), &st) == 0) {
      socketDev = st.st_dev;
      socketIno = st.st_ino;
    }
    if (listen(listenFd, SOMAXCONN) != 0) ThrowSystem("listen", errno);
    if (pipe2(wake, O_CLOEXEC) != 0) ThrowSystem("pipe2", errno);
    acceptThread = std::thread([this] { AcceptLoop(); });
  }

  // A socket file left by a server that died is replaced; one a live server answers on is not.
  void RemoveStaleSocket(const sockaddr_un& addr) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return;
    if (!S_ISSOCK(st.st_mode))
      throw CRPCError(CRPCError::RUNTIME_DIR, "RPC: " + path + " exists and is not a socket");
    int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0) ThrowSystem("socket", errno);
    int rc =
        RetryOnEintr([&] { return connect(probe, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)); });
    int err = errno;
    close(probe);
    if (rc == 0 || err != ECONNREFUSED)
      throw CRPCError(CRPCError::ALREADY_SERVED, "RPC: " + path + " is already served");
    unlink(path.c_str());
  }

  void AcceptLoop() {
    for (;;) {
      pollfd fds[2] = {{listenFd, POLLIN, 0}, {wake[0], POLLIN, 0}};
      int rc = RetryOnEintr([&] { return poll(fds, 2, -1); });
      if (rc < 0 || fds[1].revents) return;
      int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) {
        // Out of descriptors or memory: the peer stays queued and poll would report it again at
        // once, so back off a little (still woken by Stop) instead of spinning.
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
          pollfd w = {wake[0], POLLIN, 0};
          if (RetryOnEintr([&] { return poll(&w, 1, 10); }) != 0) return;
        }
        continue;
      }
      std::lock_guard<std::mutex> guard(lock);
      ReapFinished();
      if (stopped || !MakeRoom()) {
        close(fd);
        continue;
      }
      // A peer that stops reading its replies cannot hold a thread (or Stop) for ever.
      try {
        SetTimeout(fd, SO_SNDTIMEO, std::chrono::milliseconds(timeoutMs));
      } catch (const CRPCError&) {
        close(fd);
        continue;
      }
      auto conn = std::make_unique<Connection>();
      conn->fd = fd;
      conn->peer = {++nextConnection, PeerProcess(fd)};
      Connection* raw = conn.get();
      connections.push_back(std::move(conn));
      raw->thread = std::thread([this, raw] { Serve(*raw); });
    }
  }

  // Under lock: true when a new connection may be held, after closing the one that has waited
  // longest if the limit is reached.
  bool MakeRoom() {
    size_t held = 0;
    for (auto& c : connections) held += c->ended ? 0 : 1;
    if (held < options.maxConnections) return true;
    Connection* oldest = IPC::TakeLongestWaiting(connections);
    if (oldest == nullptr) return false;
    // Its thread wakes from its wait, says why and ends; the descriptor stays until it is reaped.
    // A request sent meanwhile now fails to go out, or meets the goodbye: its client sends it
    // again on a new connection.
    shutdown(oldest->fd, SHUT_RD);
    oldest->ended = true;
    return true;
  }

  // Under lock. A connection's descriptor is closed only here, after its thread has ended, so
  // Stop can never shut down a number the system has already handed to someone else.
  void ReapFinished() {
    for (auto it = connections.begin(); it != connections.end();) {
      if ((*it)->done) {
        (*it)->thread.join();
        close((*it)->fd);
        it = connections.erase(it);
      } else {
        ++it;
      }
    }
  }

  void Serve(Connection& conn) {
    CRpcFrameDecoder decoder;
    CStreamReader reader;
    CIPCMsgBuffer request;
    CIPCMsgBuffer reply(1024, false);
    // A waiting connection may wait for its next request as long as it likes (unless it is
    // closed to make room), but a frame once begun must be whole within the time-out: a peer
    // that stops mid-frame would otherwise hold this thread and the frame's buffer for good. A
    // request that arrives in one piece (the usual case) costs no poll and one clock reading.
    bool inFrame = false, waiting = false;
    Clock::time_point frameDeadline{};
    for (;;) {
      if (decoder.InFrame() && !reader.HasLeftover()) {
        if (!inFrame) frameDeadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        inFrame = true;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(frameDeadline - Clock::now());
        pollfd in = {conn.fd, POLLIN, 0};
        if (left.count() <= 0 ||
            RetryOnEintr([&] { return poll(&in, 1, static_cast<int>(left.count())); }) <= 0)
          break;
      } else if (!decoder.InFrame() && !reader.HasLeftover() && !waiting) {
        conn.activity.Wait();
        waiting = true;
      }
      // Gone, shut down by Stop or to make room, or cut off mid-frame: nothing to answer.
      if (reader.Step(conn.fd, decoder) <= 0) break;
      if (waiting && !conn.activity.Begin()) break;
      waiting = false;
      if (decoder.Failed()) break;
      if (decoder.GetStatus() != CRpcFrameDecoder::FRAME_READY) continue;
      inFrame = false;
      if (decoder.GetKind() != RPC_FRAME_REQUEST) break;
      request.Load(decoder.TakePayload());
      FenceAfterReceive();
      std::string failure = IPC::CallHandler(handler, conn.peer, request, reply);
      // Waiting from before the reply goes out, so that a client holding its reply finds the
      // connection waiting: were it closed to make room now, the reply still goes out whole.
      if (!reader.HasLeftover()) {
        conn.activity.Wait();
        waiting = true;
      }
      if (!SendReply(conn.fd, failure, reply)) break;
    }
    // Closed to make room: whatever the peer sent is not served, and it is told so. A peer that
    // does not read holds this thread up to the send time-out at most.
    if (conn.activity.TakenForClosing()) (void)SendFrame(conn.fd, RPC_FRAME_CLOSING, nullptr, 0);
    // The peer sees the end at once; the descriptor itself stays until the thread is reaped.
    shutdown(conn.fd, SHUT_RDWR);
    conn.ended = true;
    if (options.onClosed) options.onClosed(conn.peer);
    conn.done = true;
  }

  // The handler's reply, or its failure as an error reply.
  static bool SendReply(int fd, const std::string& failure, const CIPCMsgBuffer& reply) {
    if (!failure.empty()) {
      return SendFrame(fd, RPC_FRAME_ERROR, reinterpret_cast<const uint8_t*>(failure.data()),
                       failure.size()) == 0;
    }
    return SendFrame(fd, RPC_FRAME_REPLY, reply.GetData(), reply.GetSize()) == 0;
  }

  void Stop() {
    {
      std::lock_guard<std::mutex> guard(lock);
      if (stopped) return;
      stopped = true;
    }
    if (acceptThread.joinable()) {
      char byte = 1;
      (void)RetryOnEintr([&] { return write(wake[1], &byte, 1); });
      acceptThread.join();
    }
    // No new connection can appear now. Shutting the read side wakes every thread waiting for a
    // request, while a reply being made still goes out; a send to a peer that stopped reading
    // ends at the send time-out.
    std::list<std::unique_ptr<Connection>> all;
    {
      std::lock_guard<std::mutex> guard(lock);
      for (auto& c : connections) shutdown(c->fd, SHUT_RD);
      all.swap(connections);
    }
    for (auto& c : all) {
      c->thread.join();
      close(c->fd);
    }
    Close();
  }

  void Close() {
    if (listenFd >= 0) {
      // Remove the socket file only if it is still ours: a successor may already have replaced it.
      struct stat st;
      if (lstat(path.c_str(), &st) == 0 && st.st_dev == socketDev && st.st_ino == socketIno)
        unlink(path.c_str());
      close(listenFd);
      listenFd = -1;
    }
    for (int& fd : wake) {
      if (fd >= 0) close(fd);
      fd = -1;
    }
  }
};

CRPCServer::CRPCServer(const CComponentID& component, PeerHandler handler, Options options)
    : m_pImpl(new Impl) {
  m_pImpl->handler = std::move(handler);
  m_pImpl->options = std::move(options);
  try {
    m_pImpl->Listen(component);
  } catch (...) {
    m_pImpl->Close();
    delete m_pImpl;
    throw;
  }
}

CRPCServer::~CRPCServer() {
  Stop();
  delete m_pImpl;
}

void CRPCServer::Stop() {
  m_pImpl->Stop();
}

size_t CRPCServer::GetConnectionCount() const {
  std::lock_guard<std::mutex> guard(m_pImpl->lock);
  size_t n = 0;
  for (auto& c : m_pImpl->connections) n += c->ended ? 0 : 1;
  return n;
}

bool CRPCServer::IsProcessConnected(uint32_t process) const {
  std::lock_guard<std::mutex> guard(m_pImpl->lock);
  for (auto& c : m_pImpl->connections)
    if (!c->ended && c->peer.process == process && !PeerHungUp(c->fd)) return true;
  return false;
}

const std::string& CRPCServer::GetSocketPath() const {
  return m_pImpl->path;
}
