// Faults injected into a running `mailhook service` and `mailhook hook`: a service killed or
// stopped between the steps of a request, a hook killed while it holds resources, a disk that
// fills while content grows, backing files cut short, deleted or replaced by another process,
// folders and files with the wrong owner or mode, and a second user trying to get in.
//
// For every fault: the surviving process does not crash, no request hangs past the time-out,
// every message either comes back verified (the hook checks the digests of each round trip) or
// is reported as failed with a clear reason, and the next message is served.
#include <dirent.h>
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

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "e2e/process.h"
#include "headers/hook_HookHeadersImp.h"
#include "ipc/rpc.h"
#include "ipc/runtime_dir_scope.h"
#include "memmap/hook_MemMapResource.h"
#include "support/test_support.h"

namespace fs = std::filesystem;

namespace {

constexpr uid_t kNobody = 65534;

// A message of about `bytes` bytes with a plain body that never looks infected.
void WriteMessage(const fs::path& path, size_t bytes, const std::string& subject) {
  std::ofstream out(path, std::ios::binary);
  out << "From: sender@example.org\r\nTo: rcpt@example.org\r\nSubject: " << subject << "\r\n\r\n";
  std::string line(74, 'x');
  for (size_t i = 0; i * 76 < bytes; ++i) {
    line[i % 74] = static_cast<char>('a' + i % 26);
    out << line << "\r\n";
  }
}

// What a hook printed: one line per message, then its summary.
struct HookLines {
  size_t ok = 0;
  std::vector<std::string> failed;

