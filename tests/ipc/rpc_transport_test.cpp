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

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "ipc/raw_stream.h"
#include "ipc/rpc.h"
#include "ipc/rpc_frame.h"
#include "ipc/runtime_dir_scope.h"

namespace {

const CComponentID kComponent(u"TEST_COMPONENT");

// The CRPCError code a call raised, 0 if none.
template <typename F>
int RpcFailure(F call) {
  try {
    call();
  } catch (const CRPCError& e) {
    return e.GetCode();
  }
  return 0;
}

int32_t AskPlusOne(CRPCClientHelper& client, int32_t value) {
  CIPCMsgBuffer request, reply;
  request << value;
  client.SendRequest(request, reply);
  int32_t answer = 0;
  reply >> answer;
  EXPECT_TRUE(reply.AtEnd());
  return answer;
}

void PlusOne(const CIPCMsgBuffer& request, CIPCMsgBuffer& reply) {
  int32_t v = 0;
  request >> v;
  reply << v + 1;
}

// A raw peer of the server (its watchdog turns a server that never answers into a failure).
class RawPeer {
 public:
  explicit RawPeer(const std::string& path) : m_stream(RawStream::Connect(path)) {
    EXPECT_NE(m_stream, nullptr) << "cannot connect to " << path;
  }
  explicit RawPeer(std::unique_ptr<RawStream> stream) : m_stream(std::move(stream)) {}
  void Close() {
    if (m_stream) m_stream->Close();
  }
  void Send(const void* data, size_t size) { ASSERT_TRUE(m_stream && m_stream->Send(data, size)); }
  void SendHeader(uint32_t kind, uint32_t length) {
    uint8_t header[kRpcFrameHeaderSize];
    EncodeRpcFrameHeader(header, static_cast<RpcFrameKind>(kind), length);
    Send(header, sizeof(header));
  }
  // True when the server closed the connection (end of stream) rather than the watchdog firing.
  bool SeesEndOfStream() {
    char c;
    return m_stream && m_stream->Recv(&c, 1) == 0;
  }
  // Reads one whole frame, byte by byte so that nothing of the next frame is taken.
  RpcFrameKind ReadFrame(std::vector<uint8_t>& payload) {
    CRpcFrameDecoder d;
    uint8_t byte;
    while (m_stream && d.GetStatus() == CRpcFrameDecoder::NEED_MORE && m_stream->Recv(&byte, 1) == 1)
      d.Feed(&byte, 1);
    EXPECT_EQ(d.GetStatus(), CRpcFrameDecoder::FRAME_READY);
    payload = d.TakePayload();
    return d.GetKind();
  }
  RawStream* Stream() { return m_stream.get(); }

 private:
  std::unique_ptr<RawStream> m_stream;
};

#if defined(_WIN32)
std::string SidText(PSID sid) {
  LPSTR text = nullptr;
  if (!ConvertSidToStringSidA(sid, &text)) return "?";
  std::string out(text);
  LocalFree(text);
  return out;
}

// Who a security descriptor's DACL grants anything to, as SID text; "no DACL" if it has none
// (which would grant everyone everything).
std::set<std::string> Grantees(PSECURITY_DESCRIPTOR sd, PACL dacl) {
  std::set<std::string> out;
  if (dacl == nullptr) out.insert("no DACL");
  for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
    ACE_HEADER* ace = nullptr;
    if (GetAce(dacl, i, reinterpret_cast<void**>(&ace)) && ace->AceType == ACCESS_ALLOWED_ACE_TYPE)
      out.insert(SidText(&reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart));
  }
  LocalFree(sd);
  return out;
}

std::set<std::string> FolderGrantees(const std::string& path) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  PACL dacl = nullptr;
  std::wstring w(path.begin(), path.end());
  if (GetNamedSecurityInfoW(w.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                            nullptr, &sd) != ERROR_SUCCESS)
    return {"unreadable"};
  return Grantees(sd, dacl);
}

std::set<std::string> PipeGrantees(const std::string& name) {
  std::wstring w(name.begin(), name.end());
  HANDLE h = CreateFileW(w.c_str(), READ_CONTROL, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return {"unreachable"};
  PSECURITY_DESCRIPTOR sd = nullptr;
  PACL dacl = nullptr;
  DWORD rc =
      GetSecurityInfo(h, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr, &sd);
  CloseHandle(h);
  return rc == ERROR_SUCCESS ? Grantees(sd, dacl) : std::set<std::string>{"unreadable"};
}

std::string ThisUser() {
  HANDLE token = nullptr;
  OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
  BYTE buf[256];
  DWORD size = 0;
  bool ok = GetTokenInformation(token, TokenUser, buf, sizeof buf, &size);
  CloseHandle(token);
  return ok ? SidText(reinterpret_cast<TOKEN_USER*>(buf)->User.Sid) : "?";
}
#endif

}  // namespace

