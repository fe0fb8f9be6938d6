// The wire encoding on its own: integers, 64-bit integers and strings written into one growing
// encoder and read back from caller memory, as the header lists use it.
#include <string>

#include <benchmark/benchmark.h>

#include "xdr/hook_XDR.h"

namespace {

const std::string kText = "a header value of a realistic length, say sixty characters!";

void Encode(OutputXDR& out, int records) {
  for (int i = 0; i < records; ++i) {
    out.WriteLong(i);
    out.WriteULongLong(static_cast<int64_t>(i) << 33);
    out.WriteString(static_cast<uint32_t>(kText.size()), kText.c_str());
  }
}

void BM_Encode(benchmark::State& state) {
  const int records = static_cast<int>(state.range(0));
  for (auto _ : state) {
    OutputXDR out(4096);
    Encode(out, records);
    benchmark::DoNotOptimize(out.TotalLength());
  }
  state.SetItemsProcessed(state.iterations() * records);
}
BENCHMARK(BM_Encode)->Arg(30)->Arg(1000);

void BM_Decode(benchmark::State& state) {
  const int records = static_cast<int>(state.range(0));
  OutputXDR out(1 << 20);  // one block, so the bytes are contiguous
  Encode(out, records);
  std::string bytes(out.Begin()->Base(), out.TotalLength());
  for (auto _ : state) {
    InputXDR in(bytes.data(), bytes.size());
    int32_t v = 0;
    int64_t w = 0;
    for (int i = 0; i < records; ++i) {
      in.ReadLong(v);
      in.ReadULongLong(w);
      in.SkipString();
    }
    benchmark::DoNotOptimize(v + w);
    if (in.GoodBit() != 1) state.SkipWithError("decode failed");
  }
  state.SetItemsProcessed(state.iterations() * records);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes.size()));
}
BENCHMARK(BM_Decode)->Arg(30)->Arg(1000);

}  // namespace

BENCHMARK_MAIN();