  // Counts a result line; false for anything else (the summary lines).
  bool Take(const std::string& line) {
    if (line.empty() || line[0] == '{' || line.find(" messages (") != std::string::npos) return false;
    if (line.find("FAILED:") != std::string::npos)
      failed.push_back(line);
    else
      ++ok;
    return true;
  }
  // Reads result lines until one satisfies stop; false if the output ends first.
  bool ReadUntil(Process& hook, const std::function<bool(const std::string&)>& stop) {
    std::string line;
    while (hook.ReadLine(line)) {
      if (Take(line) && stop(line)) return true;
    }
    return false;
  }
  bool ReadUntilServed(Process& hook) {
    return ReadUntil(hook, [](const std::string& l) { return l.find("FAILED") == std::string::npos; });
  }
  bool ReadUntilFailed(Process& hook) {
    return ReadUntil(hook, [](const std::string& l) { return l.find("FAILED") != std::string::npos; });
  }
};

std::map<std::string, double> Summary(const std::string& output) {
  std::map<std::string, double> out;
  std::smatch m;
  if (!std::regex_search(output, m, std::regex(R"(\{"messages".*\})"))) return out;
  std::string json = m.str();
  std::regex field(R"re("(\w+)":([0-9.]+))re");
  for (auto it = std::sregex_iterator(json.begin(), json.end(), field); it != std::sregex_iterator(); ++it)
    out[(*it)[1]] = std::stod((*it)[2]);
  return out;
}

// Stops a hook that runs open-ended and checks how it ends: every message it printed is in its
// summary, every holder and resource went back, and it fails exactly when a message failed.
void StopHookAndCheck(Process& hook, HookLines& seen) {
  hook.Signal(SIGTERM);
  std::string rest = hook.ReadAll(), line;
  for (std::istringstream in(rest); std::getline(in, line);) seen.Take(line);
  int rc = hook.Wait();
  auto s = Summary(rest);
  ASSERT_FALSE(s.empty()) << "no summary: " << rest;
  EXPECT_EQ(s["messages"], static_cast<double>(seen.ok + seen.failed.size()));
  EXPECT_EQ(s["failed"], static_cast<double>(seen.failed.size()));
  EXPECT_EQ(s["holders_out"], 0);
  EXPECT_EQ(s["resources_out"], 0);
  EXPECT_EQ(rc, seen.failed.empty() ? 0 : 1);
  for (const auto& f : seen.failed) {
    // A failure is an error the caller can act on, never a round trip that came back wrong.
    EXPECT_EQ(f.find("read other"), std::string::npos) << f;
    EXPECT_EQ(f.find("came back changed"), std::string::npos) << f;
  }
}

// The service's side of the link as the command's hook speaks it (tools/mailhook/common.h).
constexpr int32_t kCmdScan = 1, kCmdRegisterPool = 2;
constexpr int32_t kStatusOk = 0, kStatusBadRequest = -1, kStatusFailed = -2, kStatusRefused = -13;
constexpr int kHdrScannedBytes = 201, kHdrHeadersDigest = 203;

std::u16string Units(const std::string& ascii) {
  return std::u16string(ascii.begin(), ascii.end());
}

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
      EXPECT_EQ(m_res[id]->Open(id, large ? 1 : 0, Units(Path(id).string()).c_str(),
                                large ? 1 << 20 : 64 << 10, large ? 32 << 20 : 4 << 20),
                0);
    }
  }
  fs::path Path(int id) const { return m_dir / ("r" + std::to_string(id) + ".mmf"); }
  CMemMapResource& Res(int id) { return *m_res.at(id); }

  // The header list: one string record per value, in order; returns the list's bytes.
  void SetHeaders(const std::vector<std::pair<int, std::string>>& values) {
    COutputHookHeadersImp out(Res(kHeader).GetDataBaseAddr(), Res(kHeader).GetDataStorageSize());
    for (auto& [id, text] : values) ASSERT_EQ(out.SetHeader(id, text.c_str()), 0);
    Res(kHeader).SetDataSize(static_cast<int>(out.GetDataLength()));
  }
  void SetContent(size_t bytes, char fill) {
    ASSERT_EQ(Res(kContent).Grow(static_cast<int>(bytes)), 0);
    std::memset(Res(kContent).GetDataBaseAddr(), fill, bytes);
    Res(kContent).SetDataSize(static_cast<int>(bytes));
  }

  // A registration of the given entries (resource id, file name), each of pool 1.
  int32_t Register(const std::vector<std::pair<int, fs::path>>& entries) {
    CIPCMsgBuffer request, reply;
    request << kCmdRegisterPool << int32_t{kPool} << static_cast<uint32_t>(entries.size());
    for (auto& [id, path] : entries)
      request << int32_t{kPool} << int32_t{id} << OS::x_wstring(Units(path.string()));
    return Ask(request);
  }
  int32_t Register() {
    return Register({{kHeader, Path(kHeader)}, {kContent, Path(kContent)}, {kUpdate, Path(kUpdate)}});
  }
  int32_t Scan() {
    CIPCMsgBuffer request;
    request << kCmdScan << int32_t{kPool} << int32_t{kHeader} << int32_t{kContent} << int32_t{kUpdate}
            << int32_t{1};
    return Ask(request);
  }
  int32_t Ask(const CIPCMsgBuffer& request) {
    CIPCMsgBuffer reply;
    m_client.SendRequest(request, reply);
    int32_t status = 1;
    reply >> status;
    return status;
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

// The digest the service reports over string records (FNV-1a over each record's kind 1, id and
// characters), as the command's hook checks it.
int64_t StringRecordsDigest(const std::vector<std::pair<int, std::string>>& values) {
  uint64_t h = 1469598103934665603ull;
  auto mix = [&h](const void* data, size_t size) {
    for (size_t i = 0; i < size; ++i) h = (h ^ static_cast<const unsigned char*>(data)[i]) * 1099511628211ull;
  };
  for (auto& [id, text] : values) {
    const int32_t kind = 1;
    mix(&kind, 4);
    mix(&id, 4);
    mix(text.data(), text.size());
  }
  return static_cast<int64_t>(h);
}

uint64_t PeakMemoryKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("VmHWM:", 0) == 0) return std::stoull(line.substr(6));
  return 0;
}

class Faults : public ::testing::Test {
 protected:
  void SetUp() override {
    m_env = {{"MAILHOOK_RUNTIME_DIR", Runtime().string()},
             {"MAILHOOK_RPC_TIMEOUT_MS", "2000"},
             {"MAILHOOK_LOG", ""}};
  }
  void TearDown() override {
    if (!m_mount.empty()) umount2(m_mount.c_str(), MNT_DETACH);
  }

