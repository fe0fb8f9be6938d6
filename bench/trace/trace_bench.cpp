// Operations of the message road that write trace lines, timed with logging off. Built twice
// (trace lines compiled in, and compiled out); the ratio of the two is what a disabled trace
// costs: one level check per line.
#include <filesystem>
#include <string>

#include <benchmark/benchmark.h>

#include "content/hook_HookContent.h"
#include "content/hook_HookContentReceiver.h"
#include "headers/hook_HookHeadersImp.h"
#include "memmap/hook_MemMapResource.h"
#include "pool/hook_MemMapResourcePool.h"
#include "pool/hook_MemMapResourcePoolMgr.h"

namespace {

constexpr int kPool = 7;

// One pool in the pool manager with a header, a content and an update resource, as both sides
// of the road see it in one process.
class Road {
 public:
  Road() {
    m_dir = std::filesystem::temp_directory_path() /
            ("mailhook-trace-bench-" + std::to_string(GetCurrentProcessId()));
    std::filesystem::create_directories(m_dir);
    m_pool = CMemMapResourcePoolMgr::Instance()->CreateResourcePool(kPool);
    for (int i = 0; i < 3; ++i) {
      CMemMapResource* r = m_pool->CreateResource();
      const auto path = (m_dir / ("r" + std::to_string(i))).u16string();
      if (r->Open(i + 1, i == 1 ? SIZE_TYPE_LARGE : SIZE_TYPE_SMALL, path.c_str(), 64 << 10, 4 << 20) != 0)
        std::abort();
      m_pool->AddResource(r);
    }
    if (m_pool->SetupSync() != 0) std::abort();
  }
  ~Road() {
    CMemMapResourcePoolMgr::Instance()->Close();
    CMemMapResourcePoolMgr::CloseSingleton();
    std::filesystem::remove_all(m_dir);
  }
  CMemMapResourcePool* Pool() { return m_pool; }

 private:
  std::filesystem::path m_dir;
  CMemMapResourcePool* m_pool;
};

Road& TheRoad() {
  static Road road;
  return road;
}

void WriteList(CMemMapResource* r) {
  COutputHookHeadersImp w(r->GetDataBaseAddr(), r->GetDataStorageSize());
  for (int id = 1; id <= 30; ++id)
    w.SetHeader(id, "a header value of a realistic length, say sixty characters");
  r->SetDataSize(static_cast<int>(w.GetDataLength()));
}

void BM_AcquireRelease(benchmark::State& state) {
  CMemMapResourcePool* pool = TheRoad().Pool();
  for (auto _ : state) {
    CMemMapResource* r = pool->AcquireResource(SIZE_TYPE_SMALL);
    benchmark::DoNotOptimize(r);
    pool->ReleaseResource(r);
  }
}
BENCHMARK(BM_AcquireRelease);

void BM_WriteHeaderList(benchmark::State& state) {
  CMemMapResourcePool* pool = TheRoad().Pool();
  CMemMapResource* r = pool->AcquireResource(SIZE_TYPE_SMALL);
  for (auto _ : state) WriteList(r);
  pool->ReleaseResource(r);
}
BENCHMARK(BM_WriteHeaderList);

void BM_WriteContent64K(benchmark::State& state) {
  CMemMapResourcePool* pool = TheRoad().Pool();
  CMemMapResource* r = pool->AcquireResource(SIZE_TYPE_LARGE);
  std::string bytes(60 << 10, 'x');
  for (auto _ : state) {
    COutputHookContentMMapResourceImp w(r);
    uint64_t written = 0;
    w.Write(bytes.data(), bytes.size(), written);
    r->SetDataSize(static_cast<int>(w.GetContentSize()));
  }
  pool->ReleaseResource(r);
}
BENCHMARK(BM_WriteContent64K);

// The service's side: a receiver over the three resources, every header read, the content
// looked at, the receiver destroyed.
void BM_Receiver(benchmark::State& state) {
  CMemMapResourcePool* pool = TheRoad().Pool();
  CMemMapResource* header = pool->AcquireResource(SIZE_TYPE_SMALL);
  WriteList(header);
  const int size = header->GetDataSize();
  pool->ReleaseResource(header);  // found by id from the free list, as the service finds it
  for (auto _ : state) {
    header->SetDataSize(size);
    CHookContentReceiver receiver(kPool, 1, 2, 3);
    const char* value = nullptr;
    for (int id = 1; id <= 30; ++id) receiver.GetHeaders()->GetHeader(id, &value);
    benchmark::DoNotOptimize(value);
    benchmark::DoNotOptimize(receiver.GetContent()->GetRawMemoryBlock());
  }
}
BENCHMARK(BM_Receiver);

}  // namespace

BENCHMARK_MAIN();
