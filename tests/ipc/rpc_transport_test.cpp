#if !defined(_WIN32)
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#endif

#if defined(_WIN32)
#include "win32/win32.h"
// clang-format off
#include <aclapi.h>
#include <sddl.h>
// clang-format on
#endif

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "ipc/raw_stream.h"
#include "ipc/rpc.h"
#include "ipc/rpc_frame.h"
#include "ipc/rpc_test_util.h"

namespace {

const CComponentID kComponent(u"TEST_COMPONENT");

int32_t AskPlusOne(CRPCClientHelper& client, int32_t value) {
  CIPCMsgBuffer request, reply;
  request << value;
  client.SendRequest(request, reply);
  int32_t answer = 0;
  reply >> answer;
  EXPECT_TRUE(reply.AtEnd());
  return answer;
}

int AskFailure(CRPCClientHelper& client) {
  return CodeOf<CRPCError>([&] { AskPlusOne(client, 1); });
}

void PlusOne(const CIPCMsgBuffer& request, CIPCMsgBuffer& reply) {
  int32_t v = 0;
  request >> v;
  reply << v + 1;
}

std::string Frame(uint32_t kind, uint32_t length, const std::string& payload = {}) {
  uint8_t header[kRpcFrameHeaderSize];
  EncodeRpcFrameHeader(header, static_cast<RpcFrameKind>(kind), length);
  return std::string(reinterpret_cast<char*>(header), sizeof(header)) + payload;
}

// Sends bytes one at a time, gap apart, until all are sent or the other side has hung up.
void Trickle(RawStream& stream, const std::string& bytes, std::chrono::milliseconds gap) {
  for (size_t i = 0; i < bytes.size() && stream.Send(&bytes[i], 1); ++i) std::this_thread::sleep_for(gap);
}

std::string RequestFrame(int32_t value) {
  CIPCMsgBuffer b;
  b << value;
  return Frame(RPC_FRAME_REQUEST, static_cast<uint32_t>(b.GetSize()),
               std::string(reinterpret_cast<const char*>(b.GetData()), b.GetSize()));
}

// A raw peer of the server (its watchdog turns a server that never answers into a failure).
class RawPeer {
 public:
  explicit RawPeer(const std::string& path) : m_stream(RawStream::Connect(path)) {
    EXPECT_NE(m_stream, nullptr) << "cannot connect to " << path;
  }
  void Send(const std::string& bytes) { ASSERT_TRUE(m_stream && m_stream->Send(bytes.data(), bytes.size())); }
  void Trickle(const std::string& bytes, std::chrono::milliseconds gap) {
    if (m_stream) ::Trickle(*m_stream, bytes, gap);
  }
  // True when the server closed the connection (end of stream) rather than the watchdog firing.
  bool SeesEndOfStream() {
    char c;
    return m_stream && m_stream->Recv(&c, 1) == 0;
  }
  // Reads one whole frame, byte by byte so that nothing of the next frame is taken; for a reply,
  // its int32 in value.
  RpcFrameKind ReadFrame(int32_t* value = nullptr) {
    CRpcFrameDecoder d;
    uint8_t byte;
    while (m_stream && d.GetStatus() == CRpcFrameDecoder::NEED_MORE && m_stream->Recv(&byte, 1) == 1)
      d.Feed(&byte, 1);
    EXPECT_EQ(d.GetStatus(), CRpcFrameDecoder::FRAME_READY);
    CIPCMsgBuffer payload;
    payload.Load(d.TakePayload());
    if (value) payload >> *value;
    return d.GetKind();
  }
  // The int32 of the next frame, which must be a reply.
  int32_t ReadReply() {
    int32_t value = 0;
    EXPECT_EQ(ReadFrame(&value), RPC_FRAME_REPLY);
    return value;
  }