  fs::path Runtime() const { return m_dir.Path() / "rt"; }
  fs::path Pool() const { return Runtime() / "pool-1"; }

  std::unique_ptr<Process> StartService(const std::string& fault = "", const std::string& wrapper = "") {
    auto env = m_env;
    if (!fault.empty()) env["MAILHOOK_FAULT"] = fault;
    std::vector<std::string> args{MAILHOOK_CLI, "service", "--quiet"};
    if (!wrapper.empty()) args.insert(args.begin(), {"/bin/sh", "-c", wrapper});
    auto p = std::make_unique<Process>(args, env);
    EXPECT_TRUE(p->WaitForLine("ready"));
    return p;
  }
  // A hook that does not wait for a service that went away, unless told to: each fault's failure
  // shows at once.
  std::unique_ptr<Process> StartHook(std::vector<std::string> args, const std::string& wrapper = "") {
    if (std::find(args.begin(), args.end(), "--retry-for") == args.end())
      args.insert(args.begin(), {"--retry-for", "0"});
    args.insert(args.begin(), {MAILHOOK_CLI, "hook"});
    if (!wrapper.empty()) args.insert(args.begin(), {"/bin/sh", "-c", wrapper});
    return std::make_unique<Process>(args, m_env);
  }
  // A hook run to its end that must carry everything.
  void ExpectCleanRun(std::vector<std::string> args) {
    args.push_back("--json");
    auto hook = StartHook(args);
    std::string output = hook->ReadAll();
    EXPECT_EQ(hook->Wait(), 0) << output;
    auto s = Summary(output);
    EXPECT_GT(s["messages"], 0) << output;
    EXPECT_EQ(s["failed"], 0) << output;
  }
  static void StopService(Process& service) {
    service.Signal(SIGTERM);
    EXPECT_EQ(service.Wait(), 0);  // a clean stop: it did not die of the fault
  }

  mhtest::TempDir m_dir;
  std::map<std::string, std::string> m_env;
  std::string m_mount;
};

}  // namespace

TEST_F(Faults, ServiceKilledOrStoppedAtEachStepOfARequest) {
  // Killed after adopting the pool, before its reply: the hook's set-up fails clearly.
  {
    auto service = StartService("kill@adopted");
    auto hook = StartHook({"--json"});
    std::string output = hook->ReadAll();
    EXPECT_EQ(hook->Wait(), 2) << output;
    EXPECT_EQ(output.find("messages"), std::string::npos) << output;
    EXPECT_EQ(service->Wait(), -SIGKILL);
  }
  // Killed (or stopped: it never answers) with a request under way. The built-in messages
  // include an infected one, so the step that writes new content is reached too.
  for (std::string fault : {"kill@receiver", "kill@headers", "kill@update", "kill@content", "stop@headers"}) {
    SCOPED_TRACE(fault);
    auto service = StartService(fault);
    auto hook = StartHook({"--threads", "2", "--repeat", "100000", "--json"});
    HookLines seen;
    ASSERT_TRUE(seen.ReadUntilFailed(*hook));
    const bool stopped = fault.rfind("stop", 0) == 0;
    EXPECT_NE(seen.failed.front().find(stopped ? "FAILED: time-out: service: RPC"
                                               : "FAILED: service unavailable: service: RPC"),
              std::string::npos)
        << seen.failed.front();
    if (stopped) {
      service->Signal(SIGKILL);
    }
    EXPECT_EQ(service->Wait(), -SIGKILL);

    // A new service learns the pool from the hook's next request and serves it.
    auto next = StartService();
    ASSERT_TRUE(seen.ReadUntilServed(*hook));
    ASSERT_TRUE(seen.ReadUntilServed(*hook));
    StopHookAndCheck(*hook, seen);
    EXPECT_FALSE(seen.failed.empty());
    StopService(*next);
  }
}

