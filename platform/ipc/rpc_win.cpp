// The RPC transport on Windows: one named pipe per component and user, byte mode, overlapped I/O.
//
// Every wait is on an event with a time-out (or, on the server, also on the stop event), and an
// operation that is given up is cancelled with CancelIoEx and waited for, so no call can hang and no
// buffer is written after its owner has moved on.
#include "win32/win32.h"  // <windows.h> with the project's macros
// clang-format off
#include <sddl.h>
#include <aclapi.h>
// clang-format on

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include "ipc/rpc_frame.h"
#include "ipc/rpc_internal.h"

using IPC::FenceAfterReceive;
using IPC::FenceBeforeSend;

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kReceiveChunk = 4096;
// The pipe's own buffers: a library request fits many times over; larger frames stream through.
constexpr DWORD kPipeBuffer = 64 * 1024;

std::string Narrow(const wchar_t* w, size_t n) {
  if (n == 0) return {};
  int len = WideCharToMultiByte(CP_UTF8, 0, w, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(std::max(len, 0)), '\0');
  if (len > 0) WideCharToMultiByte(CP_UTF8, 0, w, static_cast<int>(n), out.data(), len, nullptr, nullptr);
  return out;
}

std::wstring Widen(const std::string& s) {
  if (s.empty()) return {};
  int len = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(std::max(len, 0)), L'\0');
  if (len > 0) MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), len);
  return out;
}

std::string ErrorText(const char* what, DWORD err) {
  return std::string(what) + ": Win32 error " + std::to_string(err);
}

[[noreturn]] void ThrowSystem(const char* what, DWORD err) {
  throw CRPCError(CRPCError::SYSTEM, ErrorText(what, err));
}

struct HandleCloser {
  void operator()(HANDLE h) const {
    if (h && h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
  }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

UniqueHandle NewEvent() {
  HANDLE h = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!h) ThrowSystem("CreateEventW", GetLastError());
  return UniqueHandle(h);
}

// The user a process runs as, as SID text ("S-1-5-21-..."); empty if it cannot be read (the
// process is gone, or belongs to someone we may not look at).
std::wstring ProcessUser(HANDLE process) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(process, TOKEN_QUERY, &token)) return {};
  UniqueHandle owned(token);
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::unique_ptr<BYTE[]> buf(new BYTE[size ? size : 1]);
  LPWSTR text = nullptr;
  if (!GetTokenInformation(token, TokenUser, buf.get(), size, &size) ||
      !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buf.get())->User.Sid, &text))
    return {};
  std::wstring out(text);
  LocalFree(text);
  return out;
}

// This process's user: it names the user in pipe names and is granted the only access besides
// SYSTEM. Read once; a process does not change user.
const std::wstring& UserSid() {
  static const std::wstring sid = [] {
    std::wstring user = ProcessUser(GetCurrentProcess());
    if (user.empty()) ThrowSystem("read the process user", GetLastError());
    return user;
  }();
  return sid;
}

// A security descriptor admitting only the user and SYSTEM (protected: nothing inherited from
// above). inherit: folders pass it on to the files made in them.
struct SecurityDescriptor {
  explicit SecurityDescriptor(bool inherit) {
    std::wstring flags = inherit ? L"OICI" : L"";
    std::wstring sddl =
        L"O:" + UserSid() + L"D:P(A;" + flags + L";GA;;;SY)(A;" + flags + L";GA;;;" + UserSid() + L")";
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &m_pSd, nullptr))
      ThrowSystem("ConvertStringSecurityDescriptorToSecurityDescriptorW", GetLastError());
    m_Attributes.nLength = sizeof(m_Attributes);
    m_Attributes.lpSecurityDescriptor = m_pSd;
    m_Attributes.bInheritHandle = FALSE;
  }
  ~SecurityDescriptor() { LocalFree(m_pSd); }
  SecurityDescriptor(const SecurityDescriptor&) = delete;
  SecurityDescriptor& operator=(const SecurityDescriptor&) = delete;
  SECURITY_ATTRIBUTES* Get() { return &m_Attributes; }

 private:
  PSECURITY_DESCRIPTOR m_pSd = nullptr;
  SECURITY_ATTRIBUTES m_Attributes{};
};

std::wstring EnvW(const wchar_t* name) {
  const wchar_t* v = _wgetenv(name);
  return v ? std::wstring(v) : std::wstring();
}

