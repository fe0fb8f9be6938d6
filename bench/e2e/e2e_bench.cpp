// Whole messages between two processes, three ways, side by side in one run:
//
//   mailhook  the library's road, through its layer (api/mh_HookClient.h, api/mh_ScanService.h):
//             a holder and its three pooled resources, the header list and the content written
//             into the mapped files, one scan request, the service reading both in place and, when
//             it rewrites, writing the new content and five update headers back into them.
//   inline    what a socket protocol does: the headers and then the content copied into requests
//             of at most 64 KiB over the same RPC link; the service gathers them, and a rewritten
//             message comes back in replies of at most 64 KiB.
//   floor     one bare integer request/reply plus one copy of the content into a mapping both
//             processes keep for the whole run (and one copy back when rewriting): what no
//             implementation can beat.
//
// In every road the service reads every content byte (a checksum that the hook checks) and, when
// rewriting, the hook reads every byte of the new content. The serving process is this binary
// started again with "--serve FOLDER"; the inline and floor roads reach it on a link of their own.
//
// Also: --memory (resident memory over a long run of mixed messages, and the view left by a big
// message shrinking back), --dir (backing files in another folder, e.g. on a disk).
#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <mailhook/mh_Error.h>
#include <mailhook/mh_HookClient.h>
#include <mailhook/mh_ScanService.h>
#include "../bench_checksum.h"

#include "ipc/ipc_buffer.h"
#include "ipc/rpc.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

// The inline and floor roads' requests, on their own link (the layer's service has the other).
const char16_t kRoadsLink[] = u"ID_E2E_ROADS";
enum Command : int32_t {
  kFloor = 3,        // integer: slot, size, scenario
  kFloorAttach = 4,  // slot, path, size
  kInlineBegin = 5,  // session, scenario + header lines
  kInlineChunk = 6,  // session + up to 64 KiB of content
  kInlineEnd = 7,    // session -> status, checksum, new size + update header lines
  kInlineFetch = 8,  // session, offset -> status + up to 64 KiB of new content
};

enum Scenario : int32_t { kRead = 0, kRewrite = 1 };
constexpr const char* kScenarioName[] = {"read", "rewrite"};
constexpr const char* kRoadName[] = {"mailhook", "inline", "floor"};
enum Road { kMailhook = 0, kInline = 1, kFloorRoad = 2 };

constexpr size_t kChunk = 64u << 10;
constexpr int kPoolId = 1;
constexpr int32_t kOk = 0, kFailed = -2;
constexpr uint32_t kMaxMessage = 64u << 20;
constexpr int kUpdateHeaders = 5;

// ---------------------------------------------------------------------------------------------
// What travels: 30 headers of a real message and content of a given size.

struct Header {
  int id;
  const char* name;
  std::string_view value;  // none (a null data()): an integer header
  int number;
};

const Header kHeaders[] = {
    {1, "Return-Path", "<alice.archer@example.org>", 0},
    {2, "Received",
     "from mx1.example.org (mx1.example.org [192.0.2.10]) by mail.example.net with ESMTPS id 4F2A1B3C for "
     "<bob@example.net>; Sat, 5 Dec 2026 10:15:02 +0000",
     0},
    {3, "Received",
     "from relay.example.org (relay.example.org [192.0.2.20]) by mx1.example.org with ESMTP id 9C8B7A6D; "
     "Sat, 5 Dec 2026 10:15:01 +0000",
     0},
    {4, "Received",
     "from [198.51.100.7] (helo=laptop) by relay.example.org with esmtpsa (TLS1.3) id 1kQz2X-0004Fz-Lm; Sat, "
     "5 Dec 2026 10:15:00 +0000",
     0},
    {5, "Received", "by laptop (Postfix-like MTA, from userid 1000) id 7E1F2; Sat, 5 Dec 2026 10:14:59 +0000",
     0},
    {6, "DKIM-Signature",
     "v=1; a=rsa-sha256; c=relaxed/relaxed; d=example.org; s=mail2026; t=1796551500; "
     "bh=47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=; h=From:To:Subject:Date:Message-ID; "
     "b=Kx3m0x9AbCdEfGhIjKlMnOpQrStUvWxYz0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUV==",
     0},
    {7, "Authentication-Results",
     "mail.example.net; dkim=pass header.d=example.org; spf=pass smtp.mailfrom=example.org; dmarc=pass", 0},
    {8, "From", "Alice Archer <alice.archer@example.org>", 0},
    {9, "To", "Bob Baker <bob@example.net>, Carol Cole <carol@example.net>", 0},
    {10, "Cc", "Dan Drake <dan@example.com>", 0},
    {11, "Subject", "Quarterly figures and the draft of the new plan (please review before Monday)", 0},
    {12, "Date", "Sat, 5 Dec 2026 10:14:58 +0000", 0},
    {13, "Message-ID", "<20261205101458.7E1F2@laptop.example.org>", 0},
    {14, "In-Reply-To", "<20261204170203.11AB3@mail.example.net>", 0},
    {15, "References", "<20261201090000.1@mail.example.net> <20261204170203.11AB3@mail.example.net>", 0},
    {16, "MIME-Version", "1.0", 0},
    {17, "Content-Type", "multipart/mixed; boundary=\"----=_Part_1234_5678.1796551498\"", 0},
    {18, "X-Mailer", "Example Mail 12.4", 0},
    {19, "X-Originating-IP", "[198.51.100.7]", 0},
    {20, "List-Unsubscribe", "<mailto:unsubscribe@example.org>", 0},
    {21, "Thread-Topic", "Quarterly figures", 0},
    {22, "Thread-Index", "AQHZ1a2b3c4d5e6f7g8h9i0j", 0},
    {23, "Content-Language", "en-GB", 0},
    {24, "X-Priority", "3", 0},
    {25, "Importance", "normal", 0},
    {26, "X-Envelope-From", "alice.archer@example.org", 0},
    {27, "X-Envelope-To", "bob@example.net", 0},
    {28, "X-Spam-Level", {}, 2},
    {29, "X-Recipient-Count", {}, 3},
    {30, "X-Hop-Count", {}, 4},
};
constexpr int kHeaderCount = sizeof(kHeaders) / sizeof(kHeaders[0]);