TEST(RpcTransport, RuntimeFolderIsOwnerOnlyAndUnsafeFoldersAreRefused) {
  // Ids that could escape the folder or are not plain names.
  for (const char16_t* bad : {u"", u"../x", u"a/b", u".hidden", u"caf\u00e9", u"a b",
                              u"0123456789012345678901234567890123456789012345678901234567890123456789"}) {
    EXPECT_EQ(RpcFailure([&] { CRPCClientHelper c(CComponentID(bad), nullptr); }), CRPCError::BAD_COMPONENT);
  }

#if defined(_WIN32)
  // Modes and links of the folder are POSIX matters; on Windows the folder's and the pipe's DACLs
  // stand for them. The pipe's name carries the user and, with MAILHOOK_RUNTIME_DIR, the folder:
  // services with their own folders never meet.
  RuntimeDirScope rt;
  CRPCServer server(kComponent, PlusOne);
  EXPECT_TRUE(std::filesystem::is_directory(rt.Path()));
  // The folder and the pipe admit the user and SYSTEM ("S-1-5-18"), nobody else.
  const std::set<std::string> owners = {"S-1-5-18", ThisUser()};
  EXPECT_EQ(FolderGrantees(rt.Path()), owners);
  EXPECT_EQ(PipeGrantees(server.GetSocketPath()), owners);
  EXPECT_EQ(server.GetSocketPath().rfind("\\\\.\\pipe\\mailhook-S-1-", 0), 0u) << server.GetSocketPath();
  EXPECT_EQ(server.GetSocketPath(), IPC::SocketPath(kComponent));
  {
    RuntimeDirScope other;
    EXPECT_NE(IPC::SocketPath(kComponent), server.GetSocketPath());
    CRPCClientHelper stranger(kComponent, nullptr);
    EXPECT_EQ(RpcFailure([&] { AskPlusOne(stranger, 1); }), CRPCError::NOT_LISTENING);
  }
  CRPCClientHelper client(kComponent, nullptr);
  EXPECT_EQ(AskPlusOne(client, 1), 2);
#else
  RuntimeDirScope rt;
  {
    CRPCServer server(kComponent, PlusOne);
    struct stat st;
    ASSERT_EQ(lstat(rt.Path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(server.GetSocketPath(), rt.Path() + "/TEST_COMPONENT.sock");
    EXPECT_TRUE(std::filesystem::exists(server.GetSocketPath()));
    server.Stop();
    EXPECT_FALSE(std::filesystem::exists(server.GetSocketPath()));
  }

  ASSERT_EQ(chmod(rt.Path().c_str(), 0750), 0);
  EXPECT_EQ(RpcFailure([] { CRPCServer s(kComponent, PlusOne); }), CRPCError::RUNTIME_DIR);
  CRPCClientHelper client(kComponent, u"test");
  EXPECT_EQ(RpcFailure([&] { AskPlusOne(client, 1); }), CRPCError::RUNTIME_DIR);
  ASSERT_EQ(chmod(rt.Path().c_str(), 0700), 0);

  // A symbolic link is refused even when it points at a safe folder.
  mhtest::TempDir other;
  std::string link = (other.Path() / "link").string();
  ASSERT_EQ(symlink(rt.Path().c_str(), link.c_str()), 0);
  {
    EnvScope env("MAILHOOK_RUNTIME_DIR", link.c_str());
    EXPECT_EQ(RpcFailure([] { CRPCServer s(kComponent, PlusOne); }), CRPCError::RUNTIME_DIR);
  }
#endif
}

#if !defined(_WIN32)  // users and /dev/shm are POSIX matters
// As uid 65533, with neither MAILHOOK_RUNTIME_DIR nor XDG_RUNTIME_DIR: prepares the default
// runtime folder. 0 when it is args[0]; 20 when it is refused with a message that says what to
// do (set MAILHOOK_RUNTIME_DIR); anything else is wrong.
MHTEST_CHILD(default_runtime_dir) {
  const uid_t other = 65533;
  if (setgroups(0, nullptr) != 0 || setgid(other) != 0 || setuid(other) != 0) return 100;
  unsetenv("MAILHOOK_RUNTIME_DIR");
  unsetenv("XDG_RUNTIME_DIR");
  try {
    return IPC::PrepareRuntimeDir() == args.at(0) ? 0 : 1;
  } catch (const CRPCError& e) {
    if (e.GetCode() != CRPCError::RUNTIME_DIR) return 2;
    return std::string(e.what()).find("set MAILHOOK_RUNTIME_DIR") != std::string::npos ? 20 : 3;
  }
}

// Another local user makes the default folder in /dev/shm first: the user's own folder in
// /run/user, where nobody else can make names, is used instead; without one, the refusal says
// what to do.
TEST(RpcTransport, ADefaultFolderTakenByAnotherUserIsAvoidedOrExplained) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as two users";
  namespace fs = std::filesystem;
  const fs::path shm = "/dev/shm/mailhook-65533", run = "/run/user/65533";
  if (fs::exists(shm) || fs::exists(run)) GTEST_SKIP() << "the folders of uid 65533 are in use";
  const bool madeRunUser = !fs::exists("/run/user");
  struct Cleanup {
    fs::path a, b;
    bool base;
    ~Cleanup() {
      std::error_code ec;
      fs::remove_all(a, ec);
      fs::remove_all(b, ec);
      if (base) fs::remove("/run/user", ec);
    }
  } cleanup{shm, run, madeRunUser};
  ASSERT_EQ(mkdir(shm.c_str(), 0700), 0);  // root's: another user's for uid 65533
  fs::create_directories("/run/user");
  ASSERT_EQ(mkdir(run.c_str(), 0700), 0);
  ASSERT_EQ(chown(run.c_str(), 65533, 65533), 0);
  EXPECT_EQ(mhtest::RunChild("default_runtime_dir", {(run / "mailhook").string()}), 0);
  fs::remove_all(run);
  EXPECT_EQ(mhtest::RunChild("default_runtime_dir", {shm.string()}), 20);
}
#endif

TEST(RpcTransport, NotListeningStaleSocketsAndASecondServer) {
  RuntimeDirScope rt;
  CRPCClientHelper client(kComponent, nullptr);
  EXPECT_EQ(RpcFailure([&] { AskPlusOne(client, 1); }), CRPCError::NOT_LISTENING);  // no folder yet

  {
    CRPCServer first(kComponent, PlusOne);
    EXPECT_EQ(AskPlusOne(client, 1), 2);  // the client connects after a failure
    EXPECT_EQ(RpcFailure([] { CRPCServer second(kComponent, PlusOne); }), CRPCError::ALREADY_SERVED);
    EXPECT_EQ(AskPlusOne(client, 2), 3);  // the refused server did not take the name away
  }
  // The open connection learns that its server went away; the next request finds nobody.
  EXPECT_EQ(RpcFailure([&] { AskPlusOne(client, 1); }), CRPCError::PEER_CLOSED);
  EXPECT_EQ(RpcFailure([&] { AskPlusOne(client, 1); }), CRPCError::NOT_LISTENING);

#if !defined(_WIN32)  // a pipe's name goes with its last handle: nothing can be left behind
  // A socket file left by a server that died is replaced.
  std::string path = IPC::SocketPath(kComponent);
  int stale = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
  ASSERT_EQ(bind(stale, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  close(stale);
  EXPECT_EQ(RpcFailure([&] { AskPlusOne(client, 1); }), CRPCError::NOT_LISTENING);
  {
    CRPCServer replacing(kComponent, PlusOne);
    EXPECT_EQ(AskPlusOne(client, 4), 5);
  }

  // Anything but a socket under the name is left alone.
  { std::ofstream(path) << "not a socket"; }
  EXPECT_EQ(RpcFailure([] { CRPCServer s(kComponent, PlusOne); }), CRPCError::RUNTIME_DIR);
  EXPECT_TRUE(std::filesystem::is_regular_file(path));
#endif
}

TEST(RpcTransport, ServesManyClientsAtOnce) {
  RuntimeDirScope rt;
  std::mutex m;
  std::condition_variable cv;
  bool entered = false, released = false;
  CRPCServer server(kComponent, [&](const CIPCMsgBuffer& request, CIPCMsgBuffer& reply) {
    int32_t v = 0;
    request >> v;
    if (v < 0) {  // the blocking request: waits until the test lets it go
      std::unique_lock<std::mutex> lk(m);
      entered = true;
      cv.notify_all();
      cv.wait(lk, [&] { return released; });
    }
    reply << v + 1;
  });

  CRPCClientHelper blocked(kComponent, nullptr);
  int32_t blockedAnswer = 0;
  std::thread t([&] { blockedAnswer = AskPlusOne(blocked, -1); });
  {
    std::unique_lock<std::mutex> lk(m);
    cv.wait(lk, [&] { return entered; });
  }
  // Another client is answered while the first one's request is still in the handler.
  CRPCClientHelper other(kComponent, nullptr);
  EXPECT_EQ(AskPlusOne(other, 41), 42);
  {
    std::lock_guard<std::mutex> lk(m);
    released = true;
  }
  cv.notify_all();
  t.join();
  EXPECT_EQ(blockedAnswer, 0);

  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int k = 0; k < 4; ++k) {
    threads.emplace_back([&, k] {
      CRPCClientHelper c(kComponent, nullptr);
      for (int32_t i = 0; i < 200; ++i)
        if (AskPlusOne(c, k * 1000 + i) != k * 1000 + i + 1) ++wrong;
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST(RpcTransport, HandlerFailureComesBackAndLargeMessagesCrossInPieces) {
  RuntimeDirScope rt;
  CRPCServer server(kComponent, [](const CIPCMsgBuffer& request, CIPCMsgBuffer& reply) {
    OS::x_wstring s;
    request >> s;  // a request of another shape raises CIPCError here
    reply << s << static_cast<uint32_t>(s.size());
  });
  CRPCClientHelper client(kComponent, nullptr);
  try {
    AskPlusOne(client, 1);
    FAIL() << "handler failure not reported";
  } catch (const CRPCError& e) {
    EXPECT_EQ(e.GetCode(), CRPCError::REMOTE_FAILURE);
    EXPECT_NE(std::string(e.what()).find("wide string"), std::string::npos) << e.what();
  }
  // The same connection goes on.
  OS::x_wstring big(1 << 20, u'q');
  big[12345] = u'\u20ac';
  CIPCMsgBuffer request, reply;
  request << big;
  client.SendRequest(request, reply);
  OS::x_wstring back;
  uint32_t size = 0;
  reply >> back >> size;
  EXPECT_EQ(back, big);
  EXPECT_EQ(size, big.size());
  EXPECT_EQ(server.GetConnectionCount(), 1u);
}

TEST(RpcTransport, ServerSurvivesHostileClientsAndStopsWithThemConnected) {
  RuntimeDirScope rt;
  CRPCServer server(kComponent, PlusOne);
  const std::string& path = server.GetSocketPath();

  { RawPeer vanishing(path); }
  {
    RawPeer garbage(path);
    const char text[] = "GET / HTTP/1.0\r\n\r\n";
    garbage.Send(text, sizeof(text) - 1);
    EXPECT_TRUE(garbage.SeesEndOfStream());
  }
  {
    RawPeer oversize(path);
    oversize.SendHeader(RPC_FRAME_REQUEST, kRpcMaxFramePayload + 1);
    EXPECT_TRUE(oversize.SeesEndOfStream());
  }
  {
    RawPeer wrongKind(path);
    wrongKind.SendHeader(RPC_FRAME_REPLY, 0);
    EXPECT_TRUE(wrongKind.SeesEndOfStream());
  }
  {
    RawPeer truncated(path);
    truncated.SendHeader(RPC_FRAME_REQUEST, 100);
    truncated.Send("0123456789", 10);
  }
  {
    // A well-framed request whose items are garbage gets an error reply, not a dropped line.
    RawPeer badItems(path);
    badItems.SendHeader(RPC_FRAME_REQUEST, 3);
    badItems.Send("\x07\x07\x07", 3);
    std::vector<uint8_t> payload;
    EXPECT_EQ(badItems.ReadFrame(payload), RPC_FRAME_ERROR);
    EXPECT_FALSE(payload.empty());
  }
  RawPeer halfFrame(path);
  halfFrame.SendHeader(RPC_FRAME_REQUEST, 100);
  halfFrame.Send("01234", 5);

  CRPCClientHelper good(kComponent, nullptr);
  EXPECT_EQ(AskPlusOne(good, 9), 10);

  // Stop wakes the connection still waiting for the rest of its frame, and closes it.
  server.Stop();
  EXPECT_TRUE(halfFrame.SeesEndOfStream());
  EXPECT_EQ(RpcFailure([&] { AskPlusOne(good, 9); }), CRPCError::PEER_CLOSED);
}

// A peer that starts a frame and stops loses its connection (thread and buffer) once the
// time-out has passed; an idle peer, between frames, keeps its connection however long it waits.
TEST(RpcTransport, FramesLeftUnfinishedAreDroppedAfterTheTimeOut) {
  RuntimeDirScope rt;
  EnvScope timeout("MAILHOOK_RPC_TIMEOUT_MS", "300");
  CRPCServer server(kComponent, PlusOne);
  const std::string& path = server.GetSocketPath();

  RawPeer idle(path);
  std::vector<std::unique_ptr<RawPeer>> stalled;
  for (int i = 0; i < 8; ++i) {
    stalled.push_back(std::make_unique<RawPeer>(path));
    if (i % 2 == 0) {
      stalled.back()->Send("MHRP\x01\x00", 6);  // inside the header
    } else {
      stalled.back()->SendHeader(RPC_FRAME_REQUEST, 8u << 20);  // inside a large payload
      std::vector<char> part(256 << 10, 'x');
      stalled.back()->Send(part.data(), part.size());
    }
  }
  for (auto& peer : stalled) EXPECT_TRUE(peer->SeesEndOfStream());

  CRPCClientHelper good(kComponent, nullptr);
  EXPECT_EQ(AskPlusOne(good, 1), 2);
  // Waited through the stalled peers' time-outs and is still served.
  CIPCMsgBuffer request;
  request << int32_t{41};
  idle.SendHeader(RPC_FRAME_REQUEST, static_cast<uint32_t>(request.GetSize()));
  idle.Send(request.GetData(), request.GetSize());
  std::vector<uint8_t> payload;
  ASSERT_EQ(idle.ReadFrame(payload), RPC_FRAME_REPLY);
  CIPCMsgBuffer reply;
  reply.Load(std::move(payload));
  int32_t answer = 0;
  reply >> answer;
  EXPECT_EQ(answer, 42);
}

TEST(RpcTransport, PipelinedRequestsAreAnsweredInOrder) {
  RuntimeDirScope rt;
  CRPCServer server(kComponent, PlusOne);
  RawPeer peer(server.GetSocketPath());
  std::vector<uint8_t> stream;
  for (int32_t v : {10, 20}) {
    CIPCMsgBuffer b;
    b << v;
    uint8_t header[kRpcFrameHeaderSize];
    EncodeRpcFrameHeader(header, RPC_FRAME_REQUEST, static_cast<uint32_t>(b.GetSize()));
    stream.insert(stream.end(), header, header + sizeof(header));
    stream.insert(stream.end(), b.GetData(), b.GetData() + b.GetSize());
  }
  peer.Send(stream.data(), stream.size());  // both requests in one write
  for (int32_t expected : {11, 21}) {
    std::vector<uint8_t> payload;
    ASSERT_EQ(peer.ReadFrame(payload), RPC_FRAME_REPLY);
    CIPCMsgBuffer reply;
    reply.Load(std::move(payload));
    int32_t v = 0;
    reply >> v;
    EXPECT_EQ(v, expected);
  }
}

TEST(RpcTransport, ClientRefusesMalformedReplies) {
  RuntimeDirScope rt;
  std::string path = IPC::SocketPath(kComponent);
  IPC::PrepareRuntimeDir();
  std::unique_ptr<RawListener> listener = RawListener::Listen(path);
  ASSERT_NE(listener, nullptr);

  auto frame = [](uint32_t kind, uint32_t length, const std::string& payload) {
    uint8_t header[kRpcFrameHeaderSize];
    EncodeRpcFrameHeader(header, static_cast<RpcFrameKind>(kind), length);
    return std::string(reinterpret_cast<char*>(header), sizeof(header)) + payload;
  };
  const std::string okPayload("\x01\x05\x00\x00\x00", 5);
  // What a broken service answers, one connection each, and what the client must make of it.
  std::vector<std::pair<std::string, int>> cases = {
      {"HTTP/1.0 200 OK\r\n\r\n", CRPCError::PROTOCOL},
      {frame(RPC_FRAME_REQUEST, 5, okPayload), CRPCError::PROTOCOL},
      {frame(RPC_FRAME_REPLY, 5, okPayload) + "extra", CRPCError::PROTOCOL},
      {frame(RPC_FRAME_REPLY, kRpcMaxFramePayload + 1, ""), CRPCError::PROTOCOL},
      {frame(RPC_FRAME_REPLY, 100, "cut short"), CRPCError::PEER_CLOSED},
      {frame(RPC_FRAME_REPLY, 5, okPayload), 0},
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
  for (const auto& c : cases) {
    int code = RpcFailure([&] { EXPECT_EQ(AskPlusOne(client, 4), 5); });
    EXPECT_EQ(code, c.second) << "answer " << c.first.size() << " bytes";
  }
  service.join();
}