// The runtime folder named by MAILHOOK_RUNTIME_DIR, reduced to 16 hex digits (FNV-1a): it keeps
// two test or service sets with their own folders apart on the pipe namespace as well.
std::string FolderTag(const std::wstring& folder) {
  uint64_t h = 1469598103934665603ull;
  for (wchar_t c : folder) {
    h ^= static_cast<uint16_t>(c);
    h *= 1099511628211ull;
  }
  static const char hex[] = "0123456789abcdef";
  std::string out(16, '0');
  for (int i = 15; i >= 0; --i, h >>= 4) out[static_cast<size_t>(i)] = hex[h & 15];
  return out;
}

// How an overlapped transfer ended.
enum class Io { DONE, CLOSED, TIMEOUT, STOPPED, FAILED };

Io Classify(DWORD err) {
  switch (err) {
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA:
    case ERROR_PIPE_NOT_CONNECTED:
    case ERROR_NETNAME_DELETED:
      return Io::CLOSED;
    default:
      return Io::FAILED;
  }
}

// One pipe end and the event its transfers complete on. Not thread-safe: one transfer at a time.
class CPipe {
 public:
  explicit CPipe(HANDLE h) : m_Handle(h), m_Event(NewEvent()) {}
  HANDLE Get() const { return m_Handle.get(); }
  DWORD LastError() const { return m_uError; }

  // One ReadFile or WriteFile, waited for until it completes, waitMs passes (INFINITE: never) or
  // stop is signalled (may be null). A transfer that completed despite a time-out counts.
  Io Transfer(bool write, void* data, DWORD size, DWORD waitMs, HANDLE stop, DWORD& done) {
    done = 0;
    // ReadFile and WriteFile reset the event themselves. One that completes at once (data already
    // there, room in the pipe: the common case) is taken without a wait, which costs a round trip
    // to the Wine server per call under Wine.
    OVERLAPPED ov{};
    ov.hEvent = m_Event.get();
    BOOL ok = write ? WriteFile(Get(), data, size, nullptr, &ov) : ReadFile(Get(), data, size, nullptr, &ov);
    if (ok) return GetOverlappedResult(Get(), &ov, &done, FALSE) ? Io::DONE : Fail(GetLastError());
    if (GetLastError() != ERROR_IO_PENDING) return Fail(GetLastError());
    HANDLE waits[2] = {ov.hEvent, stop};
    DWORD w = WaitForMultipleObjects(stop ? 2 : 1, waits, FALSE, waitMs);
    if (w != WAIT_OBJECT_0) CancelIoEx(Get(), &ov);
    // Waits for the cancellation too: the buffer and the OVERLAPPED must outlive the operation.
    if (GetOverlappedResult(Get(), &ov, &done, TRUE)) return Io::DONE;
    DWORD err = GetLastError();
    if (err == ERROR_OPERATION_ABORTED) return w == WAIT_OBJECT_0 + 1 ? Io::STOPPED : Io::TIMEOUT;
    return Fail(err);
  }

  // Writes a whole frame within waitMs.
  Io SendFrame(RpcFrameKind kind, const uint8_t* data, size_t size, DWORD waitMs) {
    uint8_t header[kRpcFrameHeaderSize];
    EncodeRpcFrameHeader(header, kind, static_cast<uint32_t>(size));
    // Small frames go in one write, so the peer is woken once.
    std::vector<uint8_t> joined;
    const uint8_t* parts[2] = {header, data};
    size_t sizes[2] = {sizeof(header), size};
    int count = 2;
    if (size <= kReceiveChunk) {
      joined.assign(header, header + sizeof(header));
      joined.insert(joined.end(), data, data + size);
      parts[0] = joined.data();
      sizes[0] = joined.size();
      count = 1;
    }
    FenceBeforeSend();
    auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    for (int i = 0; i < count; ++i) {
      size_t sent = 0;
      while (sent < sizes[i]) {
        DWORD chunk = static_cast<DWORD>(std::min<size_t>(sizes[i] - sent, 1u << 20));
        DWORD done = 0;
        Io r = Transfer(true, const_cast<uint8_t*>(parts[i]) + sent, chunk, Left(deadline), nullptr, done);
        if (r != Io::DONE) return r;
        sent += done;
      }
    }
    return Io::DONE;
  }