const Header kUpdates[kUpdateHeaders] = {
    {100, "X-Scan-Verdict", "clean", 0},
    {101, "X-Scan-Engine", "bench scanner 1.0", 0},
    {102, "X-Scan-Date", "Sat, 5 Dec 2026 10:15:03 +0000", 0},
    {103, "X-Scan-Score", {}, 0},
    {104, "X-Scan-Rewritten", {}, 1},
};

// Mail-like text: lines of 76 characters, different for each seed.
std::string MakeContent(size_t size, uint32_t seed) {
  std::string s(size, ' ');
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < size; ++i) {
    if (i % 78 == 76) {
      s[i] = '\r';
    } else if (i % 78 == 77) {
      s[i] = '\n';
    } else {
      x = x * 1103515245u + 12345u;
      s[i] = static_cast<char>('A' + (x >> 16) % 58);
    }
  }
  return s;
}

// The first reason a message went wrong on this thread, for the report.
thread_local const char* t_why = nullptr;
bool Why(const char* reason) {
  if (t_why == nullptr) t_why = reason;
  return false;
}

int32_t Fold(uint64_t v) {
  return static_cast<int32_t>(static_cast<uint32_t>(v ^ (v >> 32)));
}

// Header lines as a socket protocol carries them.
std::string HeaderLines(const Header* headers, int count) {
  std::string s;
  for (int i = 0; i < count; ++i) {
    s += headers[i].name;
    s += ": ";
    s += headers[i].value.data() != nullptr ? std::string(headers[i].value)
                                            : std::to_string(headers[i].number);
    s += "\r\n";
  }
  return s;
}

int CountHeaderLines(const char* p, size_t n) {
  int count = 0;
  for (size_t i = 0; i + 1 < n; ++i)
    if (p[i] == '\r' && p[i + 1] == '\n') {
      const char* colon = static_cast<const char*>(std::memchr(p, ':', i));
      if (colon) ++count;
      p += i + 2;
      n -= i + 2;
      i = static_cast<size_t>(-1);
    }
  return count;
}

// The headers as the mailhook road's hook hands them to the layer, made once.
mailhook::CHeaderList HeaderList(const Header* headers, int count) {
  mailhook::CHeaderList list;
  for (int i = 0; i < count; ++i)
    list.Add(headers[i].value.data() != nullptr
                 ? mailhook::CHeaderValue::String(headers[i].id, headers[i].value)
                 : mailhook::CHeaderValue::Int(headers[i].id, headers[i].number));
  return list;
}

// Checks every header of a list read back; the number that matched, or -1.
int ReadHeaders(const mailhook::CHeaderList& list, const Header* headers, int count) {
  int seen = 0;
  for (int i = 0; i < count; ++i) {
    const mailhook::CHeaderValue* v = list.Find(headers[i].id);
    if (v == nullptr) return -1;
    if (headers[i].value.data() != nullptr
            ? v->type != mailhook::CHeaderValue::kString || v->text != headers[i].value
            : v->type != mailhook::CHeaderValue::kInt || v->number != headers[i].number)
      return -1;
    ++seen;
  }
  return seen;
}

// The service's check of the headers as it reads them in place (ids ascending, as the list gives
// them): the number that matched, or -1.
int ReadFields(const mailhook::CScanMessage& message, const Header* headers, int count) {
  int seen = 0;
  bool wrong = false;
  message.ForEachHeader([&](const mailhook::CHeaderField& f) {
    if (wrong || seen == count || f.id != headers[seen].id ||
        (headers[seen].value.data() != nullptr
             ? f.type != mailhook::CHeaderValue::kString || f.text != headers[seen].value
             : f.type != mailhook::CHeaderValue::kInt || f.number != headers[seen].number)) {
      wrong = true;
      return;
    }
    ++seen;
  });
  return wrong ? -1 : seen;
}

// A request or reply of typed items followed by raw bytes, built with one copy of the bytes.
void LoadWithBytes(CIPCMsgBuffer& out, const CIPCMsgBuffer& items, const void* data, size_t size) {
  std::vector<uint8_t> bytes;
  bytes.reserve(items.GetSize() + size);
  bytes.insert(bytes.end(), items.GetData(), items.GetData() + items.GetSize());
  bytes.insert(bytes.end(), static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size);
  out.Load(std::move(bytes));
}

const uint8_t* RawAfterItems(const CIPCMsgBuffer& b) {
  return b.GetData() + b.GetReadPos();
}

