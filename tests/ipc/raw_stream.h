// A bare byte stream to or from the RPC endpoint, for tests that speak to one side without the
// other: garbage, half frames, broken replies. It is the transport's own stream (a Unix socket or
// a named pipe), with a watchdog on every wait, so that a peer that never answers fails a test
// instead of hanging it.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "ipc/rpc.h"
#include "ipc/rpc_transport.h"

constexpr uint32_t kRawWatchdogMs = 20000;

class RawStream {
 public:
  explicit RawStream(std::unique_ptr<IPC::CStream> stream) : m_pStream(std::move(stream)) {}
  // Connects to the endpoint a server's GetSocketPath names; null if that fails.
  static std::unique_ptr<RawStream> Connect(const std::string& path) {
    try {
      return std::make_unique<RawStream>(IPC::Connect(path, kRawWatchdogMs, "raw"));
    } catch (const CRPCError&) {
      return nullptr;
    }
  }
  bool Send(const void* data, size_t size) {
    return m_pStream->Write(static_cast<const uint8_t*>(data), size, nullptr, 0,
                            IPC::After(kRawWatchdogMs)) == IPC::Io::DONE;
  }
  // Up to size bytes; 0 at the end of the stream; -1 on an error or when nothing came in time.
  long Recv(void* data, size_t size) {
    size_t done = 0;
    switch (m_pStream->Read(static_cast<uint8_t*>(data), size, done, IPC::After(kRawWatchdogMs))) {
      case IPC::Io::DONE:
        return static_cast<long>(done);
      case IPC::Io::CLOSED:
      case IPC::Io::RESET:
        return 0;
      default:
        return -1;
    }
  }

 private:
  std::unique_ptr<IPC::CStream> m_pStream;
};

// Listens on an endpoint in place of a server, one connection at a time.
class RawListener {
 public:
  explicit RawListener(std::unique_ptr<IPC::CListener> listener) : m_pListener(std::move(listener)) {}
  // Null if the endpoint cannot be made.
  static std::unique_ptr<RawListener> Listen(const std::string& path) {
    try {
      return std::make_unique<RawListener>(IPC::Listen(path, kRawWatchdogMs));
    } catch (const CRPCError&) {
      return nullptr;
    }
  }
  // Waits for the next client.
  std::unique_ptr<RawStream> Accept() {
    std::unique_ptr<IPC::CStream> stream = m_pListener->Accept();
    return stream ? std::make_unique<RawStream>(std::move(stream)) : nullptr;
  }

 private:
  std::unique_ptr<IPC::CListener> m_pListener;
};
