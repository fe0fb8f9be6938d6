// The layer's hook client against a real service process: what a caller gets back, which error
// code each failure carries, and that every holder comes back whatever happened.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>

#include <future>

#include <mailhook/mh_Error.h>
#include <mailhook/mh_HookClient.h>
#include <mailhook/mh_MailRecords.h>

#include "api/mh_Wire.h"
#include "e2e/mailhook_run.h"
#include "ipc/raw_stream.h"
#include "ipc/rpc.h"
#include "ipc/rpc_frame.h"
#include "ipc/rpc_test_util.h"

using mailhook::CCarryOutcome;
using mailhook::CHeaderList;
using mailhook::CHeaderValue;
using mailhook::CHookClient;
using mailhook::CHookClientOptions;
using mailhook::CMailhookError;
using mailhook::CMessage;

namespace {

const CHeaderList kOneHeader{CHeaderValue::Int(30, 7)};

// The anti-virus test file, put together here so that this source never holds it whole.
std::string TestFile() {
  return std::string("X5O!P%@AP[4\\PZX54(P^)7CC)7}$") + "EICAR-STANDARD-ANTIVIRUS-" + "TEST-FILE!$H+H*";
}

int64_t Number(const CCarryOutcome& outcome, int id) {
  const CHeaderValue* v = outcome.UpdateHeaders().Find(id);
  return v != nullptr ? v->number : -1;
}

class HookClientE2E : public MailhookRun {
 protected:
  // The error code of a call that must give up on a missing service within about retryFor (0.5 s
  // here). One that waits on fails the test and is let go by a service started for it (into
  // service).
  int GivingUp(const std::function<void()>& call, std::unique_ptr<Process>& service) {
    auto code = std::async(std::launch::async, [&] { return CodeOf<CMailhookError>(call); });
    if (code.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
      ADD_FAILURE() << "still waiting for the service 5 s on, with a retryFor of 0.5 s";
      service = StartService();
    }
    return code.get();
  }
};

}  // namespace

TEST_F(HookClientE2E, CarriesGivesBackAndNamesEachFailure) {
  mhtest::EnvScope runtime("MAILHOOK_RUNTIME_DIR", Runtime().string());
  const fs::path folder = Pool();
  m_serviceArgs = {"--builtin", "--dir", folder.string()};
  CHookClientOptions options;
  options.folder = folder;
  options.holders = 2;
  options.maxMessage = 1u << 20;
  // Long enough for a connection left from a killed service to be made anew, short for a test.
  options.retryFor = 0.5;

  // No service: the client fails, as unavailable.
  std::unique_ptr<Process> service;
  EXPECT_EQ(GivingUp([&] { CHookClient client(options); }, service), CMailhookError::SERVICE_UNAVAILABLE);

  if (!service) service = StartService();
  {
    CHookClient client(options);
    const std::string message = "Subject: x\r\n\r\nbody\r\n";
    {
      CCarryOutcome outcome = client.Carry(kOneHeader, message, 1);
      EXPECT_TRUE(outcome.Flags() & mailhook::kChangedHeaders);
      EXPECT_EQ(Number(outcome, mailhook::kHdrHeadersSeen), 1);
      EXPECT_EQ(outcome.Content(), message);
      // Moved, the outcome still holds one holder: given back once, when the last owner drops it.
      CCarryOutcome moved = std::move(outcome);
      EXPECT_EQ(client.FreeHolders(), 1u);
    }
    EXPECT_EQ(client.FreeHolders(), 2u);
    EXPECT_EQ(client.FreeResources(), client.ResourceCount());

    // Too large for a resource: nothing is sent, and the holder comes back.
    const std::string huge(2u << 20, 'x');
    EXPECT_EQ(CodeOf<CMailhookError>([&] { client.Carry(kOneHeader, huge, 2); }), CMailhookError::TOO_LARGE);
    const CHeaderList hugeHeaders{CHeaderValue::String(4, std::string(5u << 20, 'h'))};
    EXPECT_EQ(CodeOf<CMailhookError>([&] { client.Carry(hugeHeaders, message, 3); }),
              CMailhookError::TOO_LARGE);
    EXPECT_EQ(client.FreeHolders(), 2u);

    // The service gone past the deadline: unavailable; once it is back, served again.
    service->Kill();
    service->Wait();
    service.reset();
    EXPECT_EQ(GivingUp([&] { client.Carry(kOneHeader, message, 4); }, service),
              CMailhookError::SERVICE_UNAVAILABLE);
    EXPECT_EQ(client.FreeHolders(), 2u);
    if (!service) service = StartService();
    EXPECT_EQ(client.Carry(kOneHeader, message, 5).Content(), message);
  }

  // A backing file left open to others is refused before anything is registered.
  ASSERT_EQ(chmod((folder / "small-1.mmf").c_str(), 0644), 0);
  EXPECT_EQ(CodeOf<CMailhookError>([&] { CHookClient client(options); }), CMailhookError::FILE_REPLACED);
  StopService(*service);
}