// A shared file mapped once, whole, and touched, so that later copies never fault.
struct FloorSlot {
  void* base = nullptr;
  size_t size = 0;
  void Map(const std::string& path, size_t bytes, bool create) {
    int fd = open(path.c_str(), create ? O_RDWR | O_CREAT | O_CLOEXEC : O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0 || (create && ftruncate(fd, static_cast<off_t>(bytes)) != 0))
      throw std::runtime_error("floor file " + path);
    base = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd, 0);
    close(fd);
    if (base == MAP_FAILED) throw std::runtime_error("floor mapping " + path);
    size = bytes;
  }
  ~FloorSlot() {
    if (base && base != MAP_FAILED) munmap(base, size);
  }
};

// ---------------------------------------------------------------------------------------------
// The service.

class Service {
 public:
  // The layer's handler: every header and every content byte read in place, the checksum sent
  // back; for a rewrite (the sequence says which scenario), new content and update headers.
  bool Scan(mailhook::CScanMessage& message) {
    if (ReadFields(message, kHeaders, kHeaderCount) != kHeaderCount) return false;
    const std::string_view content = message.Content();
    message.SetAnswer(Fold(Checksum(content.data(), content.size())));
    if (message.Sequence() != kRewrite) return true;
    static const mailhook::CHeaderList updates = HeaderList(kUpdates, kUpdateHeaders);
    if (!message.ReplaceContent(Rewritten(content.size()))) return false;
    message.UpdateHeaders().Add(updates);
    return true;
  }

  void Handle(const CIPCMsgBuffer& request, CIPCMsgBuffer& reply) {
    int32_t command = 0;
    request >> command;
    switch (command) {
      case kFloor:
        return Floor(request, reply);
      case kFloorAttach:
        return FloorAttach(request, reply);
      case kInlineBegin:
        return InlineBegin(request, reply);
      case kInlineChunk:
        return InlineChunk(request, reply);
      case kInlineEnd:
        return InlineEnd(request, reply);
      case kInlineFetch:
        return InlineFetch(request, reply);
      default:
        reply << kFailed << int32_t(0);
    }
  }

 private:
  struct Session {
    int32_t scenario = kRead;
    int headers = 0;
    std::string body;
    const std::string* rewrite = nullptr;
  };

  // The new content of a rewrite: one per size, made once.
  const std::string& Rewritten(size_t size) {
    std::lock_guard lock(m_rewriteLock);
    auto& s = m_rewrites[size];
    if (s.size() != size) s = MakeContent(size, 2);
    return s;
  }

  void FloorAttach(const CIPCMsgBuffer& request, CIPCMsgBuffer& reply) {
    int32_t slot = 0;
    OS::x_wstring path;
    uint32_t size = 0;
    request >> slot >> path >> size;
    auto s = std::make_unique<FloorSlot>();
    std::string narrow(path.begin(), path.end());
    s->Map(narrow, size, false);
    std::lock_guard lock(m_floorLock);
    m_floor[slot] = std::move(s);
    reply << kOk << int32_t(0);
  }

  void Floor(const CIPCMsgBuffer& request, CIPCMsgBuffer& reply) {
    int32_t slot = 0, size = 0, scenario = 0, unused = 0;
    request >> slot >> size >> scenario >> unused >> unused;
    FloorSlot* s = nullptr;
    {
      std::lock_guard lock(m_floorLock);
      s = m_floor.at(slot).get();
    }
    const int32_t sum = Fold(Checksum(s->base, static_cast<size_t>(size)));
    if (scenario == kRewrite) {
      const std::string& now = Rewritten(static_cast<size_t>(size));
      std::memcpy(s->base, now.data(), now.size());
    }
    reply << kOk << sum;
  }

  Session& SessionOf(int32_t id) {
    std::lock_guard lock(m_sessionLock);
    return m_sessions[id];
  }

  void InlineBegin(const CIPCMsgBuffer& request, CIPCMsgBuffer& reply) {
    int32_t id = 0, scenario = 0;
    uint32_t expected = 0;
    request >> id >> scenario >> expected;
    Session& s = SessionOf(id);
    s.scenario = scenario;
    s.headers =
        CountHeaderLines(reinterpret_cast<const char*>(RawAfterItems(request)), request.GetRemaining());
    s.body.clear();
    s.body.reserve(expected);
    reply << kOk << int32_t(0);
  }

  void InlineChunk(const CIPCMsgBuffer& request, CIPCMsgBuffer& reply) {
    int32_t id = 0;
    request >> id;
    Session& s = SessionOf(id);
    s.body.append(reinterpret_cast<const char*>(RawAfterItems(request)), request.GetRemaining());
    reply << kOk << int32_t(0);
  }

  void InlineEnd(const CIPCMsgBuffer& request, CIPCMsgBuffer& reply) {
    int32_t id = 0;
    request >> id;
    Session& s = SessionOf(id);
    if (s.headers != kHeaderCount) {
      reply << kFailed << int32_t(0) << uint32_t(0);
      return;
    }
    const int32_t sum = Fold(Checksum(s.body.data(), s.body.size()));
    CIPCMsgBuffer items;
    if (s.scenario == kRewrite) {
      s.rewrite = &Rewritten(s.body.size());
      items << kOk << sum << static_cast<uint32_t>(s.rewrite->size());
      static const std::string lines = HeaderLines(kUpdates, kUpdateHeaders);
      LoadWithBytes(reply, items, lines.data(), lines.size());
    } else {
      reply << kOk << sum << uint32_t(0);
    }
  }

