// What the parts of a message's road cost when many hook threads share two cores, with none of
// the library: plain sockets, shared mappings and a mutex. Two processes (fork), one connection
// and one pair of shared areas per hook thread, a thread per connection in the service, one small
// request and reply per message, as on the library's road. Three roads, each adding one part:
//   floor    the content copied into a kept mapping, the service reads every byte
//   +headers also 30 header records (the e2e benchmark's) written into a second mapping in a
//            length-prefixed layout, and on the service's side indexed and compared with what
//            was sent (as the e2e benchmark's service does with the library's header list)
//   +pool    also three areas taken from a free list under a mutex and a counting semaphore and
//            given back after the reply, their shared data sizes set and reset, and the
//            service finding and claiming the three under its own mutex
// It prints messages per second per road, alternating the roads, medians of the repetitions.
//
//   road_parts [--threads N] [--size BYTES] [--seconds S] [--repetitions N]
#include <fcntl.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../bench_checksum.h"

namespace {

enum Road : int32_t { kFloor = 0, kWithHeaders = 1, kPool = 2 };
const char* const kRoadName[] = {"floor", "+headers", "+pool"};

constexpr size_t kHeaderArea = 16u << 10;
constexpr size_t kAreas = 3;  // per thread on the +pool road: headers, content, update headers

struct Header {
  const char* name;
  const char* value;
};
// The e2e benchmark's 30 headers (its three integer ones as short text here).
const Header kHeaders[] = {
    {"Return-Path", "<alice.archer@example.org>"},
    {"Received",
     "from mx1.example.org (mx1.example.org [192.0.2.10]) by mail.example.net with ESMTPS id 4F2A1B3C for "
     "<bob@example.net>; Sat, 5 Dec 2026 10:15:02 +0000"},
    {"Received",
     "from relay.example.org (relay.example.org [192.0.2.20]) by mx1.example.org with ESMTP id 9C8B7A6D; "
     "Sat, 5 Dec 2026 10:15:01 +0000"},
    {"Received",
     "from [198.51.100.7] (helo=laptop) by relay.example.org with esmtpsa (TLS1.3) id 1kQz2X-0004Fz-Lm; Sat, "
     "5 Dec 2026 10:15:00 +0000"},
    {"Received", "by laptop (Postfix-like MTA, from userid 1000) id 7E1F2; Sat, 5 Dec 2026 10:14:59 +0000"},
    {"DKIM-Signature",
     "v=1; a=rsa-sha256; c=relaxed/relaxed; d=example.org; s=mail2026; t=1796551500; "
     "bh=47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=; h=From:To:Subject:Date:Message-ID; "
     "b=Kx3m0x9AbCdEfGhIjKlMnOpQrStUvWxYz0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUV=="},
    {"Authentication-Results",
     "mail.example.net; dkim=pass header.d=example.org; spf=pass smtp.mailfrom=example.org; dmarc=pass"},
    {"From", "Alice Archer <alice.archer@example.org>"},
    {"To", "Bob Baker <bob@example.net>, Carol Cole <carol@example.net>"},
    {"Cc", "Dan Drake <dan@example.com>"},
    {"Subject", "Quarterly figures and the draft of the new plan (please review before Monday)"},
    {"Date", "Sat, 5 Dec 2026 10:14:58 +0000"},
    {"Message-ID", "<20261205101458.7E1F2@laptop.example.org>"},
    {"In-Reply-To", "<20261204170203.11AB3@mail.example.net>"},
    {"References", "<20261201090000.1@mail.example.net> <20261204170203.11AB3@mail.example.net>"},
    {"MIME-Version", "1.0"},
    {"Content-Type", "multipart/mixed; boundary=\"----=_Part_1234_5678.1796551498\""},
    {"X-Mailer", "Example Mail 12.4"},
    {"X-Originating-IP", "[198.51.100.7]"},
    {"List-Unsubscribe", "<mailto:unsubscribe@example.org>"},
    {"Thread-Topic", "Quarterly figures"},
    {"Thread-Index", "AQHZ1a2b3c4d5e6f7g8h9i0j"},
    {"Content-Language", "en-GB"},
    {"X-Priority", "3"},
    {"Importance", "normal"},
    {"X-Envelope-From", "alice.archer@example.org"},
    {"X-Envelope-To", "bob@example.net"},
    {"X-Spam-Level", "2"},
    {"X-Recipient-Count", "3"},
    {"X-Hop-Count", "4"},
};
constexpr int kHeaderCount = sizeof(kHeaders) / sizeof(kHeaders[0]);

struct Request {
  int32_t road, thread, area[kAreas];
  uint32_t size;
};
struct Reply {
  uint64_t sum;
};

// A shared area: a data size the other side reads, then the data.
struct Area {
  std::atomic<uint32_t> dataSize;
  uint32_t id;
  char data[1];
};

size_t g_contentArea = 0;
char* g_shared = nullptr;  // every area of every thread, mapped by both processes

Area* AreaAt(int index, size_t bytes) {
  return reinterpret_cast<Area*>(g_shared + static_cast<size_t>(index) * bytes);
}
size_t AreaBytes() {
  return std::max(kHeaderArea, g_contentArea) + 64;
}

void Put32(char*& p, uint32_t v) {
  std::memcpy(p, &v, 4);
  p += 4;
}
uint32_t Get32(const char*& p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  p += 4;
  return v;
}

// id, name length, name, value length, value; 4-byte aligned like the library's layout.
uint32_t WriteHeaders(char* out) {
  char* p = out;
  Put32(p, kHeaderCount);
  for (int i = 0; i < kHeaderCount; ++i) {
    const uint32_t n = static_cast<uint32_t>(std::strlen(kHeaders[i].name));
    const uint32_t v = static_cast<uint32_t>(std::strlen(kHeaders[i].value));
    Put32(p, static_cast<uint32_t>(i + 1));
    Put32(p, n);
    std::memcpy(p, kHeaders[i].name, n);
    p += (n + 3) & ~3u;
    Put32(p, v);
    std::memcpy(p, kHeaders[i].value, v);
    p += (v + 3) & ~3u;
  }
  return static_cast<uint32_t>(p - out);
}

// Indexes the records (bounds checked, as bytes from another process must be) and compares each
// value with what was sent; false when anything differs.
bool ReadHeaders(const char* in, uint32_t size) {
  struct Entry {
    uint32_t id, nameLen, valueLen;
    const char *name, *value;
  } index[64];
  const char* p = in;
  const char* end = in + size;
  if (size < 4) return false;
  const uint32_t count = Get32(p);
  if (count > 64) return false;
  for (uint32_t i = 0; i < count; ++i) {
    Entry& e = index[i];
    if (end - p < 8) return false;
    e.id = Get32(p);
    e.nameLen = Get32(p);
    if (static_cast<size_t>(end - p) < ((e.nameLen + 3) & ~3u) + 4) return false;
    e.name = p;
    p += (e.nameLen + 3) & ~3u;
    e.valueLen = Get32(p);
    if (static_cast<size_t>(end - p) < ((e.valueLen + 3) & ~3u)) return false;
    e.value = p;
    p += (e.valueLen + 3) & ~3u;
  }
  for (int i = 0; i < kHeaderCount; ++i) {
    const Entry* e = nullptr;
    for (uint32_t k = 0; k < count; ++k)
      if (index[k].id == static_cast<uint32_t>(i + 1)) {
        e = &index[k];
        break;
      }
    const size_t v = std::strlen(kHeaders[i].value);
    if (e == nullptr || e->valueLen != v || std::memcmp(e->value, kHeaders[i].value, v) != 0) return false;
  }
  return true;
}

bool SendAll(int fd, const void* p, size_t n) {
  return send(fd, p, n, MSG_NOSIGNAL) == static_cast<ssize_t>(n);
}
bool RecvAll(int fd, void* p, size_t n) {
  return recv(fd, p, n, MSG_WAITALL) == static_cast<ssize_t>(n);
}

// The service's side of the +pool road: the areas a request names are found in a table and
// claimed under one mutex, and given up after the reply is written.
std::mutex g_claimLock;
std::vector<bool> g_claimed;

void ServeConnection(int fd) {
  Request rq;
  const size_t bytes = AreaBytes();
  while (RecvAll(fd, &rq, sizeof rq)) {
    Reply rp{0};
    if (rq.road == kPool) {
      std::lock_guard lock(g_claimLock);
      for (int32_t a : rq.area) g_claimed[static_cast<size_t>(a)] = true;
    }
    if (rq.road == kFloor) {
      Area* c = AreaAt(rq.thread * 2 + 1, bytes);
      rp.sum =
          Checksum(c->data, std::min<size_t>(c->dataSize.load(std::memory_order_acquire), g_contentArea));
    } else {
      Area* h = AreaAt(rq.area[0], bytes);
      Area* c = AreaAt(rq.area[1], bytes);
      const uint32_t hs = std::min<uint32_t>(h->dataSize.load(std::memory_order_acquire), kHeaderArea);
      rp.sum = ReadHeaders(h->data, hs)
                   ? Checksum(c->data,
                              std::min<size_t>(c->dataSize.load(std::memory_order_acquire), g_contentArea))
                   : 0;
    }
    if (rq.road == kPool) {
      std::lock_guard lock(g_claimLock);
      for (int32_t a : rq.area) g_claimed[static_cast<size_t>(a)] = false;
    }
    if (!SendAll(fd, &rp, sizeof rp)) break;
  }
  close(fd);
}

int Serve(int listener, int threads) {
  g_claimed.assign(static_cast<size_t>(threads) * kAreas + static_cast<size_t>(threads) * 2, false);
  std::vector<std::thread> served;
  for (int i = 0; i < threads; ++i) {
    int fd = accept(listener, nullptr, nullptr);
    if (fd < 0) return 1;
    served.emplace_back(ServeConnection, fd);
  }
  for (auto& t : served) t.join();
  return 0;
}

// The hook's side of the +pool road: areas on a LIFO free list under a mutex, counted by a semaphore.
struct Pool {
  std::mutex lock;
  std::list<int> free;
  sem_t count;
  explicit Pool(int first, int n) {
    for (int i = 0; i < n; ++i) free.push_back(first + i);
    sem_init(&count, 0, static_cast<unsigned>(n));
  }
  int Take() {
    while (sem_wait(&count) != 0) {
    }
    std::lock_guard g(lock);
    int a = free.front();
    free.pop_front();
    return a;
  }
  void Give(int a) {
    {
      std::lock_guard g(lock);
      free.push_front(a);
    }
    sem_post(&count);
  }
};

struct Options {
  int threads = 8;
  size_t size = 1024;
  double seconds = 2;
  int repetitions = 3;
};

// CPU seconds used so far by this process and by the service.
double CpuSeconds(pid_t service) {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  double s = static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
             static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(service));
  if (FILE* f = std::fopen(path, "r")) {
    char buf[1024];
    size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    buf[n] = 0;
    // Fields 14 and 15 (utime, stime) come after the command name in parentheses.
    const char* p = std::strrchr(buf, ')');
    unsigned long ut = 0, st = 0;
    if (p != nullptr &&
        std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &ut, &st) == 2)
      s += static_cast<double>(ut + st) / static_cast<double>(sysconf(_SC_CLK_TCK));
  }
  return s;
}

