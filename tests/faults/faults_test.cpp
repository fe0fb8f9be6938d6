// Faults injected into a running `mailhook service` and `mailhook hook`: a service killed or
// stopped between the steps of a request, a hook killed while it holds resources, a disk that
// fills while content grows, backing files cut short, deleted or replaced by another process,
// folders and files with the wrong owner or mode, and a second user trying to get in.
//
// For every fault: the surviving process does not crash, no request hangs past the time-out,
// every message either comes back verified (the hook checks the digests of each round trip) or
// is reported as failed with a clear reason, and the next message is served.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include <mailhook/mh_MailRecords.h>

#include "api/mh_Wire.h"
#include "e2e/mailhook_run.h"
#include "headers/hook_HookHeadersImp.h"
#include "ipc/rpc.h"
#include "memmap/hook_MemMapResource.h"

namespace {

constexpr uid_t kNobody = 65534;

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// What a hook printed: one line per message, then its summary.
struct HookLines {
  size_t ok = 0;
  std::vector<std::string> failed;

  // Counts a result line; false for anything else (the summary lines).
  bool Take(const std::string& line) {
    if (line.empty() || line[0] == '{' || Has(line, " messages (")) return false;
    Has(line, "FAILED:") ? failed.push_back(line) : void(++ok);
    return true;
  }
  // Reads result lines until one has `part` (served: no "FAILED"); false if the output ends first
  // or the deadline passes, however many other lines come meanwhile.
  bool ReadUntil(Process& hook, const std::string& part, bool served = false) {
    const auto deadline = mhtest::Deadline();
    for (std::string line; hook.ReadLine(line, deadline);)
      if (Take(line) && Has(line, part) && !(served && Has(line, "FAILED"))) return true;
    return false;
  }
  bool ReadUntilServed(Process& hook) { return ReadUntil(hook, "", true); }
  bool ReadUntilFailed(Process& hook) { return ReadUntil(hook, "FAILED"); }

  // Stops a hook that runs open-ended and checks how it ends: every message it printed is in its
  // summary, every holder and resource went back, and it fails exactly when a message failed.
  void StopAndCheck(Process& hook) {
    hook.Stop();
    std::string rest;
    for (std::string line; hook.ReadLine(line); Take(line)) rest += line + "\n";
    auto s = Summary(rest);
    ASSERT_FALSE(s.empty()) << "no summary: " << rest;
    EXPECT_EQ(s["messages"], static_cast<double>(ok + failed.size()));
    EXPECT_EQ(s["failed"], static_cast<double>(failed.size()));
    EXPECT_EQ(s["holders_out"] + s["resources_out"], 0);
    EXPECT_EQ(hook.Wait(), failed.empty() ? 0 : 1);
    // A failure is an error the caller can act on, never a round trip that came back wrong.
    for (const auto& f : failed) EXPECT_FALSE(Has(f, "read other") || Has(f, "came back changed")) << f;
  }
};

using mailhook::kCmdRegisterPool;
using mailhook::kStatusBadRequest;
using mailhook::kStatusFailed;
using mailhook::kStatusOk;
using mailhook::kStatusRefused;
// Update headers the command's service writes (tools/mailhook/messages.h).
constexpr int kHdrScannedBytes = 201, kHdrHeadersDigest = 203;

// A hook made by hand from the library's parts: pool 1 of three backing files in a folder
// (header list, content, update headers) and requests of its own, so that a test can do to its
// files and requests what the command's hook never does.
class FakeHook {
 public:
  static constexpr int kPool = 1, kHeader = 1, kContent = 2, kUpdate = 3;

  explicit FakeHook(const fs::path& dir)
      : m_dir(dir), m_client(CComponentID(u"ID_TARN_MASTER"), u"fake hook") {
    fs::create_directories(dir);
    fs::permissions(dir, fs::perms::owner_all);
    for (int id : {kHeader, kContent, kUpdate}) {
      const bool large = id == kContent;
      m_res[id] = std::make_unique<CMemMapResource>(kPool);
      EXPECT_EQ(m_res[id]->Open(id, large ? 1 : 0, mhtest::ToU16(Path(id).string()).c_str(),
                                large ? 1 << 20 : 64 << 10, large ? 32 << 20 : 4 << 20),
                0);
    }
  }
  fs::path Path(int id) const { return m_dir / ("r" + std::to_string(id) + ".mmf"); }
  CMemMapResource& Res(int id) { return *m_res.at(id); }