  void InlineFetch(const CIPCMsgBuffer& request, CIPCMsgBuffer& reply) {
    int32_t id = 0;
    uint32_t offset = 0;
    request >> id >> offset;
    Session& s = SessionOf(id);
    CIPCMsgBuffer items;
    if (s.rewrite == nullptr || offset > s.rewrite->size()) {
      reply << kFailed;
      return;
    }
    items << kOk;
    LoadWithBytes(reply, items, s.rewrite->data() + offset, std::min(kChunk, s.rewrite->size() - offset));
  }

  std::mutex m_rewriteLock, m_floorLock, m_sessionLock;
  std::map<size_t, std::string> m_rewrites;
  std::map<int32_t, std::unique_ptr<FloorSlot>> m_floor;
  std::map<int32_t, Session> m_sessions;
};

int Serve(const fs::path& workDir) {
  Service service;
  mailhook::CScanServiceOptions options;
  options.folder = workDir;
  mailhook::CScanService scanService(options,
                                     [&service](mailhook::CScanMessage& m) { return service.Scan(m); });
  scanService.Start();
  CRPCServer roads(CComponentID(kRoadsLink), [&service](const CIPCMsgBuffer& request, CIPCMsgBuffer& reply) {
    service.Handle(request, reply);
  });
  std::printf("ready\n");
  std::fflush(stdout);
  // Ends with the hook: its side of the pipe on stdin closes when it exits.
  char c;
  while (read(0, &c, 1) > 0) {
  }
  return 0;
}

// ---------------------------------------------------------------------------------------------
// The hook.

long RssKiB(const char* field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind(field, 0) == 0) return std::strtol(line.c_str() + std::strlen(field), nullptr, 10);
  return -1;
}

// What a message left mapped, read before the hook gives its resources back.
struct Probe {
  uint64_t contentView = 0;
  long residentFileKiB = 0;  // pages of mapped files resident in this process
};

struct Expected {
  std::string content;
  uint64_t contentSum = 0;
  uint64_t rewriteSum = 0;
};

struct Worker {
  int index = 0;
  std::unique_ptr<CRPCClientHelper> link;  // the inline and floor roads' own connection
  FloorSlot slot;
  std::string inbox;  // the inline road's rewritten message, gathered
};

class Hook {
 public:
  Hook(const fs::path& workDir, int threads) : m_workDir(workDir), m_threads(threads) {}
  ~Hook() {
    m_client.reset();
    fs::remove_all(m_workDir);
  }

  // floor: also make the floor road's shared buffers (64 MiB per thread, kept resident).
  void Setup(bool floor = true) {
    mailhook::CHookClientOptions options;
    options.folder = m_workDir;
    options.poolId = kPoolId;
    options.holders = m_threads;
    options.maxMessage = kMaxMessage;
    options.retryFor = 0;
    m_client = std::make_unique<mailhook::CHookClient>(options);
    m_maxFileSize = m_client->LargestKeptMapping();

    for (int t = 0; t < m_threads; ++t) {
      auto w = std::make_unique<Worker>();
      w->index = t;
      if (!floor) {
        m_workers.push_back(std::move(w));
        continue;
      }
      w->link = std::make_unique<CRPCClientHelper>(CComponentID(kRoadsLink), nullptr);
      std::string path = (m_workDir / ("floor-" + std::to_string(t))).string();
      w->slot.Map(path, kMaxMessage, true);
      CIPCMsgBuffer attach, answer;
      attach << int32_t(kFloorAttach) << int32_t(t) << OS::x_wstring(path.begin(), path.end()) << kMaxMessage;
      w->link->SendRequest(attach, answer);
      m_workers.push_back(std::move(w));
    }
  }

  // Carries one message on one road; false when anything read back was wrong.
  bool Carry(Road road, Scenario scenario, Worker& w, const Expected& m, Probe* probe = nullptr) {
    switch (road) {
      case kMailhook:
        return CarryMailhook(scenario, m, probe);
      case kInline:
        return CarryInline(scenario, w, m);
      case kFloorRoad:
        return CarryFloor(scenario, w, m);
    }
    return false;
  }

  Worker& GetWorker(int t) { return *m_workers[static_cast<size_t>(t)]; }
  int Threads() const { return m_threads; }
  uint64_t MaxFileSize() const { return m_maxFileSize; }

 private:
  bool CarryMailhook(Scenario scenario, const Expected& m, Probe* probe) {
    static const mailhook::CHeaderList headers = HeaderList(kHeaders, kHeaderCount);
    try {
      mailhook::CCarryOutcome outcome = m_client->Carry(headers, m.content, scenario);
      if (outcome.Answer() != Fold(m.contentSum)) return Why("the service read other content");
      if (scenario == kRewrite) {
        if (ReadHeaders(outcome.UpdateHeaders(), kUpdates, kUpdateHeaders) != kUpdateHeaders)
          return Why("wrong update headers");
        const std::string_view now = outcome.Content();
        if (Checksum(now.data(), now.size()) != m.rewriteSum) return Why("wrong new content");
      }
      if (probe) {
        probe->contentView = outcome.ContentViewBytes();
        probe->residentFileKiB = RssKiB("RssFile:") + RssKiB("RssShmem:");
      }
      // The layer cuts a file grown past what a process may keep mapped back to its default
      // length as the holder goes back, as the mailhook command's hook does.
      outcome.Release();
    } catch (const mailhook::CMailhookError& e) {
      return Why(mailhook::CMailhookError::CodeName(e.GetCode()));
    }
    return true;
  }

