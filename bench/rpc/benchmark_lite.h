// The part of Google Benchmark's interface rpc_bench uses, for builds that have no Google
// Benchmark (the MinGW cross build): each benchmark runs for about half a second of real time
// (iterations doubled until a trial lasts 50 ms, then scaled), --benchmark_repetitions=N repeats
// every benchmark in turn and adds the medians, and the console reporter prints real time per
// iteration. Enough to put two exchanges side by side in one run; no statistics beyond the median.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace benchmark {

class State {
 public:
  explicit State(int64_t iterations) : m_iMax(iterations) {}
  // Like Google Benchmark's, a value with a destructor of its own, so "for (auto _ : state)"
  // does not warn about an unused variable.
  struct Value {
    ~Value() {}
  };
  struct Iterator {
    State* s;
    int64_t left;
    bool operator!=(const Iterator&) const { return left > 0 && !s->m_bError; }
    void operator++() { --left; }
    Value operator*() const { return {}; }
  };
  Iterator begin() {
    m_Start = std::chrono::steady_clock::now();
    return {this, m_iMax};
  }
  Iterator end() { return {this, 0}; }
  void SkipWithError(const char* text) {
    m_bError = true;
    m_Error = text;
  }
  void SetBytesProcessed(int64_t) {}
  int64_t iterations() const { return m_iMax; }

  int64_t m_iMax;
  bool m_bError = false;
  std::string m_Error;
  std::chrono::steady_clock::time_point m_Start;
};

template <class T>
inline void DoNotOptimize(T const& value) {
  asm volatile("" : : "r,m"(value) : "memory");
}

struct Run {
  enum RunType { RT_Iteration, RT_Aggregate };
  struct Name {
    std::string function_name;
  } run_name;
  RunType run_type = RT_Iteration;
  std::string aggregate_name;
  bool error_occurred = false;
  int64_t repetitions = 1;
  int64_t iterations = 0;
  double real_ns = 0;  // per iteration
  double GetAdjustedRealTime() const { return real_ns; }
};

class ConsoleReporter {
 public:
  using Run = benchmark::Run;
  virtual ~ConsoleReporter() = default;
  virtual void ReportRuns(const std::vector<Run>& runs) {
    for (const auto& r : runs) {
      std::string name =
          r.run_name.function_name + (r.run_type == Run::RT_Aggregate ? "_" + r.aggregate_name : "");
      if (r.error_occurred)
        std::printf("%-32s ERROR\n", name.c_str());
      else
        std::printf("%-32s %12.0f ns %12lld\n", name.c_str(), r.real_ns,
                    static_cast<long long>(r.iterations));
    }
    std::fflush(stdout);
  }
};

namespace lite {
struct Entry {
  std::string name;
  std::function<void(State&)> fn;
};
inline std::vector<Entry>& Registry() {
  static std::vector<Entry> r;
  return r;
}
inline int& Repetitions() {
  static int n = 1;
  return n;
}
// Seconds one State took, or a negative number on an error.
inline double Time(const Entry& e, int64_t iterations) {
  State s(iterations);
  e.fn(s);
  auto end = std::chrono::steady_clock::now();
  if (s.m_bError) {
    std::fprintf(stderr, "%s: %s\n", e.name.c_str(), s.m_Error.c_str());
    return -1;
  }
  return std::chrono::duration<double>(end - s.m_Start).count();
}
}  // namespace lite

template <class F>
inline void RegisterBenchmark(const char* name, F fn) {
  lite::Registry().push_back({name, std::function<void(State&)>(fn)});
}

inline void Initialize(int* argc, char** argv) {
  for (int i = 1; i < *argc; ++i)
    if (std::strncmp(argv[i], "--benchmark_repetitions=", 24) == 0)
      lite::Repetitions() = std::max(1, std::atoi(argv[i] + 24));
}

// Repetitions take turns across the benchmarks (A B A B ...), so a machine whose load drifts
// during the run weighs on each side alike.
inline void RunSpecifiedBenchmarks(ConsoleReporter* reporter) {
  const int reps = lite::Repetitions();
  auto& entries = lite::Registry();
  std::vector<int64_t> iterations(entries.size(), 0);  // 0: failed
  std::vector<std::vector<Run>> runs(entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    int64_t n = 1;
    double t = 0;
    while ((t = lite::Time(entries[i], n)) >= 0 && t < 0.05) n *= 2;
    if (t >= 0) iterations[i] = std::max<int64_t>(1, static_cast<int64_t>(static_cast<double>(n) * 0.5 / t));
  }
  for (int r = 0; r < reps; ++r) {
    for (size_t i = 0; i < entries.size(); ++i) {
      if (iterations[i] == 0) continue;
      Run run;
      run.run_name.function_name = entries[i].name;
      run.repetitions = reps;
      run.iterations = iterations[i];
      double secs = lite::Time(entries[i], iterations[i]);
      run.error_occurred = secs < 0;
      run.real_ns = secs * 1e9 / static_cast<double>(iterations[i]);
      runs[i].push_back(run);
    }
  }
  for (size_t i = 0; i < entries.size(); ++i) {
    std::vector<double> times;
    for (const auto& run : runs[i])
      if (!run.error_occurred) times.push_back(run.real_ns);
    if (iterations[i] == 0) {
      Run run;
      run.run_name.function_name = entries[i].name;
      run.error_occurred = true;
      runs[i].push_back(run);
    } else if (reps > 1 && !times.empty()) {
      std::sort(times.begin(), times.end());
      Run median = runs[i].front();
      median.run_type = Run::RT_Aggregate;
      median.aggregate_name = "median";
      median.error_occurred = false;
      median.real_ns = times.size() % 2 ? times[times.size() / 2]
                                        : (times[times.size() / 2 - 1] + times[times.size() / 2]) / 2;
      runs[i].push_back(median);
    }
    reporter->ReportRuns(runs[i]);
  }
}

inline void Shutdown() {}

}  // namespace benchmark