  // Moves the decoder on by one step, as CStreamReader does for sockets: feeds bytes left from
  // the last read, or reads once (into the payload's own buffer when one is being received).
  Io Step(CRpcFrameDecoder& decoder, DWORD waitMs, HANDLE stop) {
    if (m_uUsed < m_uHave) {
      m_uUsed += decoder.Feed(m_Chunk.get() + m_uUsed, m_uHave - m_uUsed);
      return Io::DONE;
    }
    size_t room = 0;
    DWORD done = 0;
    if (uint8_t* direct = decoder.PayloadSpace(room)) {
      Io r =
          Transfer(false, direct, static_cast<DWORD>(std::min<size_t>(room, 1u << 20)), waitMs, stop, done);
      decoder.CommitPayload(r == Io::DONE ? done : 0);
      return r;
    }
    Io r = Transfer(false, m_Chunk.get(), kReceiveChunk, waitMs, stop, done);
    if (r == Io::DONE) {
      m_uHave = done;
      m_uUsed = decoder.Feed(m_Chunk.get(), m_uHave);
    }
    return r;
  }
  bool HasLeftover() const { return m_uUsed < m_uHave; }
  void Close() { m_Handle.reset(); }

  static DWORD Left(Clock::time_point deadline) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<DWORD>(std::clamp<int64_t>(ms, 0, 0x7FFFFFFF));
  }

 private:
  Io Fail(DWORD err) {
    m_uError = err;
    return Classify(err);
  }

  UniqueHandle m_Handle;
  UniqueHandle m_Event;
  DWORD m_uError = 0;
  std::unique_ptr<uint8_t[]> m_Chunk{new uint8_t[kReceiveChunk]};
  size_t m_uHave = 0;
  size_t m_uUsed = 0;
};

}  // namespace

namespace IPC {

std::string GetRuntimeDir() {
  std::wstring dir = EnvW(L"MAILHOOK_RUNTIME_DIR");
  if (!dir.empty()) return Narrow(dir.data(), dir.size());
  std::wstring base = EnvW(L"LOCALAPPDATA");
  if (base.empty()) {
    wchar_t temp[MAX_PATH + 1];
    DWORD n = GetTempPathW(MAX_PATH + 1, temp);
    base.assign(temp, n);
    while (!base.empty() && (base.back() == L'\\' || base.back() == L'/')) base.pop_back();
  }
  return Narrow(base.data(), base.size()) + "\\mailhook";
}

std::string PrepareRuntimeDir() {
  std::string path = GetRuntimeDir();
  std::wstring wpath = Widen(path);
  // Created owner-only, and passing that on: backing files made here with no security attributes
  // of their own inherit it.
  SecurityDescriptor sd(true);
  if (!CreateDirectoryW(wpath.c_str(), sd.Get()) && GetLastError() != ERROR_ALREADY_EXISTS)
    throw CRPCError(CRPCError::RUNTIME_DIR,
                    ErrorText(("create RPC runtime folder " + path).c_str(), GetLastError()));
  DWORD attributes = GetFileAttributesW(wpath.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES)
    throw CRPCError(CRPCError::RUNTIME_DIR,
                    ErrorText(("RPC runtime folder " + path).c_str(), GetLastError()));
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
    throw CRPCError(CRPCError::RUNTIME_DIR, "RPC runtime folder " + path + " is not a directory");
  // A junction or symbolic link could lead anywhere, as on POSIX.
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
    throw CRPCError(CRPCError::RUNTIME_DIR, "RPC runtime folder " + path + " is a link");
  return path;
}

std::string SocketPath(const CComponentID& component) {
  std::string id = ComponentFileName(component);
  std::wstring dir = EnvW(L"MAILHOOK_RUNTIME_DIR");
  std::wstring sid = UserSid();
  std::string name = "\\\\.\\pipe\\mailhook-" + Narrow(sid.data(), sid.size());
  if (!dir.empty()) name += "-" + FolderTag(dir);
  return name + "-" + id;
}

}  // namespace IPC

// ---------------------------------------------------------------------------------------------
// Client

struct CRPCClientHelper::Impl {
  CComponentID component;
  std::string name;
  std::string path;
  std::wstring pipeName;
  uint32_t timeoutMs;
  std::mutex lock;  // one exchange at a time
  std::unique_ptr<CPipe> pipe;
  CRpcFrameDecoder decoder;