  bool CarryInline(Scenario scenario, Worker& w, const Expected& m) {
    static const std::string lines = HeaderLines(kHeaders, kHeaderCount);
    CIPCMsgBuffer items, request, reply;
    int32_t status = kFailed, sum = 0;
    items << int32_t(kInlineBegin) << int32_t(w.index) << int32_t(scenario)
          << static_cast<uint32_t>(m.content.size());
    LoadWithBytes(request, items, lines.data(), lines.size());
    w.link->SendRequest(request, reply);
    reply >> status;
    if (status != kOk) return Why("service refused");
    for (size_t at = 0; at < m.content.size(); at += kChunk) {
      items.Clear();
      items << int32_t(kInlineChunk) << int32_t(w.index);
      LoadWithBytes(request, items, m.content.data() + at, std::min(kChunk, m.content.size() - at));
      w.link->SendRequest(request, reply);
      reply >> status;
      if (status != kOk) return Why("service refused");
    }
    request.Clear();
    request << int32_t(kInlineEnd) << int32_t(w.index);
    w.link->SendRequest(request, reply);
    uint32_t newSize = 0;
    reply >> status >> sum >> newSize;
    if (status != kOk || sum != Fold(m.contentSum)) return Why("the service read other content");
    if (scenario == kRewrite) {
      if (CountHeaderLines(reinterpret_cast<const char*>(RawAfterItems(reply)), reply.GetRemaining()) !=
          kUpdateHeaders)
        return Why("wrong update headers");
      w.inbox.clear();
      w.inbox.reserve(newSize);
      while (w.inbox.size() < newSize) {
        request.Clear();
        request << int32_t(kInlineFetch) << int32_t(w.index) << static_cast<uint32_t>(w.inbox.size());
        w.link->SendRequest(request, reply);
        reply >> status;
        if (status != kOk || reply.GetRemaining() == 0) return Why("new content cut short");
        w.inbox.append(reinterpret_cast<const char*>(RawAfterItems(reply)), reply.GetRemaining());
      }
      if (Checksum(w.inbox.data(), w.inbox.size()) != m.rewriteSum) return Why("wrong new content");
    }
    return true;
  }

  bool CarryFloor(Scenario scenario, Worker& w, const Expected& m) {
    std::memcpy(w.slot.base, m.content.data(), m.content.size());
    // The same six items as the library's integer request.
    CIPCMsgBuffer request(64, false), reply(64, false);
    request << int32_t(kFloor) << int32_t(w.index) << static_cast<int32_t>(m.content.size())
            << int32_t(scenario) << int32_t(0) << int32_t(0);
    w.link->SendRequest(request, reply);
    int32_t status = kFailed, sum = 0;
    reply >> status >> sum;
    if (status != kOk || sum != Fold(m.contentSum)) return Why("the service read other content");
    if (scenario == kRewrite && Checksum(w.slot.base, m.content.size()) != m.rewriteSum)
      return Why("wrong new content");
    return true;
  }

  fs::path m_workDir;
  int m_threads;
  std::unique_ptr<mailhook::CHookClient> m_client;
  uint64_t m_maxFileSize = 0;
  std::vector<std::unique_ptr<Worker>> m_workers;
};

// ---------------------------------------------------------------------------------------------
// The run.

struct Cell {
  Road road;
  Scenario scenario;
  int threads;
  size_t size;
  uint64_t messages = 0;      // per repetition, unless runs are timed
  std::vector<double> rates;  // messages per second, one per repetition
  uint64_t carried = 0;       // over all repetitions
  double seconds = 0;         // over all repetitions
  bool ok = true;
  double PerSecond() const {
    std::vector<double> r = rates;
    std::sort(r.begin(), r.end());
    return r.empty() ? 0 : r[r.size() / 2];
  }
  double MiBPerSecond() const { return PerSecond() * static_cast<double>(size) / (1024.0 * 1024.0); }
};

uint64_t MessagesFor(size_t size, double scale) {
  uint64_t n = size <= 1024          ? 3000
               : size <= (64u << 10) ? 1500
               : size <= (1u << 20)  ? 240
               : size <= (10u << 20) ? 32
                                     : 10;
  return std::max<uint64_t>(8, static_cast<uint64_t>(static_cast<double>(n) * scale));
}

struct CellRun {
  uint64_t messages = 0;
  double seconds = 0;
  bool ok = true;
};