TEST_F(Faults, HookKilledWhileItHoldsResources) {
  fs::path input = m_dir.Path() / "in";
  fs::create_directories(input);
  WriteMessage(input / "a.eml", 1 << 10, "small");
  WriteMessage(input / "b.eml", 3 << 20, "large");

  // While the service is in the middle of its request: it finishes on the dead hook's files
  // and its reply goes nowhere.
  auto service = StartService("stop@headers");
  {
    auto hook = StartHook({"--input", input.string(), "--threads", "4", "--repeat", "1000"});
    int status = 0;
    ASSERT_EQ(waitpid(service->Pid(), &status, WUNTRACED), service->Pid());
    ASSERT_TRUE(WIFSTOPPED(status));
    hook->Signal(SIGKILL);
    EXPECT_EQ(hook->Wait(), -SIGKILL);
    kill(service->Pid(), SIGCONT);
  }
  ExpectCleanRun({"--input", input.string(), "--threads", "2"});

  // While it carries messages between requests: the next hook of the same pool takes over
  // its files.
  {
    auto hook = StartHook({"--input", input.string(), "--threads", "4", "--repeat", "1000"});
    HookLines seen;
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(seen.ReadUntilServed(*hook));
    hook->Signal(SIGKILL);
    EXPECT_EQ(hook->Wait(), -SIGKILL);
    EXPECT_TRUE(seen.failed.empty()) << seen.failed.front();
  }
  ExpectCleanRun({"--input", input.string(), "--threads", "4"});
  StopService(*service);
}

// The content resource must grow past what the disk (a small tmpfs) or the file-size limit
// allows: the message fails with the grow error and nothing is sent; once there is room again
// the same message goes through.
TEST_F(Faults, DiskFillsWhileContentGrows) {
  fs::path input = m_dir.Path() / "in";
  fs::create_directories(input);
  WriteMessage(input / "a.eml", 1 << 10, "small");
  WriteMessage(input / "b.eml", 4 << 20, "large");
  fs::create_directories(Pool());
  fs::permissions(Runtime(), fs::perms::owner_all);
  fs::permissions(Pool(), fs::perms::owner_all);
  auto service = StartService();

  auto runUntilFullThenFreed = [&](const std::string& wrapper, const std::function<void(pid_t)>& makeRoom) {
    auto hook =
        StartHook({"--input", input.string(), "--threads", "1", "--repeat", "1000", "--json"}, wrapper);
    HookLines seen;
    ASSERT_TRUE(seen.ReadUntilFailed(*hook));
    const std::string& first = seen.failed.front();
    EXPECT_NE(first.find("b.eml"), std::string::npos) << first;
    EXPECT_NE(first.find("the backing file could not grow"), std::string::npos) << first;
    // The small message is still served while the large one cannot be.
    ASSERT_TRUE(
        seen.ReadUntil(*hook, [](const std::string& l) { return l.find("a.eml") != std::string::npos; }));
    EXPECT_EQ(seen.failed.size(), 1u);
    makeRoom(hook->Pid());
    ASSERT_TRUE(seen.ReadUntil(*hook, [](const std::string& l) {
      return l.find("b.eml") != std::string::npos && l.find("FAILED") == std::string::npos;
    }));
    StopHookAndCheck(*hook, seen);
    for (const auto& f : seen.failed) EXPECT_NE(f.find("b.eml"), std::string::npos) << f;
  };

  // A file-size limit the hook inherits (soft, so it can be raised again), with SIGXFSZ
  // ignored so that the limit shows up as a failed call.
  {
    SCOPED_TRACE("RLIMIT_FSIZE");
    runUntilFullThenFreed("trap '' XFSZ; ulimit -S -f 4096; exec \"$0\" \"$@\"", [](pid_t pid) {
      rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
      rlimit old{};
      ASSERT_EQ(prlimit(pid, RLIMIT_FSIZE, nullptr, &old), 0);
      unlimited.rlim_max = old.rlim_max;
      unlimited.rlim_cur = old.rlim_max;
      ASSERT_EQ(prlimit(pid, RLIMIT_FSIZE, &unlimited, nullptr), 0);
    });
  }
  // A real full disk: the working folder on a 3 MiB tmpfs, made larger while the hook runs.
  fs::remove_all(Pool());
  fs::create_directories(Pool());
  fs::permissions(Pool(), fs::perms::owner_all);
  if (mount("tmpfs", Pool().c_str(), "tmpfs", 0, "size=3m,mode=0700") != 0)
    GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
  m_mount = Pool().string();
  {
    SCOPED_TRACE("tmpfs");
    runUntilFullThenFreed("", [&](pid_t) {
      ASSERT_EQ(mount("tmpfs", m_mount.c_str(), "tmpfs", MS_REMOUNT, "size=64m,mode=0700"), 0)
          << std::strerror(errno);
    });
  }
  StopService(*service);
}

