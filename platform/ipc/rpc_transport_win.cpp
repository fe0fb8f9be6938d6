// The RPC transport on Windows: named pipes in byte mode, overlapped I/O.
//
// Every wait is on an event with a time-out (or, on a server's end, also on its wake event), and
// an operation that is given up is cancelled with CancelIoEx and waited for, so no call can hang
// and no buffer is written after its owner has moved on.
#include <algorithm>
#include <vector>

#include "ipc/rpc_internal.h"
#include "ipc/rpc_transport.h"
#include "ipc/rpc_win.h"

namespace IPC {

namespace {

// The pipe's own buffers: a library request fits many times over; larger frames stream through.
constexpr DWORD kPipeBuffer = 64 * 1024;
// Frames up to this size go out in one write with their header, so the peer is woken once.
constexpr size_t kJoinedWrite = 4096;
// The most one ReadFile or WriteFile is asked to move.
constexpr size_t kMaxTransfer = 1u << 20;

CUniqueHandle NewEvent() {
  HANDLE h = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!h) ThrowSystem("CreateEventW", GetLastError());
  return CUniqueHandle(h);
}

// Milliseconds to a deadline for a wait: INFINITE for none, 0 once it has passed.
DWORD WaitMs(Clock::time_point deadline) {
  if (deadline == kForever) return INFINITE;
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<DWORD>(std::clamp<int64_t>(ms, 0, 0x7FFFFFFF));
}

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

// One pipe end and the event its transfers complete on.
class CPipeStream final : public CStream {
 public:
  // wakeable: a server's end, whose waits for a request Wake ends. Takes h even when it throws.
  CPipeStream(HANDLE h, bool wakeable) : m_Handle(h), m_Event(NewEvent()) {
    if (wakeable) m_Wake = NewEvent();
  }
  HANDLE Get() const { return m_Handle.get(); }

  Io Read(uint8_t* data, size_t size, size_t& done, Clock::time_point deadline) override {
    DWORD got = 0;
    Io r = Transfer(false, data, static_cast<DWORD>(std::min(size, kMaxTransfer)), WaitMs(deadline), got);
    done = got;
    return r;
  }

  Io Write(const uint8_t* head, size_t headSize, const uint8_t* body, size_t bodySize,
           Clock::time_point deadline) override {
    // Small frames go in one write (a copy, but one wake of the peer and one call).
    std::vector<uint8_t> joined;
    const uint8_t* parts[2] = {head, body};
    size_t sizes[2] = {headSize, bodySize};
    if (bodySize <= kJoinedWrite) {
      joined.assign(head, head + headSize);
      if (bodySize) joined.insert(joined.end(), body, body + bodySize);
      parts[0] = joined.data();
      sizes[0] = joined.size();
      sizes[1] = 0;
    }
    for (int i = 0; i < 2; ++i) {
      for (size_t sent = 0; sent < sizes[i];) {
        DWORD done = 0;
        Io r = Transfer(true, const_cast<uint8_t*>(parts[i]) + sent,
                        static_cast<DWORD>(std::min(sizes[i] - sent, kMaxTransfer)), WaitMs(deadline), done);
        if (r != Io::DONE) return r;
        sent += done;
      }
    }
    return Io::DONE;
  }

  uint32_t PeerProcess() override {
    ULONG pid = 0;
    return GetNamedPipeClientProcessId(Get(), &pid) ? static_cast<uint32_t>(pid) : 0;
  }

  bool PeerHungUp() override {
    DWORD available = 0;
    if (PeekNamedPipe(Get(), nullptr, 0, nullptr, &available, nullptr)) return false;
    const DWORD err = GetLastError();
    return err == ERROR_BROKEN_PIPE || err == ERROR_PIPE_NOT_CONNECTED || err == ERROR_NO_DATA;
  }

  // An event rather than a cancelled read: it also ends a wait that has not begun yet.
  void Wake() override {
    if (m_Wake) SetEvent(m_Wake.get());
  }

  // Closing (not disconnecting) lets the peer still read a reply already written, then see the end.
  void Close() override { m_Handle.reset(); }

  const std::string& ErrorText() const override { return m_strError; }