// Carries messages on all threads: the given number, or as many as fit in duration seconds when
// that is positive.
CellRun RunCell(Hook& hook, Road road, Scenario scenario, int threads, const Expected& m, uint64_t messages,
                double duration) {
  std::atomic<uint64_t> next{0};
  std::atomic<bool> ok{true};
  std::mutex whyLock;
  std::string why;
  using Clock = std::chrono::steady_clock;
  Clock::time_point deadline = Clock::time_point::max();
  auto work = [&](int t, uint64_t count, std::atomic<uint64_t>& counter) {
    Worker& w = hook.GetWorker(t);
    while (Clock::now() < deadline && counter++ < count)
      if (!hook.Carry(road, scenario, w, m)) {
        std::lock_guard lock(whyLock);
        if (why.empty()) why = t_why ? t_why : "?";
        ok = false;
      }
  };
  // Warm-up: every thread carries two messages so views, files and buffers have their size.
  {
    std::vector<std::thread> pool;
    std::vector<std::atomic<uint64_t>> counters(static_cast<size_t>(threads));
    for (int t = 0; t < threads; ++t)
      pool.emplace_back(work, t, 2, std::ref(counters[static_cast<size_t>(t)]));
    for (auto& th : pool) th.join();
  }
  auto start = Clock::now();
  if (duration > 0) {
    deadline = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(duration));
    messages = UINT64_MAX / 2;
  }
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) pool.emplace_back(work, t, messages, std::ref(next));
  for (auto& th : pool) th.join();
  CellRun run;
  run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  // Past the deadline a thread stops before it counts: the counter is what was carried.
  run.messages = duration > 0 ? next.load() : messages;
  run.ok = ok;
  if (!ok) std::fprintf(stderr, "%s %s: %s\n", kRoadName[road], kScenarioName[scenario], why.c_str());
  return run;
}

std::string SizeName(size_t size) {
  if (size >= (1u << 20)) return std::to_string(size >> 20) + " MiB";
  if (size >= 1024) return std::to_string(size >> 10) + " KiB";
  return std::to_string(size) + " B";
}

std::string Machine() {
  utsname u{};
  uname(&u);
  std::string cpu = "unknown cpu";
  std::ifstream info("/proc/cpuinfo");
  for (std::string line; std::getline(info, line);)
    if (line.rfind("model name", 0) == 0) {
      cpu = line.substr(line.find(':') + 2);
      break;
    }
  return cpu + ", " + std::to_string(std::thread::hardware_concurrency()) + " cores, " + u.sysname + " " +
         u.release;
}

std::string Today() {
  std::time_t t = std::time(nullptr);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d", std::gmtime(&t));
  return buf;
}

struct Options {
  std::vector<size_t> sizes = {1u << 10, 64u << 10, 1u << 20, 10u << 20, 50u << 20};
  std::vector<int> threads = {1, 8};
  std::vector<Scenario> scenarios = {kRead, kRewrite};
  std::vector<Road> roads = {kMailhook, kInline, kFloorRoad};
  int repetitions = 3;
  double scale = 1.0;
  std::string json;
  fs::path dir;
  uint64_t memoryMessages = 0;
  uint64_t maxFileSize = 0;  // 0: the pool's default
  double duration = 0;       // seconds per run instead of a number of messages
};