  // The header list: one string record per value, in order, after the record that asks the
  // service for digests of what it read.
  void SetHeaders(const std::vector<std::pair<int, std::string>>& values) {
    COutputHookHeadersImp out(Res(kHeader).GetDataBaseAddr(), Res(kHeader).GetDataStorageSize());
    ASSERT_EQ(out.SetHeader(mailhook::kHdrProveReading, 1), 0);
    for (auto& [id, text] : values) ASSERT_EQ(out.SetHeader(id, text.c_str()), 0);
    Res(kHeader).SetDataSize(static_cast<int>(out.GetDataLength()));
  }
  // A hook's message: one header and content (kept the same unless told).
  void SetMessage(size_t bytes = 10) {
    SetHeaders({{1, "From: a@example.org"}});
    SetContent(bytes, 'c');
  }
  void SetContent(size_t bytes, char fill) {
    ASSERT_EQ(Res(kContent).Grow(static_cast<int>(bytes)), 0);
    std::memset(Res(kContent).GetDataBaseAddr(), fill, bytes);
    Res(kContent).SetDataSize(static_cast<int>(bytes));
  }

  // A registration of the given entries (resource id, file name), each of pool 1.
  int32_t Register(const std::vector<std::pair<int, fs::path>>& entries) {
    mailhook::CRegisterRequest registration{kPool, {}, 0};
    for (auto& [id, path] : entries)
      registration.entries.push_back({kPool, id, mhtest::ToU16(path.string())});
    CIPCMsgBuffer request;
    mailhook::Encode(registration, request);
    return Ask(request);
  }
  int32_t Register() {
    return Register({{kHeader, Path(kHeader)}, {kContent, Path(kContent)}, {kUpdate, Path(kUpdate)}});
  }
  int32_t Scan() {
    CIPCMsgBuffer request;
    mailhook::Encode(mailhook::CScanRequest{kPool, kHeader, kContent, kUpdate, 1, std::nullopt}, request);
    return Ask(request);
  }
  int32_t Ask(const CIPCMsgBuffer& request) {
    CIPCMsgBuffer reply;
    m_client.SendRequest(request, reply);
    int32_t status = 1;
    return reply >> status, status;
  }
  // An integer the service wrote into the update headers.
  int64_t Update(int id) {
    if (Res(kUpdate).RenewMemMap() != 0) return -1;
    CInputHookHeadersImp in(Res(kUpdate).GetDataBaseAddr(), Res(kUpdate).GetDataSize());
    int64_t value = -1;
    in.GetHeader(id, &value);
    return value;
  }

 private:
  fs::path m_dir;
  CRPCClientHelper m_client;
  std::map<int, std::unique_ptr<CMemMapResource>> m_res;
};

// count registration entries (ids from 100) that all name one file.
std::vector<std::pair<int, fs::path>> Entries(int count, const fs::path& file) {
  std::vector<std::pair<int, fs::path>> entries;
  for (int i = 0; i < count; ++i) entries.emplace_back(100 + i, file);
  return entries;
}

uint64_t PeakMemoryKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("VmHWM:", 0) == 0) return std::stoull(line.substr(6));
  return 0;
}

// A hook that does not wait for a service that went away: each fault's failure shows at once.
class Faults : public MailhookRun {
 protected:
  void SetUp() override {
    m_env["MAILHOOK_RPC_TIMEOUT_MS"] = "2000";
    m_hookRetryFor = "0";
  }
  void TearDown() override {
    if (!m_mount.empty()) umount2(m_mount.c_str(), MNT_DETACH);
  }
  // A folder of messages (name, about how many bytes), for --input.
  std::string Input(const std::vector<std::pair<std::string, size_t>>& messages) {
    for (auto& [name, bytes] : messages) Eml("in/" + name, bytes);
    return (m_dir.Path() / "in").string();
  }
  // A fault plan's "stop@..." stops the process itself at its step.
  static void AwaitStopped(Process& p) {
    int status = 0;
    const auto deadline = mhtest::Deadline();
    pid_t got = 0;
    while ((got = waitpid(p.Pid(), &status, WUNTRACED | WNOHANG)) == 0 && Process::Clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(got, p.Pid()) << "the process did not stop at its fault step in time";
    ASSERT_TRUE(WIFSTOPPED(status));
  }
  // A hook refused before it carries anything.
  void ExpectRefusedHook(const char* why) {
    SCOPED_TRACE(why);
    Run run = RunHook({});
    EXPECT_EQ(run.rc, 2) << run.output;
    EXPECT_TRUE(run.summary.empty()) << run.output;
  }
  std::string m_mount;
};

// Lines "SEQUENCE d1 d2 d3 d4" of a digest log by sequence; a sequence logged twice keeps both.
std::multimap<long long, std::vector<std::string>> ReadDigestLog(const fs::path& path) {
  std::multimap<long long, std::vector<std::string>> out;
  std::ifstream in(path);
  long long sequence = 0;
  for (std::vector<std::string> d(4); in >> sequence >> d[0] >> d[1] >> d[2] >> d[3];)
    out.emplace(sequence, d);
  return out;
}

}  // namespace