 private:
  std::unique_ptr<RawStream> m_stream;
};

#if defined(_WIN32)
// Who may use a folder or a pipe (opened for its security descriptor only), as SID text; "no
// DACL" if it has none (which would grant everyone everything).
std::set<std::string> GranteesOf(const std::string& path, DWORD flags, SE_OBJECT_TYPE type) {
  std::wstring w(path.begin(), path.end());
  HANDLE h = CreateFileW(w.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         flags, nullptr);
  PSECURITY_DESCRIPTOR sd = nullptr;
  PACL dacl = nullptr;
  if (h == INVALID_HANDLE_VALUE) return {"unreachable"};
  DWORD rc = GetSecurityInfo(h, type, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr, &sd);
  CloseHandle(h);
  if (rc != ERROR_SUCCESS) return {"unreadable"};
  std::set<std::string> out;
  if (dacl == nullptr) out.insert("no DACL");
  for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
    ACE_HEADER* ace = nullptr;
    LPSTR text = nullptr;
    if (GetAce(dacl, i, reinterpret_cast<void**>(&ace)) && ace->AceType == ACCESS_ALLOWED_ACE_TYPE) {
      const bool named = ConvertSidToStringSidA(&reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart, &text);
      out.insert(named ? text : "?");
      LocalFree(text);
    }
  }
  LocalFree(sd);
  return out;
}
#endif

}  // namespace