// Tests that a message streamed in pieces reaches the service whole, however it is cut and
// however far its files must grow, and that every way of ending a stream gives the holder back.
TEST_F(HookClientE2E, StreamsAMessageInPiecesAndGivesBackEveryHolder) {
  mhtest::EnvScope runtime("MAILHOOK_RUNTIME_DIR", Runtime().string());
  const fs::path folder = Pool();
  m_serviceArgs = {"--builtin", "--dir", folder.string()};
  CHookClientOptions options;
  options.folder = folder;
  options.holders = 2;
  options.maxMessage = 4u << 20;
  options.retryFor = 0.5;
  options.registerAtStart = false;  // made before the service, as a milter is started

  CHookClient client(options);
  // No service yet: the message waits its retryFor and fails; its holder comes back.
  std::unique_ptr<Process> service;
  {
    CMessage early = client.Begin();
    early.Append("Subject: early\r\n\r\nbody\r\n");
    EXPECT_EQ(GivingUp([&] { early.Submit(1); }, service), CMailhookError::SERVICE_UNAVAILABLE);
    EXPECT_EQ(CodeOf<CMailhookError>([&] { early.Append("x"); }), CMailhookError::INVALID_ARGUMENT);
  }
  EXPECT_EQ(client.FreeHolders(), 2u);

  if (!service) service = StartService();
  // Pieces of every size, past the content file's first view (1 MiB) and the doubling after it;
  // the test file at the very end is seen only if the service reads the last piece.
  std::string whole = "From: a@example.org\r\nSubject: pieces\r\n\r\n";
  for (size_t i = 0; whole.size() < (3u << 20); ++i)
    whole += std::string(1 + (i * 7919) % 70000, static_cast<char>('a' + i % 26)) + "\r\n";
  whole += TestFile() + "\r\n";
  {
    CMessage message = client.Begin();
    message.Headers().AddText(mailhook::kHdrMailFrom, "<a@example.org>");
    message.Headers().AddText(mailhook::kHdrSubject, "Grüße");
    message.Headers().AddInt64(mailhook::kHdrMessageSize, static_cast<int64_t>(whole.size()));
    EXPECT_EQ(CodeOf<CMailhookError>([&] { message.Headers().AddString(1, std::string("a\0b", 3)); }),
              CMailhookError::INVALID_ARGUMENT);
    for (size_t at = 0, piece = 1; at < whole.size(); at += piece, piece = piece * 3 % 65521 + 1)
      message.Append(std::string_view(whole).substr(at, piece));
    EXPECT_EQ(message.ContentSize(), whole.size());
    CCarryOutcome outcome = message.Submit(7);
    EXPECT_TRUE(outcome.Infected());
    EXPECT_EQ(Number(outcome, mailhook::kHdrScannedBytes), static_cast<int64_t>(whole.size()));
    EXPECT_EQ(Number(outcome, mailhook::kHdrHeadersSeen), 3);
    EXPECT_EQ(Number(outcome, mailhook::kHdrAnswered), 7);
    EXPECT_EQ(CodeOf<CMailhookError>([&] { message.Submit(8); }), CMailhookError::INVALID_ARGUMENT);
  }
  // Past maxMessage: refused at the piece that crosses it; dropped, the message gives its holder
  // back, and the next one is carried in the same files.
  {
    CMessage tooLarge = client.Begin();
    tooLarge.Append(std::string(3u << 20, 'x'));
    EXPECT_EQ(CodeOf<CMailhookError>([&] { tooLarge.Append(std::string(2u << 20, 'x')); }),
              CMailhookError::TOO_LARGE);
    EXPECT_EQ(CodeOf<CMailhookError>([&] { tooLarge.Submit(9); }), CMailhookError::INVALID_ARGUMENT);
  }
  {
    CMessage unsent = client.Begin();
    unsent.Append("never sent");
  }
  EXPECT_EQ(client.FreeHolders(), 2u);
  EXPECT_EQ(client.FreeResources(), client.ResourceCount());
  const std::string clean = "Subject: x\r\n\r\nclean body\r\n";
  CMessage last = client.Begin();
  last.Append(clean);
  CCarryOutcome outcome = last.Submit(10);
  EXPECT_FALSE(outcome.Infected());
  EXPECT_EQ(outcome.Content(), clean);
  outcome.Release();
  StopService(*service);
}