TEST_F(Faults, ServiceKilledOrStoppedAtEachStepOfARequest) {
  // Killed after adopting the pool, before its reply: the hook's set-up fails clearly.
  {
    auto service = StartService({}, "kill@adopted");
    ExpectRefusedHook("kill@adopted");
    EXPECT_EQ(service->Wait(), -SIGKILL);
  }
  // Killed (or stopped: it never answers) with a request under way. The built-in messages
  // include an infected one, so the step that writes new content is reached too.
  for (std::string fault : {"kill@receiver", "kill@headers", "kill@update", "kill@content", "stop@headers"}) {
    SCOPED_TRACE(fault);
    auto service = StartService({}, fault);
    auto hook = StartHook({"--threads", "2", "--repeat", "100000", "--json"});
    HookLines seen;
    ASSERT_TRUE(seen.ReadUntilFailed(*hook));
    const bool stopped = fault.rfind("stop", 0) == 0;
    EXPECT_TRUE(Has(seen.failed.front(),
                    stopped ? "FAILED: time-out: service: RPC" : "FAILED: service unavailable: service: RPC"))
        << seen.failed.front();
    if (stopped) service->Kill();
    EXPECT_EQ(service->Wait(), -SIGKILL);

    // A new service learns the pool from the hook's next request and serves it.
    auto next = StartService();
    ASSERT_TRUE(seen.ReadUntilServed(*hook));
    ASSERT_TRUE(seen.ReadUntilServed(*hook));
    seen.StopAndCheck(*hook);
    StopService(*next);
  }
}

TEST_F(Faults, HookKilledWhileItHoldsResources) {
  const std::string input = Input({{"a.eml", 1 << 10}, {"b.eml", 3 << 20}});

  // While the service is in the middle of its request: it finishes on the dead hook's files
  // and its reply goes nowhere.
  auto service = StartService({}, "stop@headers");
  {
    auto hook = StartHook({"--input", input, "--threads", "4", "--repeat", "1000"});
    AwaitStopped(*service);
    hook->Kill();
    EXPECT_EQ(hook->Wait(), -SIGKILL);
    kill(service->Pid(), SIGCONT);
  }
  ExpectCleanRun({"--input", input, "--threads", "2"});

  // While it carries messages between requests: the next hook of the same pool takes over
  // its files.
  {
    auto hook = StartHook({"--input", input, "--threads", "4", "--repeat", "1000"});
    HookLines seen;
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(seen.ReadUntilServed(*hook));
    hook->Kill();
    EXPECT_EQ(hook->Wait(), -SIGKILL);
    EXPECT_TRUE(seen.failed.empty()) << seen.failed.front();
  }
  ExpectCleanRun({"--input", input, "--threads", "4"});
  StopService(*service);
}

// The content resource must grow past what the disk (a small tmpfs) or the file-size limit
// allows: the message fails with the grow error and nothing is sent; once there is room again
// the same message goes through.
TEST_F(Faults, DiskFillsWhileContentGrows) {
  const std::string input = Input({{"a.eml", 1 << 10}, {"b.eml", 4 << 20}});
  auto service = StartService();

  auto runUntilFullThenFreed = [&](const char* why, const std::string& wrapper,
                                   const std::function<void(pid_t)>& makeRoom) {
    SCOPED_TRACE(why);
    auto hook = StartHook({"--input", input, "--threads", "1", "--repeat", "1000", "--json"}, wrapper);
    HookLines seen;
    ASSERT_TRUE(seen.ReadUntilFailed(*hook));
    EXPECT_TRUE(Has(seen.failed.front(), "b.eml") &&
                Has(seen.failed.front(), "FAILED: disk full: the backing file could not grow"))
        << seen.failed.front();
    // The small message is still served while the large one cannot be.
    ASSERT_TRUE(seen.ReadUntil(*hook, "a.eml"));
    EXPECT_EQ(seen.failed.size(), 1u);
    makeRoom(hook->Pid());
    ASSERT_TRUE(seen.ReadUntil(*hook, "b.eml", /*served=*/true));
    seen.StopAndCheck(*hook);
    for (const auto& f : seen.failed) EXPECT_TRUE(Has(f, "b.eml")) << f;
  };

  // A file-size limit the hook inherits (soft, so it can be raised again), with SIGXFSZ
  // ignored so that the limit shows up as a failed call.
  runUntilFullThenFreed("RLIMIT_FSIZE", "trap '' XFSZ; ulimit -S -f 4096; exec \"$0\" \"$@\"", [](pid_t pid) {
    rlimit limit{};
    ASSERT_EQ(prlimit(pid, RLIMIT_FSIZE, nullptr, &limit), 0);
    limit.rlim_cur = limit.rlim_max;
    ASSERT_EQ(prlimit(pid, RLIMIT_FSIZE, &limit, nullptr), 0);
  });
  // A real full disk: the working folder on a 3 MiB tmpfs, made larger while the hook runs.
  fs::remove_all(Pool());
  fs::create_directories(Pool());
  if (mount("tmpfs", Pool().c_str(), "tmpfs", 0, "size=3m,mode=0700") != 0)
    GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
  m_mount = Pool().string();
  runUntilFullThenFreed("tmpfs", "", [&](pid_t) {
    ASSERT_EQ(mount("tmpfs", m_mount.c_str(), "tmpfs", MS_REMOUNT, "size=64m,mode=0700"), 0)
        << std::strerror(errno);
  });
  StopService(*service);
}

