// What rpc_bench stands the RPC exchange against, and how it runs its serving process: a bare
// byte stream between two processes (a Unix socket on POSIX, a named pipe on Windows) and this
// binary started again as the server. raw_link_posix.cpp, raw_link_win.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace rawlink {

// Makes a private runtime folder for this run and points MAILHOOK_RUNTIME_DIR at it, so the
// serving process (which inherits it) and the RPC layer meet there. Returns the folder to remove.
std::string UseFreshRuntimeDir();
void RemoveDir(const std::string& dir);

// The bare stream's endpoint for this runtime folder.
std::string Endpoint();

// In the serving process: listens on the endpoint and serves each connection on its own thread:
// a header {request bytes, reply bytes}, then a request read and a reply written, until the peer
// goes. Returns false if it cannot listen; otherwise serves until the process ends.
bool ListenInBackground();

class Connection {
 public:
  Connection() = default;
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  bool Open(const std::string& endpoint);
  bool WriteExact(const void* data, size_t size);
  bool ReadExact(void* data, size_t size);

 private:
  intptr_t m_handle = -1;
};

// This binary run again as "argv0 --serve", until its "ready" line; killed on destruction.
class ServingChild {
 public:
  explicit ServingChild(const char* argv0);
  ~ServingChild();
  ServingChild(const ServingChild&) = delete;
  ServingChild& operator=(const ServingChild&) = delete;
  bool Ready() const { return m_bReady; }

 private:
  intptr_t m_process = -1;
  bool m_bReady = false;
};

}  // namespace rawlink
