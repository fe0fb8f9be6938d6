// The RPC library stand-in: a blocking request/reply between processes of one user on one host.
//
// A server listens as a component (CComponentID) on a Unix domain socket "<id>.sock" in the
// runtime folder; a client sends one request buffer and blocks until the reply buffer is back.
// Frames are length-prefixed and bounded (ipc/rpc_frame.h).
//
// Runtime folder: MAILHOOK_RUNTIME_DIR if set, else $XDG_RUNTIME_DIR/mailhook, else
// /run/user/<uid>/mailhook when the system keeps that per-user folder (owned by the user, not
// writable by others), else /dev/shm/mailhook-<uid>-<key>: any user can make names in
// /dev/shm, so the name carries 32 random hex digits nobody else can know, kept owner-only in
// ~/.mailhook/runtime-key (made by whichever of the service and its hooks comes first; the home
// folder must not be writable by others). A server creates the folder owner-only (0700). Both
// sides refuse a folder that is not a real directory (a symbolic link included), not owned by
// the user, or open to others: anyone who could write there could stand in for the service. The
// refusal says what to do (set MAILHOOK_RUNTIME_DIR for the service and its hooks, or have the
// folder removed). No other folder is picked instead: the hooks must find the service where
// they look for it.
//
// Component ids become file names, so they are limited to ASCII letters, digits, '_', '-' and
// '.', 1 to 64 characters, not starting with '.'.
//
// Time-out: MAILHOOK_RPC_TIMEOUT_MS (a positive number of milliseconds; default 30000), read when
// a client or server is created, bounds a client's connecting, sending and its wait for the whole
// reply of one SendRequest, a server's sending of one reply, and a server's receiving of one
// request from its first byte on (a connection that stops mid-request is dropped; an idle one,
// between requests, is kept).
//
// Memory ordering: each side issues a release fence before it sends and an acquire fence after it
// has received, so that what one process wrote into shared memory before its message is visible
// to the other once the message is in.
//
// On Windows the transport is a named pipe in byte mode, "\\.\pipe\mailhook-<SID>-<id>", where
// <SID> is the user's security id as text (so two users' services never meet), or
// "\\.\pipe\mailhook-<SID>-<tag>-<id>" when MAILHOOK_RUNTIME_DIR is set, <tag> being 16 hex
// digits derived from that folder (so services with their own folders stay apart, as their
// sockets do on POSIX). SocketPath and GetSocketPath return that name. The pipe admits only the
// user and SYSTEM, refuses remote clients, and the server creates its first instance with
// FILE_FLAG_FIRST_PIPE_INSTANCE: a name already held (by a live server or anyone else) gives
// ALREADY_SERVED. The runtime folder defaults to %LOCALAPPDATA%\mailhook; a server creates it
// admitting only the user and SYSTEM, inherited by the files made in it, and refuses one that is
// a link. A server drops a connection whose begun frame is not complete within the time-out.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

#include "ipc/ipc_buffer.h"
#include "mh_ipc_export.h"

// Raised by the RPC stand-in when an exchange cannot be made; the code says why.
class MH_IPC_API CRPCError : public std::runtime_error {
 public:
  enum Code : int {
    NOT_LISTENING = 1,   // no server listens as the component
    PEER_CLOSED = 2,     // the other side went away during the exchange
    TIMEOUT = 3,         // no complete reply within the time-out
    PROTOCOL = 4,        // the other side sent something that is not a valid frame
    REMOTE_FAILURE = 5,  // the server's handler failed on this request (text from the server)
    BAD_COMPONENT = 6,   // a component id that cannot name a socket
    RUNTIME_DIR = 7,     // the runtime folder is missing a safe form (owner, mode, type)
    ALREADY_SERVED = 8,  // another server is listening as the component
    SYSTEM = 9,          // a system call failed unexpectedly
    NOT_CONNECTED = 10,  // a request on a link that was never connected
    UNSUPPORTED = 11,    // no transport on this platform
    TOO_LARGE = 12,      // a request larger than a frame may be
  };
  CRPCError(Code code, const std::string& what);
  Code GetCode() const { return m_eCode; }

 private:
  Code m_eCode;
};

namespace IPC {

// The runtime folder's path as the environment names it (not created, not checked; on POSIX
// the key of the /dev/shm default is made if there is none). Throws CRPCError(RUNTIME_DIR) when
// there is no default to be had.
MH_IPC_API std::string GetRuntimeDir();
// Creates the runtime folder if missing (0700), checks it and returns its path; throws
// CRPCError(RUNTIME_DIR) if it cannot be made or is unsafe.
MH_IPC_API std::string PrepareRuntimeDir();
// The socket path of a component; throws CRPCError(BAD_COMPONENT) for an id that cannot be one.
MH_IPC_API std::string SocketPath(const CComponentID& component);
// MAILHOOK_RPC_TIMEOUT_MS, or the default when unset or not a positive number.
MH_IPC_API uint32_t RpcTimeoutMs();

}  // namespace IPC