TEST_F(Faults, BackingFilesCutShortDeletedOrReplaced) {
  const std::string input = Input({{"m.eml", 256 << 10}});

  // Cut short while the service reads them in place: the header file to nothing, the content
  // file to one page. The service fails that request and drops the pool; the hook mends its
  // files when it next touches them; the re-registered pool is served.
  auto service = StartService({}, "stop@receiver");
  auto hook = StartHook({"--input", input, "--threads", "1", "--repeat", "20000", "--json"});
  AwaitStopped(*service);
  // One holder: small-1 (headers), small-2 (update headers), large-3 (content).
  ASSERT_EQ(truncate((Pool() / "small-1.mmf").c_str(), 0), 0);
  ASSERT_EQ(truncate((Pool() / "large-3.mmf").c_str(), 4096), 0);
  kill(service->Pid(), SIGCONT);
  HookLines seen;
  ASSERT_TRUE(seen.ReadUntilFailed(*hook));
  EXPECT_TRUE(Has(seen.failed.front(), "service failed: the service could not scan the message (status -2)"))
      << seen.failed.front();
  ASSERT_TRUE(seen.ReadUntilServed(*hook)) << ::testing::PrintToString(seen.failed);
  EXPECT_EQ(fs::file_size(Pool() / "large-3.mmf"), (1u << 20) + 4096);

  // Cut short between messages, behind the hook's back: it fails one message and mends.
  const size_t failedBefore = seen.failed.size();
  ASSERT_EQ(truncate((Pool() / "large-3.mmf").c_str(), 0), 0);
  ASSERT_TRUE(seen.ReadUntilFailed(*hook));
  EXPECT_TRUE(Has(seen.failed.back(), "cut short by another process; its resources were made again"))
      << seen.failed.back();
  ASSERT_TRUE(seen.ReadUntilServed(*hook)) << ::testing::PrintToString(seen.failed);
  EXPECT_LE(seen.failed.size(), failedBefore + 2);

  // Deleted, or another file renamed over it, while in use: both processes keep the file they
  // mapped, and every round trip still verifies.
  fs::remove(Pool() / "small-2.mmf");
  std::ofstream(m_dir.Path() / "other") << "not a backing file";
  fs::permissions(m_dir.Path() / "other", fs::perms::owner_read | fs::perms::owner_write);
  fs::rename(m_dir.Path() / "other", Pool() / "small-1.mmf");
  const size_t failedNow = seen.failed.size();
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(seen.ReadUntilServed(*hook));
  EXPECT_EQ(seen.failed.size(), failedNow);
  seen.StopAndCheck(*hook);

  // The next hook makes the deleted file again and takes the replaced one over with a fresh
  // header.
  ExpectCleanRun({"--input", input, "--threads", "1", "--repeat", "3"});
  EXPECT_TRUE(fs::exists(Pool() / "small-2.mmf"));
  StopService(*service);
}