TEST(RpcTransport, RuntimeFolderIsOwnerOnlyAndUnsafeFoldersAreRefused) {
  // Ids that could escape the folder or are not plain names.
  for (const char16_t* bad : {u"", u"../x", u"a/b", u".hidden", u"caf\u00e9", u"a b",
                              u"0123456789012345678901234567890123456789012345678901234567890123456789"}) {
    EXPECT_EQ(CodeOf<CRPCError>([&] { CRPCClientHelper c(CComponentID(bad), nullptr); }),
              CRPCError::BAD_COMPONENT);
  }
  RuntimeDirScope rt;
#if defined(_WIN32)
  // Modes and links of the folder are POSIX matters; on Windows the folder's and the pipe's DACLs
  // stand for them: the user and SYSTEM ("S-1-5-18"), nobody else. The pipe's name carries the
  // user and, with MAILHOOK_RUNTIME_DIR, the folder: services with their own folders never meet.
  CRPCServer server(kComponent, PlusOne);
  const std::string pipe = server.GetSocketPath(), prefix = "\\\\.\\pipe\\mailhook-S-1-";
  ASSERT_EQ(pipe.rfind(prefix, 0), 0u) << pipe;
  // "mailhook-<user's SID>-<16 hex digits>-TEST_COMPONENT"
  const std::string user = pipe.substr(prefix.size() - 4, pipe.size() - prefix.size() + 4 - 32);
  const std::set<std::string> owners = {"S-1-5-18", user};
  EXPECT_EQ(GranteesOf(rt.Path(), FILE_FLAG_BACKUP_SEMANTICS, SE_FILE_OBJECT), owners);
  EXPECT_EQ(GranteesOf(server.GetSocketPath(), 0, SE_KERNEL_OBJECT), owners);
  {
    RuntimeDirScope other;
    CRPCClientHelper stranger(kComponent, nullptr);
    EXPECT_EQ(AskFailure(stranger), CRPCError::NOT_LISTENING);
  }
  CRPCClientHelper client(kComponent, nullptr);
  EXPECT_EQ(AskPlusOne(client, 1), 2);
#else
  {
    CRPCServer server(kComponent, PlusOne);
    struct stat st;
    ASSERT_EQ(lstat(rt.Path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(server.GetSocketPath(), rt.Path() + "/TEST_COMPONENT.sock");
    server.Stop();
    EXPECT_FALSE(std::filesystem::exists(server.GetSocketPath()));
  }
  // A symbolic link is refused even when it points at a safe folder.
  mhtest::TempDir other;
  std::string link = (other.Path() / "link").string();
  ASSERT_EQ(symlink(rt.Path().c_str(), link.c_str()), 0);
  EnvScope env("MAILHOOK_RUNTIME_DIR", link.c_str());
  EXPECT_EQ(CodeOf<CRPCError>([] { CRPCServer s(kComponent, PlusOne); }), CRPCError::RUNTIME_DIR);
#endif
}

#if !defined(_WIN32)  // users and /dev/shm are POSIX matters
// As uid 65533 with HOME args[0], without MAILHOOK_RUNTIME_DIR or XDG_RUNTIME_DIR: prepares the
// default runtime folder twice and tells the parent its path (both times the same, or "differ");
// exits 0, or 20 when refused with a message that says what to do (set MAILHOOK_RUNTIME_DIR).
MHTEST_CHILD(default_runtime_dir) {
  const uid_t other = 65533;
  if (setgroups(0, nullptr) != 0 || setgid(other) != 0 || setuid(other) != 0) return 100;
  unsetenv("MAILHOOK_RUNTIME_DIR");
  unsetenv("XDG_RUNTIME_DIR");
  setenv("HOME", args.at(0).c_str(), 1);
  try {
    const std::string path = IPC::PrepareRuntimeDir();
    mhtest::TellParent(IPC::PrepareRuntimeDir() == path ? path : "differ");
    return 0;
  } catch (const CRPCError& e) {
    if (e.GetCode() != CRPCError::RUNTIME_DIR) return 2;
    return std::string(e.what()).find("set MAILHOOK_RUNTIME_DIR") != std::string::npos ? 20 : 3;
  }
}

// Another local user makes the old default folder in /dev/shm first: the user's own folder in
// /run/user, where nobody else can make names, is used instead; without one, a folder in
// /dev/shm whose name nobody else can know (its key kept in the user's home). A home open to
// others cannot keep the key: the refusal says what to do.
TEST(RpcTransport, ADefaultFolderTakenByAnotherUserIsAvoided) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as two users";
  namespace fs = std::filesystem;
  const fs::path shm = "/dev/shm/mailhook-65533", run = "/run/user/65533";
  if (fs::exists(shm) || fs::exists(run)) GTEST_SKIP() << "the folders of uid 65533 are in use";
  mhtest::TempDir temp;
  const fs::path home = temp.Path() / "home";
  std::vector<fs::path> made;
  struct Cleanup {
    std::vector<fs::path>& made;
    bool base;
    ~Cleanup() {
      std::error_code ec;
      for (auto& p : made) fs::remove_all(p, ec);
      if (base) fs::remove("/run/user", ec);
    }
  } cleanup{made, !fs::exists("/run/user")};
  made = {shm, run};
  fs::permissions(temp.Path(), fs::perms(0755));
  ASSERT_EQ(mkdir(home.c_str(), 0755), 0);
  ASSERT_EQ(chown(home.c_str(), 65533, 65533), 0);
  ASSERT_EQ(mkdir(shm.c_str(), 0700), 0);  // root's: another user's for uid 65533
  auto prepare = [&](std::string& path) {
    mhtest::ChildProcess child("default_runtime_dir", {home.string()});
    path.clear();
    child.ReadLine(path);
    return child.Wait();
  };
  std::string path;
  fs::create_directories("/run/user");
  ASSERT_EQ(mkdir(run.c_str(), 0700), 0);
  ASSERT_EQ(chown(run.c_str(), 65533, 65533), 0);
  EXPECT_EQ(prepare(path), 0);
  EXPECT_EQ(path, (run / "mailhook").string());
  fs::remove_all(run);

  ASSERT_EQ(prepare(path), 0);
  made.push_back(path);
  EXPECT_EQ(path.rfind(shm.string() + "-", 0), 0u) << path;
  EXPECT_EQ(path.size(), shm.string().size() + 1 + 32) << path;
  struct stat st {};
  ASSERT_EQ(lstat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode) && st.st_uid == 65533u && (st.st_mode & 0777) == 0700u);
  ASSERT_EQ(lstat((home / ".mailhook" / "runtime-key").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode) && st.st_uid == 65533u && (st.st_mode & 0777) == 0600u);
  std::string again;
  EXPECT_EQ(prepare(again), 0);
  EXPECT_EQ(again, path);

  ASSERT_EQ(chmod(home.c_str(), 0777), 0);
  EXPECT_EQ(prepare(again), 20);
}
#endif

