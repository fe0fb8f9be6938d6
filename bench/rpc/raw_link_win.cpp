#include <filesystem>
#include <thread>
#include <vector>

#include "ipc/rpc.h"
#include "raw_link.h"
#include "win32/win32.h"

namespace rawlink {

namespace {

std::wstring Wide(const std::string& s) {
  int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

// Plain blocking transfers. The client's handle is synchronous (event null); the server's
// instances are overlapped, so that connecting is waited for as the RPC server does it, and there
// each transfer is waited for at once on the connection's event.
bool Transfer(HANDLE h, HANDLE event, bool write, void* data, DWORD size, DWORD& done) {
  OVERLAPPED ov{};
  ov.hEvent = event;
  OVERLAPPED* pov = event ? &ov : nullptr;
  BOOL ok = write ? WriteFile(h, data, size, &done, pov) : ReadFile(h, data, size, &done, pov);
  if (!ok && pov && GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(h, pov, &done, TRUE);
  return ok && done > 0;
}

bool ReadHandle(HANDLE h, HANDLE event, void* data, size_t size) {
  auto* p = static_cast<uint8_t*>(data);
  while (size) {
    DWORD n = 0;
    if (!Transfer(h, event, false, p, static_cast<DWORD>(size), n)) return false;
    p += n;
    size -= n;
  }
  return true;
}

bool WriteHandle(HANDLE h, HANDLE event, const void* data, size_t size) {
  auto* p = static_cast<const uint8_t*>(data);
  while (size) {
    DWORD n = 0;
    if (!Transfer(h, event, true, const_cast<uint8_t*>(p), static_cast<DWORD>(size), n)) return false;
    p += n;
    size -= n;
  }
  return true;
}

void Serve(HANDLE h) {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  uint32_t sizes[2];
  if (event && ReadHandle(h, event, sizes, sizeof(sizes))) {
    std::vector<uint8_t> in(sizes[0]), out(sizes[1], 0x5A);
    while (ReadHandle(h, event, in.data(), in.size()) && WriteHandle(h, event, out.data(), out.size())) {
    }
  }
  if (event) ::CloseHandle(event);
  ::CloseHandle(h);
}

HANDLE NewInstance(const std::wstring& name) {
  return CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                          PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES,
                          64 * 1024, 64 * 1024, 0, nullptr);
}

}  // namespace

std::string UseFreshRuntimeDir() {
  std::error_code ec;
  auto base =
      std::filesystem::temp_directory_path(ec) / ("mailhook-bench-" + std::to_string(GetCurrentProcessId()));
  std::filesystem::create_directories(base, ec);
  std::string runtime = (base / "run").string();
  _putenv_s("MAILHOOK_RUNTIME_DIR", runtime.c_str());
  return base.string();
}

void RemoveDir(const std::string& dir) {
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}

std::string Endpoint() {
  return IPC::SocketPath(CComponentID(u"ID_TARN_MASTER")) + "-raw";
}

bool ListenInBackground() {
  std::wstring name = Wide(Endpoint());
  HANDLE first = NewInstance(name);
  if (first == INVALID_HANDLE_VALUE) return false;
  std::thread([name, first] {
    // The next instance is made before a connected one is handed on, so the name never
    // vanishes between two clients.
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    for (HANDLE h = first, next; h != INVALID_HANDLE_VALUE; h = next) {
      OVERLAPPED ov{};
      ov.hEvent = event;
      bool connected = ConnectNamedPipe(h, &ov) != FALSE;
      DWORD unused = 0;
      if (!connected && GetLastError() == ERROR_IO_PENDING)
        connected = GetOverlappedResult(h, &ov, &unused, TRUE) != FALSE;
      else if (!connected)
        connected = GetLastError() == ERROR_PIPE_CONNECTED;
      next = NewInstance(name);
      if (connected)
        std::thread(Serve, h).detach();
      else
        ::CloseHandle(h);
    }
  }).detach();
  return true;
}

Connection::~Connection() {
  if (m_handle != -1) ::CloseHandle(reinterpret_cast<HANDLE>(m_handle));
}

bool Connection::Open(const std::string& endpoint) {
  std::wstring name = Wide(endpoint);
  for (int attempt = 0; attempt < 100; ++attempt) {
    HANDLE h = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      m_handle = reinterpret_cast<intptr_t>(h);
      return true;
    }
    if (GetLastError() != ERROR_PIPE_BUSY || !WaitNamedPipeW(name.c_str(), 5000)) return false;
  }
  return false;
}

bool Connection::WriteExact(const void* data, size_t size) {
  return WriteHandle(reinterpret_cast<HANDLE>(m_handle), nullptr, data, size);
}

bool Connection::ReadExact(void* data, size_t size) {
  return ReadHandle(reinterpret_cast<HANDLE>(m_handle), nullptr, data, size);
}

ServingChild::ServingChild(const char*) {
  wchar_t self[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return;
  std::wstring cmd = L"\"" + std::wstring(self) + L"\" --serve";
  SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
  HANDLE read = nullptr, write = nullptr;
  if (!CreatePipe(&read, &write, &sa, 0)) return;
  SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  si.hStdOutput = write;
  si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION pi{};
  BOOL ok = CreateProcessW(self, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
  ::CloseHandle(write);
  if (ok) {
    ::CloseHandle(pi.hThread);
    m_process = reinterpret_cast<intptr_t>(pi.hProcess);
    std::string line;
    char c = 0;
    DWORD got = 0;
    while (ReadFile(read, &c, 1, &got, nullptr) && got == 1 && c != '\n')
      if (c != '\r') line.push_back(c);
    m_bReady = line == "ready";
  }
  ::CloseHandle(read);
}

ServingChild::~ServingChild() {
  if (m_process != -1) {
    HANDLE h = reinterpret_cast<HANDLE>(m_process);
    TerminateProcess(h, 1);
    WaitForSingleObject(h, INFINITE);
    ::CloseHandle(h);
  }
}

}  // namespace rawlink
