// Acquire/release of one resource from a pool: one thread alone, and 2-4 threads sharing a
// pool with as many resources as threads (lock contention only) or with two (threads also wait
// on the semaphore).
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include <benchmark/benchmark.h>

#include "pool/hook_MemMapResourcePool.h"

namespace {

class BenchPool {
 public:
  explicit BenchPool(int resources) : m_pool(1) {
    m_dir = std::filesystem::temp_directory_path() /
            ("mailhook-pool-bench-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(resources));
    std::filesystem::create_directories(m_dir);
    for (int i = 0; i < resources; ++i) {
      CMemMapResource* r = m_pool.CreateResource();
      const auto path = (m_dir / ("r" + std::to_string(i))).u16string();
      if (r->Open(i + 1, SIZE_TYPE_SMALL, path.c_str(), 0, 1 << 20) != 0) std::abort();
      m_pool.AddResource(r);
    }
    if (m_pool.SetupSync() != 0) std::abort();
  }
  ~BenchPool() {
    m_pool.Close();
    std::filesystem::remove_all(m_dir);
  }
  CMemMapResourcePool& Pool() { return m_pool; }

 private:
  CMemMapResourcePool m_pool;
  std::filesystem::path m_dir;
};

void AcquireRelease(benchmark::State& state, CMemMapResourcePool& pool) {
  for (auto _ : state) {
    CMemMapResource* r = pool.AcquireResource(SIZE_TYPE_SMALL);
    benchmark::DoNotOptimize(r);
    pool.ReleaseResource(r);
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_AcquireRelease_Uncontended(benchmark::State& state) {
  static BenchPool pool(4);
  AcquireRelease(state, pool.Pool());
}
BENCHMARK(BM_AcquireRelease_Uncontended);

// As many resources as threads: nobody waits on the semaphore, all meet on the pool lock.
void BM_AcquireRelease_EnoughResources(benchmark::State& state) {
  static BenchPool pool(4);
  AcquireRelease(state, pool.Pool());
}
BENCHMARK(BM_AcquireRelease_EnoughResources)->Threads(2)->Threads(4)->UseRealTime();

// Two resources for up to four threads: the others block on the semaphore until a release.
void BM_AcquireRelease_TwoResources(benchmark::State& state) {
  static BenchPool pool(2);
  AcquireRelease(state, pool.Pool());
}
BENCHMARK(BM_AcquireRelease_TwoResources)->Threads(2)->Threads(4)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