TEST_F(Faults, BackingFilesCutShortDeletedOrReplaced) {
  fs::path input = m_dir.Path() / "in";
  fs::create_directories(input);
  WriteMessage(input / "m.eml", 256 << 10, "medium");

  // Cut short while the service reads them in place: the header file to nothing, the content
  // file to one page. The service fails that request and drops the pool; the hook mends its
  // files when it next touches them; the re-registered pool is served.
  auto service = StartService("stop@receiver");
  auto hook = StartHook({"--input", input.string(), "--threads", "1", "--repeat", "20000", "--json"});
  int status = 0;
  ASSERT_EQ(waitpid(service->Pid(), &status, WUNTRACED), service->Pid());
  ASSERT_TRUE(WIFSTOPPED(status));
  // One holder: small-1 (headers), small-2 (update headers), large-3 (content).
  ASSERT_EQ(truncate((Pool() / "small-1.mmf").c_str(), 0), 0);
  ASSERT_EQ(truncate((Pool() / "large-3.mmf").c_str(), 4096), 0);
  kill(service->Pid(), SIGCONT);
  HookLines seen;
  ASSERT_TRUE(seen.ReadUntilFailed(*hook));
  EXPECT_NE(seen.failed.front().find("service failed: the service could not scan the message (status -2)"),
            std::string::npos)
      << seen.failed.front();
  ASSERT_TRUE(seen.ReadUntilServed(*hook)) << ::testing::PrintToString(seen.failed);
  EXPECT_EQ(fs::file_size(Pool() / "large-3.mmf"), (1u << 20) + 4096);

  // Cut short between messages, behind the hook's back: it fails one message and mends.
  const size_t failedBefore = seen.failed.size();
  ASSERT_EQ(truncate((Pool() / "large-3.mmf").c_str(), 0), 0);
  ASSERT_TRUE(seen.ReadUntilFailed(*hook));
  EXPECT_NE(seen.failed.back().find("cut short by another process; its resources were made again"),
            std::string::npos)
      << seen.failed.back();
  ASSERT_TRUE(seen.ReadUntilServed(*hook)) << ::testing::PrintToString(seen.failed);
  EXPECT_LE(seen.failed.size(), failedBefore + 2);

  // Deleted, or another file renamed over it, while in use: both processes keep the file they
  // mapped, and every round trip still verifies.
  const size_t okBefore = seen.ok;
  fs::remove(Pool() / "small-2.mmf");
  std::ofstream(m_dir.Path() / "other") << "not a backing file";
  fs::permissions(m_dir.Path() / "other", fs::perms::owner_read | fs::perms::owner_write);
  fs::rename(m_dir.Path() / "other", Pool() / "small-1.mmf");
  const size_t failedNow = seen.failed.size();
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(seen.ReadUntilServed(*hook));
  EXPECT_EQ(seen.failed.size(), failedNow);
  EXPECT_GE(seen.ok, okBefore + 20);
  StopHookAndCheck(*hook, seen);

  // The next hook makes the deleted file again and takes the replaced one over with a fresh
  // header.
  ExpectCleanRun({"--input", input.string(), "--threads", "1", "--repeat", "3"});
  EXPECT_TRUE(fs::exists(Pool() / "small-2.mmf"));
  StopService(*service);
}