// Run as uid and gid 65534: every argument but the last names something that must be closed
// to this user; the last is a control it must reach. The exit code counts the failures.
MHTEST_CHILD(as_other_user) {
  if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) return 100;
  // The kernel itself keeps this user off the socket, whatever the library would check first.
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  args[0].copy(addr.sun_path, sizeof(addr.sun_path) - 1);
  const int socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int bad = connect(socket, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 || errno != EACCES;
  close(socket);
  for (size_t i = 1; i < args.size(); ++i) {
    int f = open(args[i].c_str(), O_RDONLY | O_CLOEXEC);
    bad += i + 1 == args.size() ? f < 0 : (f >= 0 || errno != EACCES);
    if (f >= 0) close(f);
  }
  return bad;
}

TEST_F(Faults, WrongOwnerOrModeIsRefusedAndAnotherUserIsKeptOut) {
  // p open to others (and, as root, another user's): refused by the hook (and the service), then
  // mended.
  auto refused = [&](const fs::path& p, fs::perms open, bool serviceToo) {
    const auto mode = fs::status(p).permissions();
    for (bool otherUser : {false, true}) {
      if (otherUser && geteuid() != 0) continue;
      SCOPED_TRACE(p.string() + (otherUser ? " of another user" : " open to others"));
      ASSERT_EQ(otherUser ? chown(p.c_str(), kNobody, kNobody) : (fs::permissions(p, open), 0), 0);
      if (serviceToo) {
        Process service({MAILHOOK_CLI, "service", "--quiet"}, m_env);
        EXPECT_FALSE(service.WaitForLine("ready"));
        EXPECT_EQ(service.Wait(), 2);
      }
      ExpectRefusedHook("");
      ASSERT_EQ(otherUser ? chown(p.c_str(), 0, 0) : (fs::permissions(p, mode), 0), 0);
    }
  };
  fs::create_directories(Runtime());
  fs::permissions(Runtime(), fs::perms(0700));
  refused(Runtime(), fs::perms(0755), true);

  auto service = StartService();
  ExpectCleanRun({"--threads", "1"});
  // What the service and the hook make is theirs alone: folders 0700, the socket and the backing
  // files 0600, none open to a second user (as root only), who still reaches a file open to all.
  const fs::path socketPath = Runtime() / "ID_TARN_MASTER.sock";
  std::vector<std::string> closed{socketPath.string(), Runtime().string(), Pool().string()};
  for (auto& e : fs::directory_iterator(Pool())) closed.push_back(e.path().string());
  EXPECT_EQ(closed.size(), 3u + 3u);
  for (auto& p : closed) {
    struct stat st {};
    EXPECT_EQ(lstat(p.c_str(), &st), 0) << p;
    EXPECT_EQ(st.st_mode & 07777, S_ISDIR(st.st_mode) ? 0700u : 0600u) << p;
  }
  EXPECT_TRUE(fs::is_socket(socketPath));
  if (geteuid() == 0) {
    const fs::path open = m_dir.Path() / "public";
    fs::create_directories(open);
    fs::permissions(m_dir.Path(), fs::perms(0755));
    fs::permissions(open, fs::perms(0755));
    std::ofstream(open / "control") << "x";
    fs::permissions(open / "control", fs::perms(0644));
    closed.push_back((open / "control").string());
    EXPECT_EQ(mhtest::RunChild("as_other_user", closed), 0);
  }
  refused(Pool(), fs::perms(0755), false);
  const fs::path file = Pool() / "small-1.mmf";
  refused(file, fs::perms(0644), false);
  fs::remove(file);
  fs::create_symlink(Pool() / "small-2.mmf", file);
  ExpectRefusedHook("backing file is a symbolic link");
  fs::remove(file);
  ExpectCleanRun({"--threads", "1"});

  // A file that goes bad while the hook runs: a new service refuses to adopt the pool, so the
  // hook's messages fail with the service's answer until the file is private again.
  auto hook = StartHook({"--threads", "1", "--repeat", "100000", "--json"});
  HookLines seen;
  ASSERT_TRUE(seen.ReadUntilServed(*hook));
  fs::permissions(file, fs::perms(0640));
  service->Kill();
  service->Wait();
  service = StartService();
  ASSERT_TRUE(seen.ReadUntil(*hook, "status -7"));
  const size_t okBefore = seen.ok;
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(seen.ReadUntil(*hook, "status -7"));
  EXPECT_EQ(seen.ok, okBefore);
  fs::permissions(file, fs::perms(0600));
  ASSERT_TRUE(seen.ReadUntilServed(*hook));
  seen.StopAndCheck(*hook);
  StopService(*service);
}