  Impl(const CComponentID& c, const char16_t* n) : component(c), timeoutMs(IPC::RpcTimeoutMs()) {
    name = IPC::ClientName(n);
    path = IPC::SocketPath(component);
    pipeName = Widen(path);
  }

  void Drop() {
    pipe.reset();
    decoder.Reset();
  }

  std::string Where() const { return "RPC to " + path + (name.empty() ? std::string() : " (" + name + ")"); }

  [[noreturn]] void Fail(CRPCError::Code code, const std::string& what) {
    throw CRPCError(code, Where() + ": " + what);
  }

  void Connect() {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      // Identification only: the service learns who we are but cannot act as us.
      HANDLE h = CreateFileW(pipeName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
      if (h != INVALID_HANDLE_VALUE) {
        pipe = std::make_unique<CPipe>(h);
        CheckServerUser();
        return;
      }
      DWORD err = GetLastError();
      if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND)
        Fail(CRPCError::NOT_LISTENING, "component not listening");
      if (err != ERROR_PIPE_BUSY) Fail(CRPCError::SYSTEM, ErrorText("open pipe", err));
      // Every instance is taken until the server puts out the next one.
      DWORD left = CPipe::Left(deadline);
      if (left == 0) Fail(CRPCError::TIMEOUT, "connect timed out");
      if (!WaitNamedPipeW(pipeName.c_str(), left) && GetLastError() == ERROR_SEM_TIMEOUT)
        Fail(CRPCError::TIMEOUT, "connect timed out");
    }
  }

  // The counterpart of the socket's owner-only folder: a pipe of this name made by another user
  // before our service (which the first-instance flag then keeps out) must not get our requests.
  void CheckServerUser() {
    ULONG pid = 0;
    if (!GetNamedPipeServerProcessId(pipe->Get(), &pid))
      Fail(CRPCError::SYSTEM, ErrorText("pipe server", GetLastError()));
    UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process || ProcessUser(process.get()) != UserSid())
      Fail(CRPCError::RUNTIME_DIR, "the pipe is served by another user's process");
  }

  // False when the request was not served: the connection was closed before it went out whole
  // (the server can only serve a whole frame), or the server said it closes it.
  bool Exchange(const CIPCMsgBuffer& request, CIPCMsgBuffer& reply) {
    if (request.GetSize() > kRpcMaxFramePayload)
      throw CRPCError(CRPCError::TOO_LARGE, "RPC request of " + std::to_string(request.GetSize()) + " bytes");
    if (!pipe) Connect();
    switch (pipe->SendFrame(RPC_FRAME_REQUEST, request.GetData(), request.GetSize(), timeoutMs)) {
      case Io::DONE:
        break;
      case Io::TIMEOUT:
        Fail(CRPCError::TIMEOUT, "send timed out");
      case Io::CLOSED:
        return false;
      default:
        Fail(CRPCError::SYSTEM, ErrorText("send", pipe->LastError()));
    }
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (decoder.GetStatus() == CRpcFrameDecoder::NEED_MORE) {
      switch (pipe->Step(decoder, CPipe::Left(deadline), nullptr)) {
        case Io::DONE:
          break;
        case Io::TIMEOUT:
          Fail(CRPCError::TIMEOUT, "no complete reply within the time-out");
        case Io::CLOSED:
          Fail(CRPCError::PEER_CLOSED, "server closed the connection during the request");
        default:
          Fail(CRPCError::SYSTEM, ErrorText("receive", pipe->LastError()));
      }
      // One request, one frame back: anything after it is not this protocol.
      if (decoder.Failed() || pipe->HasLeftover())
        Fail(CRPCError::PROTOCOL, "malformed reply from the server");
    }
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
  explicit Connection(HANDLE h) : pipe(h), wake(NewEvent()) {}
  CPipe pipe;  // closed under the server's lock, so that it can be looked at under it
  // Set to end the connection's wait for a request (Stop, or to make room). An event rather
  // than a cancelled read: it also ends a wait that has not begun yet.
  UniqueHandle wake;
  CRPCPeer peer;
  std::thread thread;
  IPC::CConnectionActivity activity;
  std::atomic<bool> ended{false};  // its peer is no longer served (set before onClosed)
  std::atomic<bool> done{false};   // its thread has finished: it may be joined
};

// The process at the other end of a server's pipe instance; 0 if the system does not say.
uint32_t PeerProcess(HANDLE pipe) {
  ULONG pid = 0;
  return GetNamedPipeClientProcessId(pipe, &pid) ? static_cast<uint32_t>(pid) : 0;
}

