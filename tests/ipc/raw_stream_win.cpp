#include <string>

#include "ipc/raw_stream.h"
#include "win32/win32.h"

namespace {

std::wstring Widen(const std::string& s) {
  return std::wstring(s.begin(), s.end());  // pipe names are ASCII
}

class PipeStream : public RawStream {
 public:
  explicit PipeStream(HANDLE h) : m_h(h), m_event(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~PipeStream() override {
    ::CloseHandle(m_h);
    ::CloseHandle(m_event);
  }
  bool Send(const void* data, size_t size) override {
    DWORD done = 0;
    return Transfer(true, const_cast<void*>(data), size, done) && done == size;
  }
  long Recv(void* data, size_t size) override {
    DWORD done = 0;
    if (Transfer(false, data, size, done)) return static_cast<long>(done);
    return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
  }

 private:
  bool Transfer(bool write, void* data, size_t size, DWORD& done) {
    OVERLAPPED ov{};
    ov.hEvent = m_event;
    ResetEvent(m_event);
    DWORD n = static_cast<DWORD>(size);
    BOOL ok = write ? WriteFile(m_h, data, n, nullptr, &ov) : ReadFile(m_h, data, n, nullptr, &ov);
    if (!ok && GetLastError() != ERROR_IO_PENDING) return false;
    if (WaitForSingleObject(m_event, 20000) != WAIT_OBJECT_0) CancelIoEx(m_h, &ov);
    return GetOverlappedResult(m_h, &ov, &done, TRUE) != FALSE;
  }

  HANDLE m_h;
  HANDLE m_event;
};

// Keeps one instance listening at all times, so a client never finds the name missing between
// two connections.
class PipeListener : public RawListener {
 public:
  explicit PipeListener(const std::string& path) : m_name(Widen(path)) { m_pending = NewInstance(); }
  ~PipeListener() override {
    if (m_pending != INVALID_HANDLE_VALUE) ::CloseHandle(m_pending);
  }
  bool Ok() const { return m_pending != INVALID_HANDLE_VALUE; }
  std::unique_ptr<RawStream> Accept() override {
    HANDLE h = m_pending;
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    bool connected = ConnectNamedPipe(h, &ov) != FALSE || GetLastError() == ERROR_PIPE_CONNECTED;
    DWORD unused = 0;
    if (!connected && GetLastError() == ERROR_IO_PENDING)
      connected = GetOverlappedResult(h, &ov, &unused, TRUE) != FALSE;
    ::CloseHandle(ov.hEvent);
    m_pending = NewInstance();
    if (!connected) {
      ::CloseHandle(h);
      return nullptr;
    }
    return std::make_unique<PipeStream>(h);
  }

 private:
  HANDLE NewInstance() {
    return CreateNamedPipeW(m_name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES, 4096,
                            4096, 0, nullptr);
  }

  std::wstring m_name;
  HANDLE m_pending;
};

}  // namespace

std::unique_ptr<RawStream> RawStream::Connect(const std::string& path) {
  std::wstring name = Widen(path);
  for (int attempt = 0; attempt < 100; ++attempt) {
    HANDLE h = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (h != INVALID_HANDLE_VALUE) return std::make_unique<PipeStream>(h);
    // Every instance taken: the server puts out the next one after each connection.
    if (GetLastError() != ERROR_PIPE_BUSY || !WaitNamedPipeW(name.c_str(), 20000)) break;
  }
  return nullptr;
}

std::unique_ptr<RawListener> RawListener::Listen(const std::string& path) {
  auto listener = std::make_unique<PipeListener>(path);
  if (!listener->Ok()) return nullptr;
  return listener;
}
