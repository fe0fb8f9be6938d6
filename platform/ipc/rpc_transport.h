// The byte transport under the RPC stand-in's client and server: a connected stream and a
// listener, one implementation per platform (rpc_transport_posix.cpp: Unix domain sockets;
// rpc_transport_win.cpp: overlapped named pipes). The client's exchange and the server's loop
// (rpc_client.cpp, rpc_server.cpp) are written once over it. Not installed; Connect and Listen
// are exported for the tests, which speak to either side through the same transport.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "ipc/rpc_frame.h"
#include "mh_ipc_export.h"

namespace IPC {

using Clock = std::chrono::steady_clock;
// A deadline that never comes: the wait ends only with data, the end of the stream or Wake.
constexpr Clock::time_point kForever = Clock::time_point::max();

// How a transfer ended.
enum class Io {
  DONE,     // bytes moved
  CLOSED,   // the peer has gone (the end of the stream, or a send to a closed end)
  RESET,    // the peer broke the connection off (sockets only); nothing more can come either
  TIMEOUT,  // the deadline passed first
  STOPPED,  // woken (Wake) before anything came
  FAILED,   // anything else: ErrorText() says what
};

// One connected end. One reader and one writer at a time; Wake and PeerHungUp may be called from
// another thread while the stream is in use, up to Close.
class CStream {
 public:
  virtual ~CStream() = default;
  // Receives 1 to size bytes into data (done says how many), waiting until bytes come, the
  // deadline passes (kForever: no bound) or Wake ends the wait. Bytes already there are taken
  // without a wait.
  virtual Io Read(uint8_t* data, size_t size, size_t& done, Clock::time_point deadline) = 0;
  // Sends all of head then all of body (body may be null when bodySize is 0) by the deadline (a
  // socket looks at it between the pieces the kernel takes, each bounded by its send time-out).
  virtual Io Write(const uint8_t* head, size_t headSize, const uint8_t* body, size_t bodySize,
                   Clock::time_point deadline) = 0;
  // The process at the other end as the system reports it; 0 if unknown.
  virtual uint32_t PeerProcess() = 0;
  // True when the peer has closed its end: nothing it sends can come any more.
  virtual bool PeerHungUp() = 0;
  // Ends the current or next wait for bytes, for good (a server's Stop, or making room). Bytes
  // already received may still be read.
  virtual void Wake() = 0;
  // The peer sees the end at once; a reply already sent can still be read by it. Nothing may be
  // read or written afterwards; what the stream holds of the system is let go when it is deleted.
  virtual void Close() = 0;
  // The last FAILED transfer's call and system error, as "recv: Connection refused".
  virtual const std::string& ErrorText() const = 0;
};

// Waits for the clients of one endpoint.
class CListener {
 public:
  virtual ~CListener() = default;
  // The next client's stream; null once Stop was called. Only one thread accepts.
  virtual std::unique_ptr<CStream> Accept() = 0;
  // Ends Accept's wait, for good; from any thread.
  virtual void Stop() = 0;
};

// Connects to the endpoint at path (SocketPath's name) within timeoutMs, after checking that it is
// safe to send to; a socket keeps timeoutMs as its kernel bound on each send and receive. Throws
// CRPCError: NOT_LISTENING, TIMEOUT, RUNTIME_DIR (the folder or the endpoint is someone else's),
// SYSTEM. where prefixes the messages that concern the connection ("RPC to <path> (<client>)").
MH_IPC_API std::unique_ptr<CStream> Connect(const std::string& path, uint32_t timeoutMs,
                                            const std::string& where);

// Listens at path (a prepared runtime folder's SocketPath). Throws CRPCError: ALREADY_SERVED
// (someone answers there), RUNTIME_DIR (something else is in the way), SYSTEM. The endpoint goes
// when the listener is deleted. A socket it accepts keeps timeoutMs as its kernel bound on each
// send, so that a peer that stops reading holds no send past it.
MH_IPC_API std::unique_ptr<CListener> Listen(const std::string& path, uint32_t timeoutMs);

// Feeds a stream's bytes to a frame decoder with as few copies as the stream allows: small frames
// arrive whole in one read into a chunk; the rest of a large payload is read straight into the
// payload's own buffer.
class CFrameReader {
 public:
  // Moves the decoder on by one step: feeds the bytes left from the last read, or reads once
  // (waiting until the deadline). The caller checks the decoder after each DONE step and takes a
  // ready frame before the next one.
  Io Step(CStream& stream, CRpcFrameDecoder& decoder, Clock::time_point deadline);
  // Bytes read beyond the frames fed so far.
  bool HasLeftover() const { return m_uUsed < m_uHave; }
  void Reset() { m_uHave = m_uUsed = 0; }

 private:
  static constexpr size_t kChunk = 4096;  // a request of the library fits many times over
  std::unique_ptr<uint8_t[]> m_Chunk{new uint8_t[kChunk]};
  size_t m_uHave = 0;
  size_t m_uUsed = 0;
};

// Sends one frame by the deadline, with the fence that makes this side's writes to shared memory
// visible to the peer once it has the frame.
Io SendFrame(CStream& stream, RpcFrameKind kind, const uint8_t* data, size_t size,
             Clock::time_point deadline);

// A deadline timeoutMs from now.
inline Clock::time_point After(uint32_t timeoutMs) {
  return Clock::now() + std::chrono::milliseconds(timeoutMs);
}

}  // namespace IPC
