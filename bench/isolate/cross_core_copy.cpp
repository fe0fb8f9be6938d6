// What a message's content costs when the thread that writes it and the thread that reads it
// run on the same core, and when they run on two. One thread copies 64 KiB into one of eight
// shared buffers (as a hook fills a pooled content resource), hands it over, and the other reads
// every byte (as the service does); then the next buffer. Both threads are pinned, so the
// scheduler does not choose for us. Also with the data 548 bytes into the buffer, where a
// resource's data area begins, against a page-aligned start.
//
//   cross_core_copy [--size BYTES] [--messages N]
//
// Prints microseconds per message for the copy and for the read in each case. With the threads
// on two cores the copy writes lines the other core has just read: every line is fetched back
// before it is written.
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "../bench_checksum.h"

namespace {

bool Pin(int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  return pthread_setaffinity_np(pthread_self(), sizeof set, &set) == 0;
}

struct Result {
  double copyMicros = 0;
  double readMicros = 0;
};

Result Run(int writerCpu, int readerCpu, size_t offset, size_t size, int messages) {
  constexpr int kBuffers = 8;
  constexpr size_t kStride = size_t{1} << 20;
  const size_t area = kBuffers * (kStride > size + offset ? kStride : size + offset + 4096);
  auto* base = static_cast<unsigned char*>(
      mmap(nullptr, area, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS | MAP_POPULATE, -1, 0));
  if (base == MAP_FAILED) {
    std::perror("mmap");
    std::exit(1);
  }
  const size_t stride = area / kBuffers;
  std::vector<unsigned char> source(size, 'x');
  // 0: the writer's turn, 1: the reader's. Waiting sleeps (futex), so two threads pinned to one
  // core hand over as a hook and a service do.
  std::atomic<int> turn{0};
  double readSeconds = 0;
  uint64_t sink = 0;
  std::thread reader([&] {
    Pin(readerCpu);
    for (int i = 0; i < messages; ++i) {
      turn.wait(0);
      const auto start = std::chrono::steady_clock::now();
      sink += Checksum(base + (i % kBuffers) * stride + offset, size);
      readSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      turn.store(0);
      turn.notify_one();
    }
  });
  Pin(writerCpu);
  double copySeconds = 0;
  for (int i = 0; i < messages; ++i) {
    const auto start = std::chrono::steady_clock::now();
    std::memcpy(base + (i % kBuffers) * stride + offset, source.data(), size);
    copySeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    turn.store(1);
    turn.notify_one();
    turn.wait(1);
  }
  reader.join();
  munmap(base, area);
  if (sink == 42) std::puts("");  // keeps the reads
  return {copySeconds / messages * 1e6, readSeconds / messages * 1e6};
}

}  // namespace

int main(int argc, char** argv) {
  size_t size = 64 * 1024;
  int messages = 20000;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    if (flag == "--size")
      size = std::strtoull(argv[i + 1], nullptr, 10);
    else if (flag == "--messages")
      messages = std::atoi(argv[i + 1]);
  }
  if (size == 0 || messages <= 0 || std::thread::hardware_concurrency() < 2) {
    std::fprintf(stderr, "usage: cross_core_copy [--size BYTES] [--messages N] (needs two CPUs)\n");
    return 2;
  }
  std::printf("%zu bytes, %d messages, eight buffers taken in turn; microseconds per message\n", size,
              messages);
  Run(0, 1, 0, size, messages / 10 + 1);  // pages and caches warm
  for (int round = 0; round < 2; ++round)
    for (size_t offset : {size_t{0}, size_t{548}})
      for (int readerCpu : {0, 1}) {
        const Result r = Run(0, readerCpu, offset, size, messages);
        std::printf("%-15s data at +%-4zu copy %7.2f  read %7.2f\n",
                    readerCpu == 0 ? "one core" : "two cores", offset, r.copyMicros, r.readMicros);
      }
  return 0;
}