int RunRoads(const Options& o, const fs::path& workDir) {
  std::vector<Cell> cells;
  int maxThreads = *std::max_element(o.threads.begin(), o.threads.end());
  Hook hook(workDir, maxThreads);
  hook.Setup();
  std::map<size_t, Expected> messages;
  for (size_t size : o.sizes) {
    Expected& m = messages[size];
    m.content = MakeContent(size, 1);
    m.contentSum = Checksum(m.content.data(), size);
    std::string rewritten = MakeContent(size, 2);
    m.rewriteSum = Checksum(rewritten.data(), size);
  }
  bool allOk = true;
  for (Scenario scenario : o.scenarios)
    for (int threads : o.threads)
      for (size_t size : o.sizes) {
        std::vector<Cell*> group;
        for (Road road : o.roads) {
          cells.push_back(Cell{road, scenario, threads, size, MessagesFor(size, o.scale), {}, true});
        }
        for (size_t i = cells.size() - o.roads.size(); i < cells.size(); ++i) group.push_back(&cells[i]);
        // Repetitions interleave the roads, each time in another order, so a busy moment of the
        // machine does not fall on one road only.
        for (int rep = 0; rep < o.repetitions; ++rep)
          for (size_t k = 0; k < group.size(); ++k) {
            Cell& c = *group[(k + static_cast<size_t>(rep)) % group.size()];
            CellRun run = RunCell(hook, c.road, scenario, threads, messages[size], c.messages, o.duration);
            if (!run.ok) {
              c.ok = false;
              allOk = false;
              std::fprintf(stderr, "%s %s %d threads %s: a message came back wrong\n", kRoadName[c.road],
                           kScenarioName[scenario], threads, SizeName(size).c_str());
            } else if (run.seconds > 0) {
              c.rates.push_back(static_cast<double>(run.messages) / run.seconds);
              c.carried += run.messages;
              c.seconds += run.seconds;
            }
          }
        std::fprintf(stderr, "done: %s, %d thread%s, %s\n", kScenarioName[scenario], threads,
                     threads > 1 ? "s" : "", SizeName(size).c_str());
      }

  auto find = [&](Road road, const Cell& like) -> const Cell* {
    for (const Cell& c : cells)
      if (c.road == road && c.scenario == like.scenario && c.threads == like.threads && c.size == like.size)
        return &c;
    return nullptr;
  };
  std::printf("\nMachine: %s; %s; backing files in %s; largest file kept mapped %s\n", Machine().c_str(),
              Today().c_str(), workDir.c_str(), SizeName(static_cast<size_t>(hook.MaxFileSize())).c_str());
  std::printf("Median of %d runs (each road in turn, %s); time per message = 1 / messages per second.\n\n",
              o.repetitions,
              o.duration > 0 ? (std::to_string(static_cast<int>(o.duration)) + " s each").c_str()
                             : "a fixed number of messages");
  std::printf(
      "| scenario | threads | size | mailhook msg/s | inline msg/s | floor msg/s | mailhook MiB/s | inline "
      "MiB/s | floor MiB/s | mailhook vs inline | mailhook / floor time |\n");
  std::printf("|---|---|---|---|---|---|---|---|---|---|---|\n");
  std::ostringstream json;
  json << "{\n  \"machine\": \"" << Machine() << "\",\n  \"date\": \"" << Today() << "\",\n  \"dir\": \""
       << workDir.string() << "\",\n  \"max_file_size\": " << hook.MaxFileSize()
       << ",\n  \"repetitions\": " << o.repetitions << ",\n  \"results\": [\n";
  bool first = true;
  for (const Cell& c : cells) {
    char line[512];
    std::snprintf(
        line, sizeof line,
        "    {\"road\": \"%s\", \"scenario\": \"%s\", \"threads\": %d, \"size\": %zu, \"messages\": %llu, "
        "\"seconds\": %.6f, \"messages_per_s\": %.2f, \"mib_per_s\": %.2f, \"ok\": %s}",
        kRoadName[c.road], kScenarioName[c.scenario], c.threads, c.size,
        static_cast<unsigned long long>(c.carried), c.seconds, c.PerSecond(), c.MiBPerSecond(),
        c.ok ? "true" : "false");
    json << (first ? "" : ",\n") << line;
    first = false;
    if (c.road != o.roads.front()) continue;
    const Cell* mh = find(kMailhook, c);
    const Cell* in = find(kInline, c);
    const Cell* fl = find(kFloorRoad, c);
    auto rate = [](const Cell* x) { return x ? x->PerSecond() : 0.0; };
    auto mib = [](const Cell* x) { return x ? x->MiBPerSecond() : 0.0; };
    // A road left out of the run shows as "-".
    auto num = [](double v, int decimals, const char* unit = "") {
      if (v <= 0) return std::string("-");
      char buf[32];
      std::snprintf(buf, sizeof buf, "%.*f%s", decimals, v, unit);
      return std::string(buf);
    };
    const double speedup = rate(in) > 0 ? rate(mh) / rate(in) : 0;
    const double toFloor = rate(mh) > 0 ? rate(fl) / rate(mh) : 0;
    std::printf("| %s | %d | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n", kScenarioName[c.scenario],
                c.threads, SizeName(c.size).c_str(), num(rate(mh), 0).c_str(), num(rate(in), 0).c_str(),
                num(rate(fl), 0).c_str(), num(mib(mh), 1).c_str(), num(mib(in), 1).c_str(),
                num(mib(fl), 1).c_str(), num(speedup, 2, "x").c_str(), num(toFloor, 2).c_str());
  }
  json << "\n  ]\n}\n";
  if (!o.json.empty()) {
    std::ofstream(o.json) << json.str();
    std::printf("\nJSON: %s\n", o.json.c_str());
  }
  return allOk ? 0 : 1;
}

// Resident memory over a long run of mixed messages on the library's road, and the content view
// after a big message and after the small one that follows.
int RunMemory(const Options& o, const fs::path& workDir) {
  Hook hook(workDir, 1);
  hook.Setup(false);
  const size_t sizes[] = {1u << 10, 8u << 10, 64u << 10, 256u << 10, 1u << 20};
  std::vector<Expected> messages;
  for (size_t size : sizes) {
    Expected m;
    m.content = MakeContent(size, 1);
    m.contentSum = Checksum(m.content.data(), size);
    std::string rewritten = MakeContent(size, 2);
    m.rewriteSum = Checksum(rewritten.data(), size);
    messages.push_back(std::move(m));
  }
  Worker& w = hook.GetWorker(0);
  const uint64_t step = std::max<uint64_t>(1, o.memoryMessages / 10);
  std::printf("messages  VmRSS KiB  RssAnon KiB  RssFile+Shmem KiB\n");
  for (uint64_t i = 0; i < o.memoryMessages; ++i) {
    const Expected& m = messages[i % messages.size()];
    if (!hook.Carry(kMailhook, i % 2 ? kRewrite : kRead, w, m)) {
      std::fprintf(stderr, "message %llu came back wrong\n", static_cast<unsigned long long>(i));
      return 1;
    }
    if ((i + 1) % step == 0)
      std::printf("%8llu  %9ld  %11ld  %17ld\n", static_cast<unsigned long long>(i + 1), RssKiB("VmRSS:"),
                  RssKiB("RssAnon:"), RssKiB("RssFile:") + RssKiB("RssShmem:"));
  }
  // A big message, then a small one on the same resource: a view over 6 MiB shrinks back when
  // the resource is next handed out; a file past what may stay mapped is cut back at once.
  for (size_t size : {size_t{10} << 20, size_t{50} << 20}) {
    Expected big;
    big.content = MakeContent(size, 1);
    big.contentSum = Checksum(big.content.data(), size);
    big.rewriteSum = Checksum(MakeContent(size, 2).data(), size);
    Probe during, after;
    if (!hook.Carry(kMailhook, kRead, w, big, &during) ||
        !hook.Carry(kMailhook, kRead, w, messages[0], &after))
      return 1;
    std::printf(
        "%s message: content view %s, mapped file pages resident %ld KiB; "
        "next 1 KiB message: view %s, resident %ld KiB\n",
        SizeName(size).c_str(), SizeName(during.contentView).c_str(), during.residentFileKiB,
        SizeName(after.contentView).c_str(), after.residentFileKiB);
  }
  return 0;
}