// A client of one component. It connects on the first request and again on the request after a
// failure; each SendRequest is one blocking round trip on the calling thread.
//
// Thread-safe: concurrent calls on one client are served one after the other.
class MH_IPC_API CRPCClientHelper {
 public:
  // name: the caller's name for diagnostics; may be null. Throws CRPCError(BAD_COMPONENT).
  CRPCClientHelper(const CComponentID& component, const char16_t* name);
  virtual ~CRPCClientHelper();
  CRPCClientHelper(const CRPCClientHelper&) = delete;
  CRPCClientHelper& operator=(const CRPCClientHelper&) = delete;

  // Sends the request's bytes and replaces the reply's contents with the answer, read position
  // at its start. Throws CRPCError: NOT_LISTENING, PEER_CLOSED, TIMEOUT, PROTOCOL, TOO_LARGE,
  // REMOTE_FAILURE (the connection stays usable), RUNTIME_DIR, SYSTEM. After any failure but
  // REMOTE_FAILURE the connection is dropped, so a late answer is never taken for the next one.
  void SendRequest(const CIPCMsgBuffer& request, CIPCMsgBuffer& reply);

  const CComponentID& GetComponent() const;
  uint32_t GetTimeoutMs() const;

  struct Impl;

 private:
  Impl* m_pImpl;
};

// Who a request came from: the connection it arrived on and the process at the other end.
struct CRPCPeer {
  uint64_t connection = 0;  // from 1, never reused during a server's life
  // The peer's process id as the system reports it (SO_PEERCRED, GetNamedPipeClientProcessId):
  // taken from the kernel, so a peer cannot pass itself off as another process. 0 if unknown.
  uint32_t process = 0;
};

// A server listening as one component. Each connection gets its own thread, which reads a
// request, calls the handler and sends the reply, so many clients are served at once and a
// client waits for nobody else's request. The handler is called from those threads concurrently
// and must be thread-safe; an exception from it (CIPCError from a malformed request, say) is
// sent back as an error reply and the connection goes on.
//
// A peer that sends a bad frame (wrong magic, unknown kind, over the limit) or vanishes loses
// its connection; the server goes on. At most maxConnections connections are held. A connection
// that waits between requests costs a thread and a descriptor and does nothing, so when a new
// one comes with the limit reached, the connection that has waited longest is closed to make
// room (its peer sees the end before its next request and connects again); a new connection is
// closed at once only when every held one is in the middle of a request. A connection closed
// that way never has a request served: one that arrived just then goes unanswered.
class MH_IPC_API CRPCServer {
 public:
  using Handler = std::function<void(const CIPCMsgBuffer& request, CIPCMsgBuffer& reply)>;
  using PeerHandler =
      std::function<void(const CRPCPeer& peer, const CIPCMsgBuffer& request, CIPCMsgBuffer& reply)>;
  static constexpr size_t kMaxConnections = 1024;

  struct Options {
    size_t maxConnections = kMaxConnections;
    // Called once for every connection, on the connection's own thread when it has ended (the
    // peer went away, the connection made room or broke the protocol, or Stop), after its last
    // reply and outside the server's locks.
    std::function<void(const CRPCPeer& peer)> onClosed;
  };

  // Prepares the runtime folder and listens. Throws CRPCError: BAD_COMPONENT, RUNTIME_DIR,
  // ALREADY_SERVED (a live server holds the name; a stale socket file is replaced), SYSTEM.
  CRPCServer(const CComponentID& component, Handler handler);
  // The same, telling the handler who each request came from.
  CRPCServer(const CComponentID& component, PeerHandler handler, Options options);
  // Stops.
  ~CRPCServer();
  CRPCServer(const CRPCServer&) = delete;
  CRPCServer& operator=(const CRPCServer&) = delete;

  // Stops listening, wakes every connection, joins all threads and removes the socket file.
  // Not from inside the handler (it would wait for itself).
  // A handler that is running finishes and its reply is still sent (a peer that does not read
  // it holds Stop up to the time-out at most). Idempotent.
  void Stop();

  // Connections currently open.
  size_t GetConnectionCount() const;
  // True while a connection from this process is open and its peer still holds its end (one
  // whose request is under way included): a process that died, or closed every connection,
  // has none, even before the threads of its connections have noticed.
  bool IsProcessConnected(uint32_t process) const;
  const std::string& GetSocketPath() const;

  struct Impl;

 private:
  Impl* m_pImpl;
};