 private:
  // One ReadFile or WriteFile, waited for until it completes, waitMs passes (INFINITE: never) or,
  // for a read, the wake event is set. A transfer that completed despite a time-out counts.
  Io Transfer(bool write, void* data, DWORD size, DWORD waitMs, DWORD& done) {
    done = 0;
    // ReadFile and WriteFile reset the event themselves. One that completes at once (data already
    // there, room in the pipe: the common case) is taken without a wait, which costs a round trip
    // to the Wine server per call under Wine; nor does it look at the wake event.
    OVERLAPPED ov{};
    ov.hEvent = m_Event.get();
    BOOL ok = write ? WriteFile(Get(), data, size, nullptr, &ov) : ReadFile(Get(), data, size, nullptr, &ov);
    if (ok) return GetOverlappedResult(Get(), &ov, &done, FALSE) ? Io::DONE : Fail(write, GetLastError());
    if (GetLastError() != ERROR_IO_PENDING) return Fail(write, GetLastError());
    HANDLE stop = write ? nullptr : m_Wake.get();
    HANDLE waits[2] = {ov.hEvent, stop};
    DWORD w = WaitForMultipleObjects(stop ? 2 : 1, waits, FALSE, waitMs);
    if (w != WAIT_OBJECT_0) CancelIoEx(Get(), &ov);
    // Waits for the cancellation too: the buffer and the OVERLAPPED must outlive the operation.
    if (GetOverlappedResult(Get(), &ov, &done, TRUE)) return Io::DONE;
    DWORD err = GetLastError();
    if (err == ERROR_OPERATION_ABORTED) return w == WAIT_OBJECT_0 + 1 ? Io::STOPPED : Io::TIMEOUT;
    return Fail(write, err);
  }

  Io Fail(bool write, DWORD err) {
    m_strError = IPC::ErrorText(write ? "send" : "receive", err);
    return Classify(err);
  }

  CUniqueHandle m_Handle;
  CUniqueHandle m_Event;
  CUniqueHandle m_Wake;
  std::string m_strError;
};

class CPipeListener final : public CListener {
 public:
  explicit CPipeListener(const std::string& path)
      : m_strPath(path), m_strName(Widen(path)), m_Stop(NewEvent()), m_Event(NewEvent()) {}
  ~CPipeListener() override {
    if (m_hPending != INVALID_HANDLE_VALUE) ::CloseHandle(m_hPending);
  }