// A hook that turns on the service after the checks: it overwrites a string's terminator
// after the parse, swaps its pool folder for a link once the service has dropped a large view,
// and names a hard link to a file outside the folder, or a name no file system takes.
TEST_F(Faults, AHostileHookCannotSteerTheServiceOutsideWhatItChecked) {
  mhtest::EnvScope runtime("MAILHOOK_RUNTIME_DIR", Runtime().string());
  auto service = StartService();
  FakeHook hook(Pool());
  const std::vector<std::pair<int, std::string>> headers{{1, "From: a@example.org"}, {4, "Subject: last"}};
  hook.SetContent(100, 'c');
  ASSERT_EQ(hook.Register(), kStatusOk);
  // The service's digests of the list without its last string and with it.
  hook.SetHeaders({headers[0]});
  ASSERT_EQ(hook.Scan(), kStatusOk);
  const int64_t cut = hook.Update(kHdrHeadersDigest);
  hook.SetHeaders(headers);
  ASSERT_EQ(hook.Scan(), kStatusOk);
  const int64_t whole = hook.Update(kHdrHeadersDigest);
  ASSERT_NE(whole, cut);

  // The last string's terminator flips while the service scans: each scan finds the string
  // whole or, where its parse met no terminator, not at all; never a string that runs on past
  // the end its parse checked.
  char* terminator = nullptr;
  {
    CInputHookHeadersImp list(hook.Res(FakeHook::kHeader).GetDataBaseAddr(),
                              hook.Res(FakeHook::kHeader).GetDataSize());
    uint32_t tag = 0, units = 0;
    const char* last = nullptr;
    ASSERT_EQ(list.GetValue(4, 0, tag, last, units), 0);
    terminator = const_cast<char*>(last) + units;
  }
  std::atomic<bool> done{false};
  std::thread flipper([&] {
    for (volatile char* t = terminator; !done;) {
      *t = 'x';
      *t = 0;
    }
  });
  int runOn = 0, failed = 0;
  for (int i = 0; i < 3000; ++i) {
    failed += hook.Scan() != kStatusOk;
    const int64_t digest = hook.Update(kHdrHeadersDigest);
    runOn += digest != whole && digest != cut;
  }
  done = true;
  flipper.join();
  EXPECT_EQ(runOn + failed, 0);

  // Content past the kept-mapping limit makes the service drop its view after the scan. The
  // folder is then swapped for a link to another one with a file of the same name: the next
  // scan still reads the file that was adopted.
  hook.SetContent(16 << 20, 'd');
  ASSERT_EQ(hook.Scan(), kStatusOk);
  ASSERT_EQ(hook.Update(kHdrScannedBytes), 16 << 20);
  fs::rename(Pool(), Runtime() / "adopted");
  {
    FakeHook impostor(Runtime() / "impostor");
    impostor.SetContent(1000, 'i');
  }
  fs::create_directory_symlink(Runtime() / "impostor", Pool());
  EXPECT_EQ(hook.Scan(), kStatusOk);
  EXPECT_EQ(hook.Update(kHdrScannedBytes), 16 << 20);
  fs::remove(Pool());
  fs::rename(Runtime() / "adopted", Pool());

  // A second name inside the folder for a file outside it, and a name too long for any path.
  fs::create_hard_link(Runtime() / "impostor" / "r1.mmf", Pool() / "linked.mmf");
  EXPECT_EQ(hook.Register({{7, Pool() / "linked.mmf"}}), kStatusRefused);
  EXPECT_EQ(hook.Register({{8, Pool() / std::string(5000, 'n')}}), kStatusBadRequest);

  // Shown by `mailhook inspect`, a header that carries terminal controls stays inert text.
  hook.SetHeaders({{4,
                    "Subject: \x1b]0;owned\x07\x1b[2J\xc2\x9b"
                    "31m"}});
  Process inspect({MAILHOOK_CLI, "inspect", hook.Path(FakeHook::kHeader).string()}, m_env);
  const std::string shown = inspect.ReadAll();
  EXPECT_EQ(inspect.Wait(), 0);
  EXPECT_TRUE(Has(shown, "Subject: \\x1b]0;owned\\x07")) << shown;
  EXPECT_FALSE(shown.find_first_of("\x1b\x07") != std::string::npos || Has(shown, "\xc2\x9b")) << shown;

  // Nothing of that changed the adopted pool.
  hook.SetContent(100, 'c');
  EXPECT_EQ(hook.Scan(), kStatusOk);
  EXPECT_EQ(hook.Update(kHdrScannedBytes), 100);
  StopService(*service);
}