TEST_F(Faults, WrongOwnerOrModeIsRefused) {
  auto refusedHook = [&](const char* why) {
    SCOPED_TRACE(why);
    auto hook = StartHook({"--json"});
    std::string output = hook->ReadAll();
    EXPECT_EQ(hook->Wait(), 2) << output;
    EXPECT_EQ(output.find("messages"), std::string::npos) << output;
  };
  auto refusedService = [&](const char* why) {
    SCOPED_TRACE(why);
    Process service({MAILHOOK_CLI, "service", "--quiet"}, m_env);
    EXPECT_FALSE(service.WaitForLine("ready"));
    EXPECT_EQ(service.Wait(), 2);
  };
  const bool root = geteuid() == 0;

  // The runtime folder open to others, or (as root) another user's.
  fs::create_directories(Runtime());
  fs::permissions(Runtime(), fs::perms(0755));
  refusedService("runtime folder 0755");
  refusedHook("runtime folder 0755");
  fs::permissions(Runtime(), fs::perms(0700));
  if (root) {
    ASSERT_EQ(chown(Runtime().c_str(), kNobody, kNobody), 0);
    refusedService("runtime folder of another user");
    refusedHook("runtime folder of another user");
    ASSERT_EQ(chown(Runtime().c_str(), 0, 0), 0);
  }

  auto service = StartService();
  // The pool's folder open to others.
  fs::create_directories(Pool());
  fs::permissions(Pool(), fs::perms(0755));
  refusedHook("pool folder 0755");
  fs::permissions(Pool(), fs::perms(0700));

  // A backing file left over with a mode open to others, or another user's.
  ExpectCleanRun({"--threads", "1"});
  const fs::path file = Pool() / "small-1.mmf";
  fs::permissions(file, fs::perms(0644));
  refusedHook("backing file 0644");
  fs::permissions(file, fs::perms(0600));
  if (root) {
    ASSERT_EQ(chown(file.c_str(), kNobody, kNobody), 0);
    refusedHook("backing file of another user");
    ASSERT_EQ(chown(file.c_str(), 0, 0), 0);
  }
  fs::remove(file);
  fs::create_symlink(Pool() / "small-2.mmf", file);
  refusedHook("backing file is a symbolic link");
  fs::remove(file);
  ExpectCleanRun({"--threads", "1"});

  // A file that goes bad while the hook runs: a new service refuses to adopt the pool, so the
  // hook's messages fail with the service's answer until the file is private again.
  auto hook = StartHook({"--threads", "1", "--repeat", "100000", "--json"});
  HookLines seen;
  ASSERT_TRUE(seen.ReadUntilServed(*hook));
  fs::permissions(file, fs::perms(0640));
  service->Signal(SIGKILL);
  service->Wait();
  service = StartService();
  ASSERT_TRUE(
      seen.ReadUntil(*hook, [](const std::string& l) { return l.find("status -7") != std::string::npos; }));
  const size_t okBefore = seen.ok;
  for (int i = 0; i < 10; ++i)
    ASSERT_TRUE(
        seen.ReadUntil(*hook, [](const std::string& l) { return l.find("status -7") != std::string::npos; }));
  EXPECT_EQ(seen.ok, okBefore);
  fs::permissions(file, fs::perms(0600));
  ASSERT_TRUE(seen.ReadUntilServed(*hook));
  StopHookAndCheck(*hook, seen);
  StopService(*service);
}

// Run as uid and gid 65534: every argument but the last names something that must be closed
// to this user; the last is a control it must reach. The exit code counts the failures.
MHTEST_CHILD(as_other_user) {
  if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) return 100;
  int bad = 0;
  const std::string& socketPath = args[0];
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, socketPath.c_str(), sizeof addr.sun_path - 1);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 || errno != EACCES) ++bad;
  close(fd);
  for (size_t i = 1; i + 1 < args.size(); ++i) {
    struct stat st {};
    bool isDir = stat(args[i].c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    if (isDir) {
      DIR* d = opendir(args[i].c_str());
      if (d != nullptr || errno != EACCES) ++bad;
      if (d) closedir(d);
    } else {
      int f = open(args[i].c_str(), O_RDONLY | O_CLOEXEC);
      if (f >= 0 || errno != EACCES) ++bad;
      if (f >= 0) close(f);
    }
  }
  int control = open(args.back().c_str(), O_RDONLY | O_CLOEXEC);
  if (control < 0)
    ++bad;
  else
    close(control);
  return bad;
}