  void Listen() {
    // FILE_FLAG_FIRST_PIPE_INSTANCE is what keeps the name ours on Windows. Wine creates the
    // instance anyway, so a live server is also looked for first (as the socket transport probes
    // a socket file): a server that answers or has every instance busy holds the name.
    HANDLE probe =
        CreateFileW(m_strName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD probeErr = probe == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    if (probe != INVALID_HANDLE_VALUE) ::CloseHandle(probe);
    if (probe != INVALID_HANDLE_VALUE || probeErr == ERROR_PIPE_BUSY || probeErr == ERROR_ACCESS_DENIED)
      throw CRPCError(CRPCError::ALREADY_SERVED, "RPC: " + m_strPath + " is already served");
    m_hPending = NewInstance(true);
    if (m_hPending == INVALID_HANDLE_VALUE) {
      DWORD err = GetLastError();
      if (err == ERROR_ACCESS_DENIED || err == ERROR_PIPE_BUSY)
        throw CRPCError(CRPCError::ALREADY_SERVED, "RPC: " + m_strPath + " is already served");
      ThrowSystem("CreateNamedPipeW", err);
    }
  }

  std::unique_ptr<CStream> Accept() override {
    for (;;) {
      if (m_hPending == INVALID_HANDLE_VALUE) {
        // Out of handles or memory: back off a little (still woken by Stop) instead of spinning.
        m_hPending = NewInstance(false);
        if (m_hPending == INVALID_HANDLE_VALUE) {
          if (!Pause(10)) return nullptr;
          continue;
        }
      }
      OVERLAPPED ov{};
      ov.hEvent = m_Event.get();
      ResetEvent(ov.hEvent);
      bool connected = ConnectNamedPipe(m_hPending, &ov) != FALSE;
      DWORD err = connected ? 0 : GetLastError();
      if (err == ERROR_PIPE_CONNECTED) {
        connected = true;
      } else if (err == ERROR_IO_PENDING) {
        HANDLE waits[2] = {ov.hEvent, m_Stop.get()};
        DWORD w = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
        if (w != WAIT_OBJECT_0) CancelIoEx(m_hPending, &ov);
        DWORD unused = 0;
        connected = GetOverlappedResult(m_hPending, &ov, &unused, TRUE) != FALSE;
        if (w != WAIT_OBJECT_0 && !connected) return nullptr;
      }
      if (!connected) {
        // A client that came and went before we saw it: make the instance ready for the next one.
        DisconnectNamedPipe(m_hPending);
        if (!Pause(1)) return nullptr;
        continue;
      }
      // The next instance comes before this one is handed on: should this client leave and its
      // instance close at once, the name must not vanish (a client would take that for no server).
      HANDLE h = m_hPending;
      m_hPending = NewInstance(false);
      try {
        return std::make_unique<CPipeStream>(h, true);
      } catch (const CRPCError&) {
        continue;  // the stream closed the instance
      }
    }
  }

  void Stop() override { SetEvent(m_Stop.get()); }

 private:
  // first: only the first instance may claim the name, so a process that got there before the
  // service (or a second service) cannot be joined by ours.
  HANDLE NewInstance(bool first) {
    DWORD open = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    DWORD mode = PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;
    return CreateNamedPipeW(m_strName.c_str(), open, mode, PIPE_UNLIMITED_INSTANCES, kPipeBuffer, kPipeBuffer,
                            0, m_Security.Get());
  }

  // False when stopped while waiting.
  bool Pause(DWORD ms) { return WaitForSingleObject(m_Stop.get(), ms) == WAIT_TIMEOUT; }

  std::string m_strPath;
  std::wstring m_strName;
  CSecurityDescriptor m_Security{false};
  CUniqueHandle m_Stop;
  CUniqueHandle m_Event;                     // the pending ConnectNamedPipe completes on it
  HANDLE m_hPending = INVALID_HANDLE_VALUE;  // the instance waiting for the next client
};

}  // namespace

std::unique_ptr<CStream> Connect(const std::string& path, uint32_t timeoutMs, const std::string& where) {
  auto fail = [&](CRPCError::Code code, const std::string& what) {
    throw CRPCError(code, where + ": " + what);
  };
  const std::wstring name = Widen(path);
  const Clock::time_point deadline = After(timeoutMs);
  for (;;) {
    // Identification only: the service learns who we are but cannot act as us.
    HANDLE h = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      auto stream = std::make_unique<CPipeStream>(h, false);
      // The counterpart of the socket's owner-only folder: a pipe of this name made by another
      // user before our service (which the first-instance flag then keeps out) must not get our
      // requests.
      ULONG pid = 0;
      if (!GetNamedPipeServerProcessId(stream->Get(), &pid))
        fail(CRPCError::SYSTEM, ErrorText("pipe server", GetLastError()));
      CUniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
      if (!process || ProcessUser(process.get()) != UserSid())
        fail(CRPCError::RUNTIME_DIR, "the pipe is served by another user's process");
      return stream;
    }
    DWORD err = GetLastError();
    if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND)
      fail(CRPCError::NOT_LISTENING, "component not listening");
    if (err != ERROR_PIPE_BUSY) fail(CRPCError::SYSTEM, ErrorText("open pipe", err));
    // Every instance is taken until the server puts out the next one.
    DWORD left = WaitMs(deadline);
    if (left == 0) fail(CRPCError::TIMEOUT, "connect timed out");
    if (!WaitNamedPipeW(name.c_str(), left) && GetLastError() == ERROR_SEM_TIMEOUT)
      fail(CRPCError::TIMEOUT, "connect timed out");
  }
}

std::unique_ptr<CListener> Listen(const std::string& path,
                                  uint32_t /*timeoutMs: each write has its deadline*/) {
  auto listener = std::make_unique<CPipeListener>(path);
  listener->Listen();
  return listener;
}

}  // namespace IPC