// Registrations that claim what their bytes do not hold, use up descriptors, or name a file
// that is cut to nothing while the service maps it.
TEST_F(Faults, AHostileHookCannotCrashOrExhaustTheServiceByRegistering) {
  mhtest::EnvScope runtime("MAILHOOK_RUNTIME_DIR", Runtime().string());
  // Nothing here waits on a time-out, and a large request under a sanitizer on a busy machine may
  // take longer than the fixture's two seconds to arrive whole.
  m_env["MAILHOOK_RPC_TIMEOUT_MS"] = "30000";
  {
    auto service = StartService({}, "", "ulimit -n 200; exec \"$0\" \"$@\"");
    FakeHook hook(Pool());
    hook.SetMessage();

    // A count of millions over 16 MiB that are no entries: refused before anything is made for
    // the count, so it costs no more than any other request of that size (here an unknown
    // command first; the connection may still hold that one's buffer, hence twice its cost).
    auto bigRequest = [](int32_t command) {
      CIPCMsgBuffer request;
      request << command << int32_t{FakeHook::kPool} << uint32_t{(16u << 20) / 3}
              << OS::x_wstring(8u << 20, u'g');
      return request;
    };
    const uint64_t before = PeakMemoryKiB(service->Pid());
    EXPECT_EQ(hook.Ask(bigRequest(99)), kStatusBadRequest);
    const uint64_t anyRequest = PeakMemoryKiB(service->Pid()) - before;
    EXPECT_EQ(hook.Ask(bigRequest(kCmdRegisterPool)), kStatusBadRequest);
    EXPECT_LT(PeakMemoryKiB(service->Pid()) - before, 2 * anyRequest + (16u << 10));

    // More resources than the service's 200 descriptors can keep (two each, and a reserve).
    EXPECT_EQ(hook.Register(Entries(70, hook.Path(FakeHook::kHeader))), kStatusRefused);
    ASSERT_EQ(hook.Register(), kStatusOk);
    EXPECT_EQ(hook.Scan(), kStatusOk);

    // Ever new pool ids, even empty ones, are kept only up to a bound; the known pool still works.
    int32_t status = kStatusOk;
    for (int32_t pool = 2; pool <= 5000 && status == kStatusOk; ++pool) {
      CIPCMsgBuffer request;
      mailhook::Encode(mailhook::CRegisterRequest{pool, {}, 0}, request);
      status = hook.Ask(request);
    }
    EXPECT_EQ(status, mailhook::kStatusTooManyPools);
    ASSERT_EQ(hook.Register(), kStatusOk);
    EXPECT_EQ(hook.Scan(), kStatusOk);
    StopService(*service);
  }

  // One file, named many times per registration, cut to nothing and made whole again over and
  // over while the service maps and reads each entry.
  auto service = StartService();
  FakeHook hook(Pool());
  hook.SetMessage();
  const fs::path victim = Pool() / "victim.mmf";
  fs::copy_file(hook.Path(FakeHook::kUpdate), victim);
  std::string page(4096, '\0');
  std::ifstream(victim, std::ios::binary).read(page.data(), static_cast<std::streamsize>(page.size()));
  std::atomic<bool> done{false};
  std::thread cutter([&] {
    int fd = open(victim.c_str(), O_RDWR | O_CLOEXEC);
    while (!done)
      EXPECT_TRUE(ftruncate(fd, 0) == 0 && ftruncate(fd, 64 << 10) == 0 &&
                  pwrite(fd, page.data(), page.size(), 0) == static_cast<ssize_t>(page.size()));
    close(fd);
  });
  const auto entries = Entries(300, victim);
  for (int round = 0; round < 100 && !HasFailure(); ++round) {
    int32_t status = kStatusOk;
    EXPECT_NO_THROW(status = hook.Register(entries)) << "round " << round;
    EXPECT_TRUE(status == kStatusOk || status == kStatusFailed) << status;
  }
  done = true;
  cutter.join();
  ASSERT_EQ(hook.Register(), kStatusOk);
  EXPECT_EQ(hook.Scan(), kStatusOk);
  StopService(*service);
}