// True when the client has closed its end: nothing it sends can come any more.
bool PeerHungUp(HANDLE pipe) {
  DWORD available = 0;
  if (PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) return false;
  const DWORD err = GetLastError();
  return err == ERROR_BROKEN_PIPE || err == ERROR_PIPE_NOT_CONNECTED || err == ERROR_NO_DATA;
}

}  // namespace

struct CRPCServer::Impl {
  PeerHandler handler;
  Options options;
  std::string path;
  std::wstring pipeName;
  std::unique_ptr<SecurityDescriptor> security;
  UniqueHandle stopEvent;
  std::atomic<bool> stopping{false};      // read by connections between requests
  HANDLE pending = INVALID_HANDLE_VALUE;  // the instance waiting for the next client
  std::thread acceptThread;
  mutable std::mutex lock;  // guards connections, their pipes' closing, stopped and nextConnection
  std::list<std::unique_ptr<Connection>> connections;
  bool stopped = false;
  uint64_t nextConnection = 0;
  uint32_t timeoutMs = IPC::RpcTimeoutMs();

  // first: only the first instance may claim the name, so a process that got there before the
  // service (or a second service) cannot be joined by ours.
  HANDLE NewInstance(bool first) {
    DWORD open = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    DWORD mode = PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;
    return CreateNamedPipeW(pipeName.c_str(), open, mode, PIPE_UNLIMITED_INSTANCES, kPipeBuffer, kPipeBuffer,
                            0, security->Get());
  }