// A healthy hook told that its request is older than a fence, or that the service does not
// have one of its resources, registers its pool again (moving its generation on) and sends once
// more, without a restart: here its own process fences its resources far ahead, then registers
// the pool with one resource only.
TEST_F(HookClientE2E, AStaleOrUnknownAnswerIsMendedByRegisteringAgain) {
  mhtest::EnvScope runtime("MAILHOOK_RUNTIME_DIR", Runtime().string());
  m_serviceArgs = {"--builtin", "--dir", Pool().string()};
  auto service = StartService();
  CHookClientOptions options;
  options.folder = Pool();
  options.retryFor = 0;
  CHookClient client(options);
  const std::string message = "Subject: x\r\n\r\nbody\r\n";
  EXPECT_EQ(client.Carry(kOneHeader, message, 1).Content(), message);

  CRPCClientHelper link(CComponentID(u"ID_TARN_MASTER"), u"test");
  auto ask = [&](const auto& request, auto reply) {
    CIPCMsgBuffer in, out;
    mailhook::Encode(request, in);
    link.SendRequest(in, out);
    EXPECT_TRUE(mailhook::Decode(out, reply));
    return reply.status;
  };
  const auto now = static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                             std::chrono::system_clock::now().time_since_epoch())
                                             .count());
  ASSERT_EQ(ask(mailhook::CFenceRequest{1, now + (1u << 30), {1, 2, 3}}, mailhook::CFenceReply{}),
            mailhook::kStatusOk);
  EXPECT_EQ(client.Carry(kOneHeader, message, 2).Content(), message);
  const std::u16string first = (Pool() / "small-1.mmf").u16string();
  ASSERT_EQ(ask(mailhook::CRegisterRequest{1, {{1, 1, first}}, now - 1000000}, mailhook::CRegisterReply{}),
            mailhook::kStatusOk);
  EXPECT_EQ(client.Carry(kOneHeader, message, 3).Content(), message);
  EXPECT_EQ(client.FreeHolders(), 1u);
  StopService(*service);
}