TEST(RpcTransport, AStaleSocketIsReplacedASecondServerOrAnUnsafeNameRefused) {
  RuntimeDirScope rt;
  CRPCClientHelper client(kComponent, nullptr);
  EXPECT_EQ(AskFailure(client), CRPCError::NOT_LISTENING);  // no folder yet
  {
    CRPCServer first(kComponent, PlusOne);
    EXPECT_EQ(AskPlusOne(client, 1), 2);  // the client connects after a failure
    EXPECT_EQ(CodeOf<CRPCError>([] { CRPCServer second(kComponent, PlusOne); }), CRPCError::ALREADY_SERVED);
    EXPECT_EQ(AskPlusOne(client, 2), 3);  // the refused server did not take the name away
  }
  // Its connection to the server that went away could not take the request: sent again on a
  // new one, it finds nobody listening.
  EXPECT_EQ(AskFailure(client), CRPCError::NOT_LISTENING);
#if !defined(_WIN32)  // a pipe's name goes with its last handle: nothing can be left behind
  // A socket file left by a server that died is replaced (a folder open to others is faults_test's).
  {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    IPC::SocketPath(kComponent).copy(addr.sun_path, sizeof(addr.sun_path) - 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    close(fd);
  }
  EXPECT_EQ(AskFailure(client), CRPCError::NOT_LISTENING);
  {
    CRPCServer replacing(kComponent, PlusOne);
    EXPECT_EQ(AskPlusOne(client, 4), 5);
  }
  // Anything but a socket under the name is left alone.
  { std::ofstream(IPC::SocketPath(kComponent)) << "not a socket"; }
  EXPECT_EQ(CodeOf<CRPCError>([] { CRPCServer s(kComponent, PlusOne); }), CRPCError::RUNTIME_DIR);
  EXPECT_TRUE(std::filesystem::is_regular_file(IPC::SocketPath(kComponent)));
#endif
}

// A request still in the handler holds up no other client; a handler's failure comes back with
// its text and the connection goes on; a large message crosses in pieces.
TEST(RpcTransport, ServesClientsAtOnceReportsHandlerFailuresAndCarriesLargeMessages) {
  RuntimeDirScope rt;
  std::promise<void> entered, release;
  std::shared_future<void> released = release.get_future().share();
  CRPCServer server(kComponent, [&](const CIPCMsgBuffer& request, CIPCMsgBuffer& reply) {
    if (request.PeekTag() == CIPCMsgBuffer::TAG_WSTRING) {
      OS::x_wstring s;
      request >> s;
      reply << s << static_cast<uint32_t>(s.size());
      return;
    }
    int32_t v = 0;
    request >> v;  // a request of another shape raises CIPCError here
    if (v < 0) {   // the blocking request: waits until the test lets it go
      entered.set_value();
      released.wait();
    }
    reply << v + 1;
  });
  CRPCClientHelper blocked(kComponent, nullptr);
  int32_t blockedAnswer = 0;
  std::thread t([&] { blockedAnswer = AskPlusOne(blocked, -1); });
  entered.get_future().wait();
  CRPCClientHelper other(kComponent, nullptr);
  EXPECT_EQ(AskPlusOne(other, 41), 42);
  release.set_value();
  t.join();
  EXPECT_EQ(blockedAnswer, 0);

  CIPCMsgBuffer request, reply;
  request << uint32_t{1};
  try {
    blocked.SendRequest(request, reply);
    FAIL() << "handler failure not reported";
  } catch (const CRPCError& e) {
    EXPECT_EQ(e.GetCode(), CRPCError::REMOTE_FAILURE);
    EXPECT_NE(std::string(e.what()).find("uint32"), std::string::npos) << e.what();
  }
  OS::x_wstring big(1 << 20, u'q'), back;
  big[12345] = u'\u20ac';
  request.Clear();
  request << big;
  blocked.SendRequest(request, reply);
  uint32_t size = 0;
  reply >> back >> size;
  EXPECT_EQ(back, big);
  EXPECT_EQ(size, big.size());
  EXPECT_EQ(server.GetConnectionCount(), 2u);
}

TEST(RpcTransport, ServerSurvivesHostileClientsAnswersPipelinedRequestsAndStopsWithPeersConnected) {
  RuntimeDirScope rt;
  CRPCServer server(kComponent, PlusOne);
  const std::string& path = server.GetSocketPath();
  { RawPeer vanishing(path); }
  // Each ends its connection: not the protocol, over the limit, a reply where a request goes.
  for (const std::string& bad :
       {std::string("GET / HTTP/1.0\r\n\r\n"), Frame(RPC_FRAME_REQUEST, kRpcMaxFramePayload + 1),
        Frame(RPC_FRAME_REPLY, 0)}) {
    RawPeer peer(path);
    peer.Send(bad);
    EXPECT_TRUE(peer.SeesEndOfStream()) << bad.size() << " bytes";
  }
  RawPeer(path).Send(Frame(RPC_FRAME_REQUEST, 100, "0123456789"));  // gone mid-frame
  {
    // A well-framed request whose items are garbage gets an error reply, not a dropped line;
    // two requests in one write are answered in order.
    RawPeer peer(path);
    peer.Send(Frame(RPC_FRAME_REQUEST, 3, "\x07\x07\x07") + RequestFrame(10) + RequestFrame(20));
    EXPECT_EQ(peer.ReadFrame(), RPC_FRAME_ERROR);
    EXPECT_EQ(peer.ReadReply(), 11);
    EXPECT_EQ(peer.ReadReply(), 21);
  }
  RawPeer halfFrame(path);
  halfFrame.Send(Frame(RPC_FRAME_REQUEST, 100, "01234"));
  CRPCClientHelper good(kComponent, nullptr);
  EXPECT_EQ(AskPlusOne(good, 9), 10);
  // Stop wakes the connection still waiting for the rest of its frame, and closes it.
  server.Stop();
  EXPECT_TRUE(halfFrame.SeesEndOfStream());
  EXPECT_EQ(AskFailure(good), CRPCError::NOT_LISTENING);  // its connection gone, and no other to be had
}

// A peer that starts a frame and stops, or sends it a byte now and then, loses its connection
// (thread and buffer) once the time-out has passed since the frame began; an idle peer, between
// frames, keeps its connection however long it waits.
TEST(RpcTransport, FramesLeftUnfinishedAreDroppedAfterTheTimeOut) {
  RuntimeDirScope rt;
  EnvScope timeout("MAILHOOK_RPC_TIMEOUT_MS", "300");
  CRPCServer server(kComponent, PlusOne);
  const std::string& path = server.GetSocketPath();
  RawPeer idle(path);
  std::vector<std::unique_ptr<RawPeer>> stalled;
  for (int i = 0; i < 8; ++i) {
    stalled.push_back(std::make_unique<RawPeer>(path));
    // Inside the header, or inside a large payload.
    stalled.back()->Send(i % 2 ? Frame(RPC_FRAME_REQUEST, 8u << 20, std::string(256 << 10, 'x'))
                               : std::string("MHRP\x01\x00", 6));
  }
  for (auto& peer : stalled) EXPECT_TRUE(peer->SeesEndOfStream());
  // Each byte well inside the time-out, the whole frame far past it: a deadline that started
  // again with each byte would let the frame in, and the peer would get an answer.
  RawPeer trickling(path);
  trickling.Trickle(Frame(RPC_FRAME_REQUEST, 60, std::string(60, 'x')), std::chrono::milliseconds(25));
  EXPECT_TRUE(trickling.SeesEndOfStream());
  CRPCClientHelper good(kComponent, nullptr);
  EXPECT_EQ(AskPlusOne(good, 1), 2);
  // Waited through the stalled peers' time-outs and is still served.
  idle.Send(RequestFrame(41));
  EXPECT_EQ(idle.ReadReply(), 42);
}

// Connections that only wait cannot keep a new peer out: at the limit the one that has waited
// longest is closed to make room, and told so; a client whose connection went that way sends its
// next request on a new one, unaware. A connection whose request is under way is never closed:
// with every held connection busy, the newcomer is the one closed. The handler learns each
// request's connection and process, and hears of each connection's end.
TEST(RpcTransport, AtTheLimitTheLongestWaitingConnectionMakesRoomAndBusyOnesStay) {
  RuntimeDirScope rt;
#if defined(_WIN32)
  const uint32_t self = GetCurrentProcessId();
#else
  const uint32_t self = static_cast<uint32_t>(getpid());
#endif
  std::mutex lock;
  std::condition_variable changed;
  std::vector<CRPCPeer> served, closed;
  int blocked = 0;
  bool release = false;
  // Waits (10 s at most) until done() holds under the lock.
  auto until = [&](const std::function<bool()>& done) {
    std::unique_lock guard(lock);
    return changed.wait_for(guard, std::chrono::seconds(10), done);
  };
  CRPCServer::Options options;
  options.maxConnections = 3;
  options.onClosed = [&](const CRPCPeer& peer) {
    std::lock_guard guard(lock);
    closed.push_back(peer);
    changed.notify_all();
  };
  CRPCServer server(
      kComponent,
      [&](const CRPCPeer& peer, const CIPCMsgBuffer& request, CIPCMsgBuffer& reply) {
        int32_t v = 0;
        request >> v;
        std::unique_lock guard(lock);
        served.push_back(peer);
        if (v < 0) {
          ++blocked;
          changed.notify_all();
          changed.wait(guard, [&] { return release; });
        }
        reply << v + 1;
      },
      options);
  const std::string& path = server.GetSocketPath();

  std::vector<std::unique_ptr<RawPeer>> waiting;
  for (size_t i = 1; i <= 3; ++i) {
    waiting.push_back(std::make_unique<RawPeer>(path));
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
         server.GetConnectionCount() < i && std::chrono::steady_clock::now() < deadline;)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_EQ(server.GetConnectionCount(), i);
  }
  auto client = std::make_unique<CRPCClientHelper>(kComponent, nullptr);
  EXPECT_EQ(AskPlusOne(*client, 1), 2);
  EXPECT_EQ(waiting[0]->ReadFrame(), RPC_FRAME_CLOSING);
  EXPECT_TRUE(waiting[0]->SeesEndOfStream());
  EXPECT_TRUE(until([&] { return closed.size() == 1; }));
  waiting[1]->Send(RequestFrame(5));
  EXPECT_EQ(waiting[1]->ReadReply(), 6);
  // Two newcomers: waiting[2] has waited longest, then the client.
  waiting.push_back(std::make_unique<RawPeer>(path));
  EXPECT_EQ(waiting[2]->ReadFrame(), RPC_FRAME_CLOSING);
  waiting.push_back(std::make_unique<RawPeer>(path));
  ASSERT_TRUE(until([&] { return closed.size() == 3; }));
  EXPECT_EQ(AskPlusOne(*client, 7), 8);
  EXPECT_EQ(waiting[1]->ReadFrame(), RPC_FRAME_CLOSING);
  {
    std::lock_guard guard(lock);
    ASSERT_EQ(served.size(), 3u);
    for (const CRPCPeer& peer : served) EXPECT_EQ(peer.process, self);
    EXPECT_NE(served[0].connection, served[1].connection);
    EXPECT_NE(served[0].connection, served[2].connection);
    // The client's first connection made room (the threads report their ends in any order).
    EXPECT_TRUE(std::any_of(closed.begin(), closed.end(),
                            [&](const CRPCPeer& c) { return c.connection == served[0].connection; }));
  }
  EXPECT_TRUE(server.IsProcessConnected(self));

  // Every held connection in the middle of a request: the newcomer is the one closed.
  std::thread asking([&] { EXPECT_EQ(AskPlusOne(*client, -1), 0); });
  waiting[3]->Send(RequestFrame(-2));
  waiting[4]->Send(RequestFrame(-3));
  ASSERT_TRUE(until([&] { return blocked == 3; }));
  CRPCClientHelper late(kComponent, nullptr);
  EXPECT_EQ(AskFailure(late), CRPCError::PEER_CLOSED);
  {
    std::lock_guard guard(lock);
    release = true;
    changed.notify_all();
  }
  asking.join();
  EXPECT_EQ(waiting[3]->ReadReply(), -1);
  EXPECT_EQ(waiting[4]->ReadReply(), -2);

  // Once every connection of this process is closed, the server says so at once, whether or
  // not their threads have noticed yet.
  waiting.clear();
  client.reset();
  EXPECT_FALSE(server.IsProcessConnected(self));
}