TEST_F(Faults, AnotherUserCannotReachTheSocketFoldersOrFiles) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to a second user";
  auto service = StartService();
  ExpectCleanRun({"--threads", "2"});

  auto mode = [](const fs::path& p) {
    struct stat st {};
    EXPECT_EQ(lstat(p.c_str(), &st), 0) << p;
    return st.st_mode;
  };
  EXPECT_EQ(mode(Runtime()) & 07777, 0700u);
  EXPECT_EQ(mode(Pool()) & 07777, 0700u);
  const fs::path socketPath = Runtime() / "ID_TARN_MASTER.sock";
  EXPECT_TRUE(S_ISSOCK(mode(socketPath)));
  EXPECT_EQ(mode(socketPath) & 07777, 0600u);
  std::vector<std::string> closed{socketPath.string(), Runtime().string(), Pool().string()};
  for (auto& e : fs::directory_iterator(Pool())) {
    EXPECT_EQ(mode(e.path()) & 07777, 0600u) << e.path();
    closed.push_back(e.path().string());
  }
  EXPECT_EQ(closed.size(), 3u + 6u);

  // Reachable only for the test's own sake: a file open to everyone in a folder open to everyone.
  fs::path open = m_dir.Path() / "public";
  fs::create_directories(open);
  fs::permissions(m_dir.Path(), fs::perms(0755));
  fs::permissions(open, fs::perms(0755));
  std::ofstream(open / "control") << "x";
  fs::permissions(open / "control", fs::perms(0644));
  closed.push_back((open / "control").string());

  EXPECT_EQ(mhtest::RunChild("as_other_user", closed), 0);
  StopService(*service);
}

// A hook that turns on the service after the checks: it overwrites a string's terminator
// after the parse, swaps its pool folder for a link once the service has dropped a large view,
// and names a hard link to a file outside the folder, or a name no file system takes.
TEST_F(Faults, AHostileHookCannotSteerTheServiceOutsideWhatItChecked) {
  EnvScope runtime("MAILHOOK_RUNTIME_DIR", Runtime().string());
  auto service = StartService();
  FakeHook hook(Pool());
  const std::vector<std::pair<int, std::string>> headers{{1, "From: a@example.org"}, {4, "Subject: last"}};
  hook.SetHeaders(headers);
  hook.SetContent(100, 'c');
  ASSERT_EQ(hook.Register(), kStatusOk);

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
    while (!done) {
      *static_cast<volatile char*>(terminator) = 'x';
      *static_cast<volatile char*>(terminator) = 0;
    }
  });
  const int64_t whole = StringRecordsDigest(headers), cut = StringRecordsDigest({headers[0]});
  int runOn = 0;
  for (int i = 0; i < 3000; ++i) {
    ASSERT_EQ(hook.Scan(), kStatusOk);
    const int64_t seen = hook.Update(kHdrHeadersDigest);
    runOn += seen != whole && seen != cut;
  }
  done = true;
  flipper.join();
  EXPECT_EQ(runOn, 0);

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
  EXPECT_NE(shown.find("Subject: \\x1b]0;owned\\x07"), std::string::npos) << shown;
  EXPECT_EQ(shown.find_first_of("\x1b\x07"), std::string::npos) << shown;
  EXPECT_EQ(shown.find("\xc2\x9b"), std::string::npos) << shown;

  // Nothing of that changed the adopted pool.
  hook.SetContent(100, 'c');
  EXPECT_EQ(hook.Scan(), kStatusOk);
  EXPECT_EQ(hook.Update(kHdrScannedBytes), 100);
  StopService(*service);
}