// A service that writes nonsense into the shared headers of the files it was handed (a header
// size of 0 in the update file, then a maximum length no file has in the content file, one per
// message so that each must be found on its own) cannot poison the hook: what it wrote is mended
// before the resources are used again, and a healthy service started afterwards adopts the pool
// and serves the next message.
TEST_F(HookClientE2E, AServiceThatBreaksTheFilesHeadersCannotPoisonTheHook) {
  mhtest::EnvScope runtime("MAILHOOK_RUNTIME_DIR", Runtime().string());
  m_serviceArgs = {"--builtin", "--dir", Pool().string()};
  std::map<int32_t, fs::path> files;
  int scans = 0;
  std::mutex lock;
  auto broken = std::make_unique<CRPCServer>(
      CComponentID(u"ID_TARN_MASTER"), [&](const CIPCMsgBuffer& request, CIPCMsgBuffer& reply) {
        std::lock_guard guard(lock);
        mailhook::CRegisterRequest registration;
        mailhook::CScanRequest scan;
        if (mailhook::Decode(request, registration)) {
          for (auto& e : registration.entries) files[e.resource] = fs::path(e.path);
          mailhook::Encode(mailhook::CRegisterReply{mailhook::kStatusOk, 3}, reply);
        } else if (mailhook::Decode(request, scan)) {
          const int32_t zero = 0, odd = 12345;
          const bool first = scans++ == 0;
          int file = open(files[first ? scan.update : scan.content].c_str(), O_WRONLY | O_CLOEXEC);
          if (first)
            EXPECT_EQ(pwrite(file, &zero, sizeof(zero), 0), 4);  // iHeaderSize
          else
            EXPECT_EQ(pwrite(file, &odd, sizeof(odd), 16), 4);  // iMaxSize
          close(file);
          mailhook::Encode(mailhook::CScanReply{mailhook::kStatusOk, 0, 0}, reply);
        }
      });
  CHookClientOptions options;
  options.folder = Pool();
  options.retryFor = 5;
  CHookClient client(options);
  const std::string message = "Subject: x\r\n\r\nbody\r\n";
  client.Carry(kOneHeader, message, 1).Release();
  client.Carry(kOneHeader, message, 2).Release();
  broken.reset();

  auto service = StartService();
  for (int32_t i = 3; i < 6; ++i) {
    CCarryOutcome outcome = client.Carry(kOneHeader, message, i);
    EXPECT_EQ(Number(outcome, mailhook::kHdrAnswered), i);
    EXPECT_EQ(outcome.Content(), message);
  }
  StopService(*service);
}

// Connections that do nothing cannot keep hooks out: with the service's 1024 connections taken
// by peers that never send a byte, a hook whose own connections were closed to make room carries
// its next message at once (no waiting allowed), and a hook started afterwards gets in.
TEST_F(HookClientE2E, IdleConnectionsNeitherFailAHookNorKeepANewOneOut) {
  rlimit files{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &files), 0);
  if (files.rlim_max != RLIM_INFINITY && files.rlim_max < 2200) GTEST_SKIP() << "needs 2200 descriptors";
  files.rlim_cur = files.rlim_max == RLIM_INFINITY ? 4096 : std::max<rlim_t>(files.rlim_cur, 2200);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &files), 0);
  mhtest::EnvScope runtime("MAILHOOK_RUNTIME_DIR", Runtime().string());
  m_serviceArgs = {"--builtin", "--dir", Pool().string()};
  auto service = StartService();
  CHookClientOptions options;
  options.folder = Pool();
  options.retryFor = 0;
  CHookClient client(options);
  const std::string message = "Subject: x\r\n\r\nbody\r\n";
  EXPECT_EQ(client.Carry(kOneHeader, message, 1).Content(), message);

  const std::string socket = (Runtime() / "ID_TARN_MASTER.sock").string();
  std::vector<std::unique_ptr<RawStream>> idle;
  for (size_t i = 0; i < CRPCServer::kMaxConnections + 8; ++i) {
    idle.push_back(RawStream::Connect(socket));
    ASSERT_NE(idle.back(), nullptr) << i;
  }
  // The last one answered: every one before it was taken in, the hook's own made room.
  CIPCMsgBuffer unknown;
  unknown << int32_t{99};
  uint8_t header[kRpcFrameHeaderSize];
  EncodeRpcFrameHeader(header, RPC_FRAME_REQUEST, static_cast<uint32_t>(unknown.GetSize()));
  ASSERT_TRUE(idle.back()->Send(header, sizeof(header)) &&
              idle.back()->Send(unknown.GetData(), unknown.GetSize()));
  CRpcFrameDecoder frames;
  for (uint8_t byte = 0;
       frames.GetStatus() == CRpcFrameDecoder::NEED_MORE && idle.back()->Recv(&byte, 1) == 1;)
    frames.Feed(&byte, 1);
  ASSERT_EQ(frames.GetStatus(), CRpcFrameDecoder::FRAME_READY);
  EXPECT_EQ(frames.GetKind(), RPC_FRAME_REPLY);

  EXPECT_EQ(client.Carry(kOneHeader, message, 2).Content(), message);
  m_hookRetryFor = "0";
  ExpectCleanRun({"--pool", "2", "--dir", (Pool() / "second").string(), "--threads", "1"});
  idle.clear();
  StopService(*service);
}