TEST(RpcTransport, ClientRefusesMalformedReplies) {
  RuntimeDirScope rt;
  std::string path = IPC::SocketPath(kComponent);
  IPC::PrepareRuntimeDir();
  std::unique_ptr<RawListener> listener = RawListener::Listen(path);
  ASSERT_NE(listener, nullptr);
  const std::string okPayload("\x01\x05\x00\x00\x00", 5);
  // What a broken service answers, one connection each, and what the client must make of it.
  const std::vector<std::pair<std::string, int>> cases = {
      {"HTTP/1.0 200 OK\r\n\r\n", CRPCError::PROTOCOL},
      {Frame(RPC_FRAME_REQUEST, 5, okPayload), CRPCError::PROTOCOL},
      {Frame(RPC_FRAME_REPLY, 5, okPayload) + "extra", CRPCError::PROTOCOL},
      {Frame(RPC_FRAME_REPLY, kRpcMaxFramePayload + 1), CRPCError::PROTOCOL},
      {Frame(RPC_FRAME_REPLY, 100, "cut short"), CRPCError::PEER_CLOSED},
      {Frame(RPC_FRAME_REPLY, 5, okPayload), 0},
  };
  std::thread service([&] {
    for (const auto& c : cases) {
      std::unique_ptr<RawStream> peer = listener->Accept();
      if (!peer) return;
      char buf[256];
      (void)peer->Recv(buf, sizeof(buf));  // the request: one small frame
      (void)peer->Send(c.first.data(), c.first.size());
    }
  });
  CRPCClientHelper client(kComponent, nullptr);
  for (const auto& c : cases)
    EXPECT_EQ(CodeOf<CRPCError>([&] { EXPECT_EQ(AskPlusOne(client, 4), 5); }), c.second)
        << "answer " << c.first.size() << " bytes";
  service.join();

  // A reply that comes a byte at a time, each byte well inside the time-out: the client gives up
  // at the time-out, however many pieces have come meanwhile.
  EnvScope timeout("MAILHOOK_RPC_TIMEOUT_MS", "300");
  CRPCClientHelper hasty(kComponent, nullptr);
  std::thread slow([&] {
    std::unique_ptr<RawStream> peer = listener->Accept();
    char request[256];
    if (peer && peer->Recv(request, sizeof request) > 0)
      Trickle(*peer, Frame(RPC_FRAME_REPLY, 5, okPayload), std::chrono::milliseconds(100));
  });
  EXPECT_EQ(AskFailure(hasty), CRPCError::TIMEOUT);
  slow.join();

  // A reply in pieces leaves the next request on the same connection its whole time-out, not
  // what was left of the last one's: here 1 s of 2 s, then a reply 1.5 s late.
  EnvScope longer("MAILHOOK_RPC_TIMEOUT_MS", "2000");
  CRPCClientHelper patient(kComponent, nullptr);
  std::thread pieces([&] {
    using std::chrono::milliseconds;
    std::unique_ptr<RawStream> peer = listener->Accept();
    const std::string answer = Frame(RPC_FRAME_REPLY, 5, okPayload);
    char request[256];
    if (!peer || peer->Recv(request, sizeof request) <= 0) return;
    const size_t cuts[] = {0, 6, 7, answer.size()};
    for (size_t i = 1; i < std::size(cuts); ++i) {
      (void)peer->Send(answer.data() + cuts[i - 1], cuts[i] - cuts[i - 1]);
      std::this_thread::sleep_for(milliseconds(i == 1 ? 1000 : 100));
    }
    if (peer->Recv(request, sizeof request) <= 0) return;
    std::this_thread::sleep_for(milliseconds(1500));
    (void)peer->Send(answer.data(), answer.size());
  });
  for (int i = 0; i < 2; ++i)
    EXPECT_EQ(CodeOf<CRPCError>([&] { EXPECT_EQ(AskPlusOne(patient, 4), 5); }), 0) << i;
  pieces.join();
}