// Registrations that claim what their bytes do not hold, use up descriptors, or name a file
// that is cut to nothing while the service maps it.
TEST_F(Faults, AHostileHookCannotCrashOrExhaustTheServiceByRegistering) {
  EnvScope runtime("MAILHOOK_RUNTIME_DIR", Runtime().string());
  {
    auto service = StartService("", "ulimit -n 200; exec \"$0\" \"$@\"");
    FakeHook hook(Pool());
    hook.SetHeaders({{1, "From: a@example.org"}});
    hook.SetContent(10, 'c');

    // A count of millions over 48 MiB that are no entries: refused before anything is made for
    // the count, so it costs no more than any other request of that size (here an unknown
    // command first; the connection may still hold that one's buffer, hence twice its cost).
    auto bigRequest = [](int32_t command) {
      CIPCMsgBuffer request;
      request << command << int32_t{FakeHook::kPool} << uint32_t{(48u << 20) / 3}
              << OS::x_wstring(24u << 20, u'g');
      return request;
    };
    const uint64_t before = PeakMemoryKiB(service->Pid());
    EXPECT_EQ(hook.Ask(bigRequest(99)), kStatusBadRequest);
    const uint64_t anyRequest = PeakMemoryKiB(service->Pid()) - before;
    EXPECT_EQ(hook.Ask(bigRequest(kCmdRegisterPool)), kStatusBadRequest);
    EXPECT_LT(PeakMemoryKiB(service->Pid()) - before, 2 * anyRequest + (16u << 10));

    // More resources than the service's 200 descriptors can keep (two each, and a reserve).
    std::vector<std::pair<int, fs::path>> many;
    for (int i = 0; i < 70; ++i) many.emplace_back(100 + i, hook.Path(FakeHook::kHeader));
    EXPECT_EQ(hook.Register(many), kStatusRefused);
    ASSERT_EQ(hook.Register(), kStatusOk);
    EXPECT_EQ(hook.Scan(), kStatusOk);

    // Ever new pool ids, even empty ones, are kept only up to a bound; the known pool still works.
    int32_t status = kStatusOk;
    for (int32_t pool = 2; pool <= 5000 && status == kStatusOk; ++pool) {
      CIPCMsgBuffer request;
      request << kCmdRegisterPool << pool << uint32_t{0};
      status = hook.Ask(request);
    }
    EXPECT_EQ(status, kStatusRefused);
    ASSERT_EQ(hook.Register(), kStatusOk);
    EXPECT_EQ(hook.Scan(), kStatusOk);
    StopService(*service);
  }

  // One file, named many times per registration, cut to nothing and made whole again over and
  // over while the service maps and reads each entry.
  auto service = StartService();
  FakeHook hook(Pool());
  hook.SetHeaders({{1, "From: a@example.org"}});
  hook.SetContent(10, 'c');
  const fs::path victim = Pool() / "victim.mmf";
  fs::copy_file(hook.Path(FakeHook::kUpdate), victim);
  std::string page(4096, '\0');
  {
    std::ifstream in(victim, std::ios::binary);
    in.read(page.data(), static_cast<std::streamsize>(page.size()));
  }
  std::atomic<bool> done{false};
  std::thread cutter([&] {
    int fd = open(victim.c_str(), O_RDWR | O_CLOEXEC);
    while (!done) {
      EXPECT_EQ(ftruncate(fd, 0), 0);
      EXPECT_EQ(ftruncate(fd, 64 << 10), 0);
      EXPECT_EQ(pwrite(fd, page.data(), page.size(), 0), static_cast<ssize_t>(page.size()));
    }
    close(fd);
  });
  std::vector<std::pair<int, fs::path>> entries;
  for (int i = 0; i < 300; ++i) entries.emplace_back(100 + i, victim);
  for (int round = 0; round < 100; ++round) {
    int32_t status = 0;
    try {
      status = hook.Register(entries);
    } catch (const CRPCError& e) {
      ADD_FAILURE() << "round " << round << ": " << e.what();
      break;
    }
    EXPECT_TRUE(status == kStatusOk || status == kStatusFailed) << status;
  }
  done = true;
  cutter.join();
  ASSERT_EQ(hook.Register(), kStatusOk);
  EXPECT_EQ(hook.Scan(), kStatusOk);
  StopService(*service);
}