// The hook's side of the protection against late writes, against a service of the test's own
// that keeps one request past the hook's time-out: the hook moves its generation on, keeps that
// holder and its three resources back, and fences them at the new generation, again and again
// while the service answers busy; meanwhile messages go through the other holder at the new
// generation. The holder comes back only once the service answers the fence.
TEST_F(HookClientE2E, AfterATimeOutTheGenerationMovesOnAndTheHolderWaitsForItsFence) {
  mhtest::EnvScope runtime("MAILHOOK_RUNTIME_DIR", Runtime().string());
  mhtest::EnvScope timeout("MAILHOOK_RPC_TIMEOUT_MS", "300");
  std::mutex lock;
  std::condition_variable changed;
  std::vector<mailhook::CScanRequest> scans;
  std::vector<mailhook::CFenceRequest> fences;
  bool keep = false, letGo = false, busy = true;
  CRPCServer service(
      CComponentID(u"ID_TARN_MASTER"), [&](const CIPCMsgBuffer& request, CIPCMsgBuffer& reply) {
        std::unique_lock guard(lock);
        mailhook::CRegisterRequest registration;
        mailhook::CScanRequest scan;
        mailhook::CFenceRequest fence;
        if (mailhook::Decode(request, registration)) {
          mailhook::Encode(mailhook::CRegisterReply{mailhook::kStatusOk, 6}, reply);
        } else if (mailhook::Decode(request, scan)) {
          scans.push_back(scan);
          const bool kept = keep;
          keep = false;
          changed.notify_all();
          // Kept past the hook's time-out, until the test lets it go (10 s at most).
          if (kept) changed.wait_for(guard, std::chrono::seconds(10), [&] { return letGo; });
          mailhook::Encode(mailhook::CScanReply{mailhook::kStatusOk, 0, 0}, reply);
        } else if (mailhook::Decode(request, fence)) {
          fences.push_back(fence);
          mailhook::Encode(mailhook::CFenceReply{busy ? mailhook::kStatusResourceBusy : mailhook::kStatusOk},
                           reply);
        }
      });
  // However the test ends, the kept request is let go before the service stops.
  struct LetGo {
    std::mutex& lock;
    std::condition_variable& changed;
    bool& letGo;
    ~LetGo() {
      std::lock_guard guard(lock);
      letGo = true;
      changed.notify_all();
    }
  } finally{lock, changed, letGo};
  CHookClientOptions options;
  options.folder = Pool();
  options.holders = 2;
  options.retryFor = 0;
  CHookClient client(options);
  const std::string message = "Subject: x\r\n\r\nbody\r\n";
  client.Carry(kOneHeader, message, 1).Release();
  {
    std::lock_guard guard(lock);
    keep = true;
  }
  EXPECT_EQ(CodeOf<CMailhookError>([&] { client.Carry(kOneHeader, message, 2); }), CMailhookError::TIMEOUT);
  auto ids = [](const mailhook::CScanRequest& s) { return std::set<int32_t>{s.header, s.content, s.update}; };

  // Held back while the service says a request still uses its resources.
  EXPECT_EQ(client.ReturnHeldBack(), 1u);
  EXPECT_EQ(client.ReturnHeldBack(), 1u);
  client.Carry(kOneHeader, message, 3).Release();
  {
    std::lock_guard guard(lock);
    ASSERT_EQ(scans.size(), 3u);
    const uint32_t before = *scans[0].generation;
    EXPECT_EQ(*scans[1].generation, before);
    EXPECT_EQ(*scans[2].generation, before + 1);
    ASSERT_GE(fences.size(), 2u);
    for (const auto& f : fences) {
      EXPECT_EQ(f.generation, before + 1);
      EXPECT_EQ(std::set<int32_t>(f.resources.begin(), f.resources.end()), ids(scans[1]));
    }
    for (int32_t id : ids(scans[2])) EXPECT_EQ(ids(scans[1]).count(id), 0u) << id;
    letGo = true;
    busy = false;
    changed.notify_all();
  }
  EXPECT_EQ(client.ReturnHeldBack(), 0u);
  EXPECT_EQ(client.FreeHolders(), 2u);
  EXPECT_EQ(client.FreeResources(), client.ResourceCount());
  service.Stop();
}
