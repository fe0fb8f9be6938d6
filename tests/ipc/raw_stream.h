// A bare byte stream to or from the RPC transport's endpoint (a Unix socket on POSIX, a named
// pipe on Windows), for tests that speak to one side without the other: garbage, half frames,
// broken replies. One implementation per platform (raw_stream_posix.cpp, raw_stream_win.cpp).
#pragma once

#include <cstddef>
#include <memory>
#include <string>

class RawStream {
 public:
  // Connects to the endpoint a server's GetSocketPath names; null if that fails.
  static std::unique_ptr<RawStream> Connect(const std::string& path);
  virtual ~RawStream() = default;
  virtual bool Send(const void* data, size_t size) = 0;
  // Up to size bytes; 0 at the end of the stream; -1 on an error or when nothing came for 20 s
  // (a watchdog, so that a peer that never answers fails a test instead of hanging it).
  virtual long Recv(void* data, size_t size) = 0;
};

// Listens on an endpoint in place of a server, one connection at a time.
class RawListener {
 public:
  // Null if the endpoint cannot be made.
  static std::unique_ptr<RawListener> Listen(const std::string& path);
  virtual ~RawListener() = default;
  // Waits for the next client.
  virtual std::unique_ptr<RawStream> Accept() = 0;
};
