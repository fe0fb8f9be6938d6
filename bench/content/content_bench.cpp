// Content write and read throughput against a plain memcpy of the same bytes in the same
// iteration. Each benchmark reports content_MBps, memcpy_MBps and ratio (content time over
// memcpy time; 1.0 means the content path costs no more than the copy itself).
//
//   Write/fresh   a new backing file per message: the writer starts on a one-page view and
//                 grows it (re-map and file extension) as 64 KiB chunks arrive.
//   Write/reused  the pool's steady state: the same resource message after message; each
//                 message renews the view (a large one shrinks back), then grows it again.
//   Read          a reader over the mapped data area, read into the caller's buffer in 64 KiB
//                 chunks, as the service reads a message.
//
// Backing files go to MAILHOOK_BENCH_DIR, else /dev/shm (a tmpfs, where the tools put them),
// else the temporary folder.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "content/hook_HookContent.h"
#include "pool/hook_MemMapResourcePool.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kChunk = 64u << 10;
constexpr uint64_t kMaxData = 32u << 20;

fs::path BenchDir() {
  static const fs::path dir = [] {
    fs::path base;
    if (const char* env = std::getenv("MAILHOOK_BENCH_DIR"))
      base = env;
    else if (fs::is_directory("/dev/shm"))
      base = "/dev/shm";
    else
      base = fs::temp_directory_path();
    fs::path d = base / ("mailhook-content-bench-" + std::to_string(GetCurrentProcessId()));
    fs::create_directories(d);
    return d;
  }();
  return dir;
}

std::vector<char> Bytes(size_t n) {
  std::vector<char> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<char>((i * 2654435761u) >> 13);
  return v;
}

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

void Report(benchmark::State& state, size_t size, double content, double copy) {
  const double bytes = static_cast<double>(size) * static_cast<double>(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  state.counters["content_MBps"] = bytes / content / 1e6;
  state.counters["memcpy_MBps"] = bytes / copy / 1e6;
  state.counters["ratio"] = content / copy;
}

CMemMapResource* OpenFresh(CMemMapResourcePool& pool, const std::u16string& path) {
  CMemMapResource* r = pool.CreateResource();
  if (r->Open(1, SIZE_TYPE_LARGE, path.c_str(), 0, kMaxData) != 0) std::abort();
  return r;
}

// Writes the message in chunks through a new writer; returns the bytes written.
uint64_t WriteMessage(CMemMapResource* r, const std::vector<char>& src) {
  COutputHookContentMMapResourceImp writer(r);
  uint64_t written = 0;
  for (size_t done = 0; done < src.size(); done += written) {
    const size_t n = std::min(kChunk, src.size() - done);
    if (writer.Write(const_cast<char*>(src.data()) + done, n, written) != 0) std::abort();
  }
  r->SetDataSize(static_cast<int>(writer.GetContentSize()));
  return writer.GetContentSize();
}

void BM_Write(benchmark::State& state, bool fresh) {
  const auto size = static_cast<size_t>(state.range(0));
  const auto src = Bytes(size);
  std::vector<char> dst(size, 1);
  CMemMapResourcePool pool(1);
  const fs::path file = BenchDir() / (fresh ? "fresh" : "reused");
  const std::u16string path = file.u16string();
  CMemMapResource* kept = fresh ? nullptr : OpenFresh(pool, path);
  double content = 0, copy = 0;
  for (auto _ : state) {
    CMemMapResource* r = kept;
    if (fresh) {
      fs::remove(file);
      r = OpenFresh(pool, path);
    } else {
      r->SetDataSize(0);  // given back to the pool after the previous message
    }
    const auto t0 = Clock::now();
    if (!fresh && r->RenewMemMap() != 0) std::abort();
    benchmark::DoNotOptimize(WriteMessage(r, src));
    const auto t1 = Clock::now();
    std::memcpy(dst.data(), src.data(), size);
    benchmark::ClobberMemory();
    const auto t2 = Clock::now();
    content += Seconds(t0, t1);
    copy += Seconds(t1, t2);
    state.SetIterationTime(Seconds(t0, t1));
    if (fresh) pool.DestroyResource(r);
  }
  if (kept) pool.DestroyResource(kept);
  Report(state, size, content, copy);
}

void BM_Read(benchmark::State& state) {
  const auto size = static_cast<size_t>(state.range(0));
  CMemMapResourcePool pool(1);
  CMemMapResource* r = OpenFresh(pool, (BenchDir() / "read").u16string());
  WriteMessage(r, Bytes(size));
  void* base = r->GetDataBaseAddr();
  std::vector<char> dst(size, 1);
  double content = 0, copy = 0;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    CInputHookContentImp reader(base, r->GetDataSize());
    uint64_t total = 0, read = 0;
    while (total < size) {
      if (reader.Read(dst.data() + total, kChunk, read) != 0) std::abort();
      total += read;
    }
    benchmark::ClobberMemory();
    const auto t1 = Clock::now();
    std::memcpy(dst.data(), base, size);
    benchmark::ClobberMemory();
    const auto t2 = Clock::now();
    content += Seconds(t0, t1);
    copy += Seconds(t1, t2);
    state.SetIterationTime(Seconds(t0, t1));
  }
  pool.DestroyResource(r);
  Report(state, size, content, copy);
}

void Sizes(benchmark::internal::Benchmark* b) {
  for (int64_t size : {4 << 10, 64 << 10, 1 << 20, 16 << 20}) b->Arg(size);
  b->UseManualTime();
}

}  // namespace

BENCHMARK_CAPTURE(BM_Write, fresh, true)->Apply(Sizes);
BENCHMARK_CAPTURE(BM_Write, reused, false)->Apply(Sizes);
BENCHMARK(BM_Read)->Apply(Sizes);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ec;
  fs::remove_all(BenchDir(), ec);
  return 0;
}