struct RoadRun {
  double rate = 0, cpuPerMessage = 0;
};

RoadRun RunRoad(pid_t service, Road road, const Options& o, const std::vector<int>& fds, Pool& pool,
                const std::string& content, uint64_t want) {
  using Clock = std::chrono::steady_clock;
  const size_t bytes = AreaBytes();
  std::atomic<uint64_t> carried{0};
  std::atomic<bool> ok{true};
  const auto deadline = Clock::now() + std::chrono::duration<double>(o.seconds);
  auto work = [&](int t) {
    uint64_t n = 0;
    const int fd = fds[static_cast<size_t>(t)];
    while (Clock::now() < deadline) {
      Request rq{road, t, {0, 0, 0}, static_cast<uint32_t>(content.size())};
      if (road == kPool) {
        for (int32_t& a : rq.area) a = pool.Take();
      } else {
        rq.area[0] = t * 2;
        rq.area[1] = t * 2 + 1;
      }
      Area* h = AreaAt(rq.area[0], bytes);
      Area* c = AreaAt(rq.area[1], bytes);
      if (road != kFloor) h->dataSize.store(WriteHeaders(h->data), std::memory_order_release);
      std::memcpy(c->data, content.data(), content.size());
      c->dataSize.store(static_cast<uint32_t>(content.size()), std::memory_order_release);
      Reply rp{};
      if (!SendAll(fd, &rq, sizeof rq) || !RecvAll(fd, &rp, sizeof rp) || rp.sum != want) ok = false;
      if (road == kPool)
        for (int32_t a : rq.area) {
          AreaAt(a, bytes)->dataSize.store(0, std::memory_order_release);
          pool.Give(a);
        }
      ++n;
    }
    carried += n;
  };
  const double cpu0 = CpuSeconds(service);
  const auto start = Clock::now();
  std::vector<std::thread> hook;
  for (int t = 0; t < o.threads; ++t) hook.emplace_back(work, t);
  for (auto& t : hook) t.join();
  const double s = std::chrono::duration<double>(Clock::now() - start).count();
  if (!ok) {
    std::fprintf(stderr, "%s: a reply was wrong\n", kRoadName[road]);
    std::exit(1);
  }
  const double messages = static_cast<double>(carried.load());
  return {messages / s, (CpuSeconds(service) - cpu0) / messages};
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string a = argv[i];
    if (a == "--threads")
      o.threads = std::max(1, std::atoi(argv[i + 1]));
    else if (a == "--size")
      o.size = static_cast<size_t>(std::atoll(argv[i + 1]));
    else if (a == "--seconds")
      o.seconds = std::atof(argv[i + 1]);
    else if (a == "--repetitions")
      o.repetitions = std::max(1, std::atoi(argv[i + 1]));
    else {
      std::fprintf(stderr, "road_parts [--threads N] [--size BYTES] [--seconds S] [--repetitions N]\n");
      return 2;
    }
  }
  g_contentArea = std::max<size_t>(o.size, 64);
  // Two fixed areas per thread for the floor and +headers roads, three pooled per thread after them.
  const int fixed = o.threads * 2;
  const int areas = fixed + o.threads * static_cast<int>(kAreas);
  const size_t total = static_cast<size_t>(areas) * AreaBytes();
  std::string shm = "/road-parts-" + std::to_string(getpid());
  int mfd = shm_open(shm.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  if (mfd < 0 || ftruncate(mfd, static_cast<off_t>(total)) != 0) return 1;
  shm_unlink(shm.c_str());
  g_shared =
      static_cast<char*>(mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, mfd, 0));
  if (g_shared == MAP_FAILED) return 1;

  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "/tmp/road-parts-%d", getpid());
  int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  unlink(addr.sun_path);
  if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listener, 64) != 0)
    return 1;
  pid_t service = fork();
  if (service == 0) _exit(Serve(listener, o.threads));
  close(listener);
  std::vector<int> fds;
  for (int t = 0; t < o.threads; ++t) {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return 1;
    fds.push_back(fd);
  }
  unlink(addr.sun_path);

  std::string content(o.size, 'x');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>('A' + (i * 7919) % 58);
  const uint64_t want = Checksum(content.data(), content.size());
  Pool pool(fixed, o.threads * static_cast<int>(kAreas));

  std::vector<double> rates[3], cpu[3];
  for (int rep = 0; rep < o.repetitions; ++rep)
    for (int k = 0; k < 3; ++k) {
      const Road road = static_cast<Road>((k + rep) % 3);
      RoadRun run = RunRoad(service, road, o, fds, pool, content, want);
      rates[road].push_back(run.rate);
      cpu[road].push_back(run.cpuPerMessage);
    }
  for (int fd : fds) close(fd);
  waitpid(service, nullptr, 0);

  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  const double floor = median(rates[kFloor]), floorCpu = median(cpu[kFloor]);
  std::printf("%d threads, %zu bytes, medians of %d runs of %.1f s\n", o.threads, o.size, o.repetitions,
              o.seconds);
  for (int r = 0; r < 3; ++r)
    std::printf("%-9s %9.0f msg/s   time / floor %.2f   CPU per message %.2f us (/ floor %.2f)\n",
                kRoadName[r], median(rates[r]), floor / median(rates[r]), median(cpu[r]) * 1e6,
                median(cpu[r]) / floorCpu);
  return 0;
}