  void Listen(const CComponentID& component) {
    IPC::PrepareRuntimeDir();
    path = IPC::SocketPath(component);
    pipeName = Widen(path);
    security = std::make_unique<SecurityDescriptor>(false);
    stopEvent = NewEvent();
    // FILE_FLAG_FIRST_PIPE_INSTANCE is what keeps the name ours on Windows. Wine creates the
    // instance anyway, so a live server is also looked for first (as the socket transport probes
    // a socket file): a server that answers or has every instance busy holds the name.
    HANDLE probe =
        CreateFileW(pipeName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD probeErr = probe == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    if (probe != INVALID_HANDLE_VALUE) ::CloseHandle(probe);
    if (probe != INVALID_HANDLE_VALUE || probeErr == ERROR_PIPE_BUSY || probeErr == ERROR_ACCESS_DENIED)
      throw CRPCError(CRPCError::ALREADY_SERVED, "RPC: " + path + " is already served");
    pending = NewInstance(true);
    if (pending == INVALID_HANDLE_VALUE) {
      DWORD err = GetLastError();
      if (err == ERROR_ACCESS_DENIED || err == ERROR_PIPE_BUSY)
        throw CRPCError(CRPCError::ALREADY_SERVED, "RPC: " + path + " is already served");
      ThrowSystem("CreateNamedPipeW", err);
    }
    acceptThread = std::thread([this] { AcceptLoop(); });
  }

  // False when stopped while waiting.
  bool Pause(DWORD ms) { return WaitForSingleObject(stopEvent.get(), ms) == WAIT_TIMEOUT; }

  void AcceptLoop() {
    UniqueHandle event;
    try {
      event = NewEvent();
    } catch (const CRPCError&) {
      return;
    }
    for (;;) {
      if (pending == INVALID_HANDLE_VALUE) {
        // Out of handles or memory: back off a little (still woken by Stop) instead of spinning.
        pending = NewInstance(false);
        if (pending == INVALID_HANDLE_VALUE) {
          if (!Pause(10)) return;
          continue;
        }
      }
      OVERLAPPED ov{};
      ov.hEvent = event.get();
      ResetEvent(ov.hEvent);
      bool connected = ConnectNamedPipe(pending, &ov) != FALSE;
      DWORD err = connected ? 0 : GetLastError();
      if (err == ERROR_PIPE_CONNECTED) {
        connected = true;
      } else if (err == ERROR_IO_PENDING) {
        HANDLE waits[2] = {ov.hEvent, stopEvent.get()};
        DWORD w = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
        if (w != WAIT_OBJECT_0) CancelIoEx(pending, &ov);
        DWORD unused = 0;
        connected = GetOverlappedResult(pending, &ov, &unused, TRUE) != FALSE;
        if (w != WAIT_OBJECT_0 && !connected) break;
      }
      if (!connected) {
        // A client that came and went before we saw it: make the instance ready for the next one.
        DisconnectNamedPipe(pending);
        if (!Pause(1)) break;
        continue;
      }
      // The next instance comes before this one is handed on: should this client leave and its
      // instance close at once, the name must not vanish (a client would take that for no server).
      HANDLE h = pending;
      pending = NewInstance(false);
      std::lock_guard<std::mutex> guard(lock);
      ReapFinished();
      if (stopped || !MakeRoom()) {
        ::CloseHandle(h);
        if (stopped) break;
        continue;
      }
      std::unique_ptr<Connection> conn;
      try {
        conn = std::make_unique<Connection>(h);
      } catch (const CRPCError&) {
        ::CloseHandle(h);
        continue;
      }
      conn->peer = {++nextConnection, PeerProcess(h)};
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
    SetEvent(oldest->wake.get());
    oldest->ended = true;
    return true;
  }

  // Under lock.
  void ReapFinished() {
    for (auto it = connections.begin(); it != connections.end();) {
      if ((*it)->done) {
        (*it)->thread.join();
        it = connections.erase(it);
      } else {
        ++it;
      }
    }
  }

  void Serve(Connection& conn) {
    CRpcFrameDecoder decoder;
    CIPCMsgBuffer request;
    CIPCMsgBuffer reply(1024, false);
    bool inFrame = false, waiting = false;
    Clock::time_point frameDeadline;
    for (;;) {
      // A waiting connection waits for ever (woken by Stop, or to make room); a frame once begun
      // must be complete within the time-out, or a peer sending a byte now and then would hold a
      // thread for good.
      DWORD wait = INFINITE;
      if (decoder.InFrame()) {
        if (!inFrame) frameDeadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        inFrame = true;
        wait = CPipe::Left(frameDeadline);
      } else {
        inFrame = false;
        if (!conn.pipe.HasLeftover() && !waiting) {
          conn.activity.Wait();
          waiting = true;
        }
      }
      // A read that completes at once never waits on the stop event: a client sending request
      // after request must not keep its connection past Stop.
      if (stopping || conn.pipe.Step(decoder, wait, conn.wake.get()) != Io::DONE) break;
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
      if (!conn.pipe.HasLeftover()) {
        conn.activity.Wait();
        waiting = true;
      }
      // The reply still goes out when Stop came meanwhile; a peer that does not read it holds
      // this thread (and Stop) up to the time-out at most.
      Io sent = failure.empty()
                    ? conn.pipe.SendFrame(RPC_FRAME_REPLY, reply.GetData(), reply.GetSize(), timeoutMs)
                    : conn.pipe.SendFrame(RPC_FRAME_ERROR, reinterpret_cast<const uint8_t*>(failure.data()),
                                          failure.size(), timeoutMs);
      if (sent != Io::DONE) break;
    }
    // Closed to make room: whatever the peer sent is not served, and it is told so.
    if (conn.activity.TakenForClosing()) (void)conn.pipe.SendFrame(RPC_FRAME_CLOSING, nullptr, 0, timeoutMs);
    // Closing (not disconnecting) lets the peer still read a reply already written, then see the
    // end.
    {
      std::lock_guard<std::mutex> guard(lock);
      conn.pipe.Close();
      conn.ended = true;
    }
    if (options.onClosed) options.onClosed(conn.peer);
    conn.done = true;
  }

  void Stop() {
    {
      std::lock_guard<std::mutex> guard(lock);
      if (stopped) return;
      stopped = true;
    }
    stopping = true;
    if (stopEvent) SetEvent(stopEvent.get());
    if (acceptThread.joinable()) acceptThread.join();
    // Every connection waiting for a request is woken and ends.
    std::list<std::unique_ptr<Connection>> all;
    {
      std::lock_guard<std::mutex> guard(lock);
      for (auto& c : connections) SetEvent(c->wake.get());
      all.swap(connections);
    }
    for (auto& c : all) c->thread.join();
    Close();
  }

  void Close() {
    if (pending != INVALID_HANDLE_VALUE) ::CloseHandle(pending);
    pending = INVALID_HANDLE_VALUE;
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
    if (!c->ended && c->peer.process == process && !PeerHungUp(c->pipe.Get())) return true;
  return false;
}

const std::string& CRPCServer::GetSocketPath() const {
  return m_pImpl->path;
}