template <typename T, typename F>
std::vector<T> ParseList(const std::string& s, F parse) {
  std::vector<T> out;
  std::stringstream in(s);
  for (std::string item; std::getline(in, item, ',');) out.push_back(parse(item));
  return out;
}

size_t ParseSize(const std::string& s) {
  char* end = nullptr;
  double v = std::strtod(s.c_str(), &end);
  std::string unit = end ? end : "";
  double k = unit == "K" || unit == "KiB" ? 1024.0 : unit == "M" || unit == "MiB" ? 1048576.0 : 1.0;
  return static_cast<size_t>(v * k);
}

void Usage() {
  std::fprintf(stderr,
               "e2e_bench [--sizes 1K,64K,1M,10M,50M] [--threads 1,8] [--scenarios read,rewrite]\n"
               "          [--roads mailhook,inline,floor] [--repetitions N] [--scale F] [--json FILE]\n"
               "          [--duration SECONDS] [--dir FOLDER] [--max-file-size BYTES] [--memory MESSAGES]\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::string(argv[1]) == "--serve") return Serve(argv[2]);
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    std::string v = i + 1 < argc ? argv[i + 1] : "";
    if (a == "--sizes") {
      o.sizes = ParseList<size_t>(v, ParseSize);
    } else if (a == "--threads") {
      o.threads = ParseList<int>(v, [](const std::string& x) { return std::max(1, std::atoi(x.c_str())); });
    } else if (a == "--scenarios") {
      o.scenarios =
          ParseList<Scenario>(v, [](const std::string& x) { return x == "rewrite" ? kRewrite : kRead; });
    } else if (a == "--roads") {
      o.roads = ParseList<Road>(v, [](const std::string& x) {
        return x == "inline" ? kInline : x == "floor" ? kFloorRoad : kMailhook;
      });
    } else if (a == "--repetitions") {
      o.repetitions = std::max(1, std::atoi(v.c_str()));
    } else if (a == "--scale") {
      o.scale = std::strtod(v.c_str(), nullptr);
    } else if (a == "--json") {
      o.json = v;
    } else if (a == "--dir") {
      o.dir = v;
    } else if (a == "--duration") {
      o.duration = std::strtod(v.c_str(), nullptr);
    } else if (a == "--max-file-size") {
      o.maxFileSize = ParseSize(v);
    } else if (a == "--memory") {
      o.memoryMessages = std::strtoull(v.c_str(), nullptr, 10);
    } else {
      Usage();
      return 2;
    }
    ++i;
  }
  for (size_t s : o.sizes)
    if (s == 0 || s > kMaxMessage) {
      std::fprintf(stderr, "sizes must be between 1 byte and 64 MiB\n");
      return 2;
    }

  // A private runtime folder for the socket, inherited by the serving process; backing files go
  // there too unless --dir names another folder.
  char dirTemplate[] = "/dev/shm/mailhook-e2e-XXXXXX";
  if (!mkdtemp(dirTemplate)) return 1;
  std::string runtime = std::string(dirTemplate) + "/run";
  setenv("MAILHOOK_RUNTIME_DIR", runtime.c_str(), 1);
  setenv("MAILHOOK_LOG", "", 1);
  IPC::PrepareRuntimeDir();
  // The largest backing file a process keeps mapped is a setting of both processes.
  if (o.maxFileSize) {
    std::string reg = std::string(dirTemplate) + "/settings.reg";
    char value[16];
    std::snprintf(value, sizeof value, "%08llx", static_cast<unsigned long long>(o.maxFileSize));
    std::ofstream(reg) << "Windows Registry Editor Version 5.00\n\n"
                          "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Velmora\\Corvane\\CurrentVersion]\n"
                          "\"MaxAllowedMemMapFileSize\"=dword:"
                       << value << "\n";
    setenv("MAILHOOK_REGISTRY", reg.c_str(), 1);
  }
  fs::path workDir =
      o.dir.empty() ? fs::path(runtime) / "pool" : o.dir / ("mailhook-e2e-" + std::to_string(getpid()));

  int toChild[2], fromChild[2];
  if (pipe(toChild) != 0 || pipe(fromChild) != 0) return 1;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, toChild[0], 0);
  posix_spawn_file_actions_adddup2(&fa, fromChild[1], 1);
  posix_spawn_file_actions_addclose(&fa, toChild[1]);
  posix_spawn_file_actions_addclose(&fa, fromChild[0]);
  char serveArg[] = "--serve";
  std::string workArg = workDir.string();
  char* childArgv[] = {argv[0], serveArg, workArg.data(), nullptr};
  pid_t child = -1;
  if (posix_spawn(&child, "/proc/self/exe", &fa, nullptr, childArgv, environ) != 0) return 1;
  posix_spawn_file_actions_destroy(&fa);
  close(toChild[0]);
  close(fromChild[1]);
  char c = 0;
  while (read(fromChild[0], &c, 1) == 1 && c != '\n') {
  }

  int rc = 1;
  try {
    rc = o.memoryMessages ? RunMemory(o, workDir) : RunRoads(o, workDir);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "e2e_bench: %s\n", e.what());
  }
  close(toChild[1]);
  waitpid(child, nullptr, 0);
  fs::remove_all(dirTemplate);
  return rc;
}