// Another process of the same user turns on a running hook's pool: it fences the hook's
// resources at a generation far ahead (which would refuse every later scan of the hook as
// stale), registers the pool with files of its own, scans with it, and registers ever new pool
// ids to take every place. None of it is the pool's own hook, so all is refused, the places it
// can take are few and said to be so, and the hook is served throughout; once the other
// process has no connection left its pools are forgotten.
TEST_F(Faults, AnotherProcessCannotFenceTakeOverOrCrowdOutARunningHooksPool) {
  mhtest::EnvScope runtime("MAILHOOK_RUNTIME_DIR", Runtime().string());
  auto service = StartService();
  auto hook = StartHook({"--threads", "1", "--repeat", "100000", "--json"});
  HookLines seen;
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(seen.ReadUntilServed(*hook));

  auto other = std::make_unique<FakeHook>(Pool() / "other");
  const auto ahead = static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                               std::chrono::system_clock::now().time_since_epoch())
                                               .count() +
                                           1000000000);
  CIPCMsgBuffer fence;
  mailhook::Encode(mailhook::CFenceRequest{FakeHook::kPool, ahead, {1, 2, 3}}, fence);
  EXPECT_EQ(other->Ask(fence), mailhook::kStatusNotOwner);
  EXPECT_EQ(other->Register(), mailhook::kStatusNotOwner);
  EXPECT_EQ(other->Scan(), mailhook::kStatusNotOwner);
  auto crowd = [](FakeHook& peer) {
    int32_t status = kStatusOk, made = 0;
    for (int32_t pool = 2; pool <= 5000 && status == kStatusOk; ++pool) {
      CIPCMsgBuffer request;
      mailhook::Encode(mailhook::CRegisterRequest{pool, {}, 0}, request);
      made += (status = peer.Ask(request)) == kStatusOk;
    }
    EXPECT_EQ(status, mailhook::kStatusTooManyPools);
    return made;
  };
  const int made = crowd(*other);
  EXPECT_LT(made, 100);
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(seen.ReadUntilServed(*hook));
  EXPECT_TRUE(seen.failed.empty()) << seen.failed.front();

  // Its connection closed, its pools go: a new connection of the same process has as many
  // places again (once the service has seen the old one end).
  other.reset();
  FakeHook again(Pool() / "other");
  int madeAgain = 0;
  for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
       madeAgain < made && std::chrono::steady_clock::now() < deadline;
       std::this_thread::sleep_for(std::chrono::milliseconds(10)))
    madeAgain = crowd(again);
  EXPECT_EQ(madeAgain, made);
  seen.StopAndCheck(*hook);
  StopService(*service);
}

// A service that is only slow, not dead: stopped in the middle of a request past the hook's
// time-out, then let go while the hook carries other messages through the same resources. The
// late request must not change what any later message reads or gets back: every message the hook
// reports as served is checked, digest by digest, against the service's own log of what it read
// and wrote for that request.
TEST_F(Faults, AServiceLetGoAfterTheTimeOutNeverChangesAMessageServedSince) {
  const fs::path hookLog = m_dir.Path() / "hook.log", serviceLog = m_dir.Path() / "service.log";
  // Every message carries the test string, so that every request the service finishes writes new
  // content as well as update headers.
  const std::string virus =
      std::string("X5O!P%@AP[4\\PZX54(P^)7CC)7}$") + "EICAR-STANDARD-ANTIVIRUS-" + "TEST-FILE!$H+H*\r\n";
  Eml("in/a.eml", 200, virus);
  Eml("in/b.eml", 150000, virus);
  // Stops itself once, content read, nothing written yet.
  auto service = StartService({"--builtin", "--digest-log", serviceLog.string()}, "stop@headers");
  m_env["MAILHOOK_RPC_TIMEOUT_MS"] = "300";
  m_hookRetryFor = "20";
  auto hook = StartHook({"--input", (m_dir.Path() / "in").string(), "--threads", "2", "--repeat", "100000",
                         "--no-verify", "--json", "--digest-log", hookLog.string()});
  AwaitStopped(*service);
  // Both holders' requests time out while the service is stopped; then it goes on, its stopped
  // request first, while the hook carries on.
  HookLines lines;
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(lines.ReadUntilFailed(*hook));
    EXPECT_TRUE(Has(lines.failed.back(), "time-out")) << lines.failed.back();
  }
  kill(service->Pid(), SIGCONT);
  for (int i = 0; i < 40; ++i) ASSERT_TRUE(lines.ReadUntilServed(*hook));
  lines.StopAndCheck(*hook);  // every holder and resource came back, the timed-out ones included
  StopService(*service);

  // Content and header list as written = as the service read them; update headers and content
  // as the hook got them back = as the service wrote them for that very request ("-": unchanged).
  const auto served = ReadDigestLog(hookLog), seen = ReadDigestLog(serviceLog);
  EXPECT_GE(served.size(), 40u);
  for (const auto& [sequence, got] : served) {
    auto [from, to] = seen.equal_range(sequence);
    ASSERT_EQ(std::distance(from, to), 1) << "sequence " << sequence;
    std::vector<std::string> did = from->second;
    if (did[3] == "-") did[3] = got[0];
    EXPECT_EQ(got, did) << "sequence " << sequence;
  }
}
