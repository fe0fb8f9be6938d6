// Writing and indexing the header list of a typical message: 30 headers mixing ids, short and
// long strings, wide strings and integers, written into a caller's area as the hook does into
// a resource's data area, then indexed in place as the service does.
#include <cstring>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "headers/hook_HookHeadersImp.h"

namespace {

struct Header {
  int id;
  int kind;  // 0 int, 1 string, 2 wide string, 3 int64
  std::string text;
  std::u16string wide;
  int64_t number;
};

std::vector<Header> TypicalHeaders() {
  std::vector<Header> h;
  auto str = [&](int id, std::string s) { h.push_back({id, 1, std::move(s), {}, 0}); };
  auto wide = [&](int id, std::u16string s) { h.push_back({id, 2, {}, std::move(s), 0}); };
  auto num = [&](int id, int64_t v, bool wide64) { h.push_back({id, wide64 ? 3 : 0, {}, {}, v}); };
  str(1, "sender@example.org");
  str(2, "first.recipient@example.com");
  str(2, "second.recipient@example.com");
  str(3, "<20261205.173512.4411@mx1.example.org>");
  str(4, "Sat, 5 Dec 2026 17:35:12 +0000");
  for (int i = 0; i < 4; ++i) {
    str(5, "from mx" + std::to_string(i) + ".relay.example.net (mx.relay.example.net [192.0.2." +
               std::to_string(10 + i) + "]) by mx1.example.org with ESMTPS id 4Q2x9" + std::to_string(i) +
               "Zk for <first.recipient@example.com>; Sat, 5 Dec 2026 17:35:1" + std::to_string(i) +
               " +0000");
  }
  str(6,
      "v=1; a=rsa-sha256; c=relaxed/relaxed; d=example.org; s=sel2026; h=from:to:subject:date:message-id; "
      "bh=47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=; b=" +
          std::string(344, 'Q'));
  str(7, "text/plain; charset=utf-8");
  str(8, "quoted-printable");
  str(9, "1.0");
  wide(10, u"Quarterly report \u2014 r\u00e9sum\u00e9 attached");
  wide(11, u"J\u00fcrgen M\u00fcller");
  wide(12, u"\u6771\u4eac\u30aa\u30d5\u30a3\u30b9");
  wide(13, u"Re: Re: Fwd: meeting notes");
  num(14, 48213, false);
  num(15, 3, false);
  num(16, 0, false);
  num(17, 1, false);
  num(18, 250, false);
  num(19, 1796492112LL * 1000, true);
  num(20, 0x7FFFFFFF12345678LL, true);
  num(21, -1, true);
  str(22, "spf=pass smtp.mailfrom=example.org; dkim=pass header.d=example.org; dmarc=pass");
  str(23, "");
  str(24, "bulk");
  str(25, "<list-unsubscribe@example.org>");
  str(26, "mx1.example.org");
  return h;
}

const std::vector<Header>& Headers() {
  static const std::vector<Header> headers = TypicalHeaders();
  return headers;
}

void WriteAll(COutputHookHeaders& w) {
  for (const Header& h : Headers()) {
    switch (h.kind) {
      case 0:
        w.SetHeader(h.id, static_cast<int>(h.number));
        break;
      case 1:
        w.SetHeader(h.id, h.text.c_str());
        break;
      case 2:
        w.SetHeader(h.id, h.wide.c_str());
        break;
      default:
        w.SetHeader(h.id, h.number);
        break;
    }
  }
}

void SetRates(benchmark::State& state, uint64_t listBytes) {
  const double n = static_cast<double>(Headers().size());
  state.counters["headers/s"] =
      benchmark::Counter(n * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.SetBytesProcessed(static_cast<int64_t>(listBytes) * state.iterations());
}

void BM_WriteHeaders(benchmark::State& state) {
  std::vector<char> area(64 * 1024);
  uint64_t bytes = 0;
  for (auto _ : state) {
    COutputHookHeadersImp w(area.data(), static_cast<int>(area.size()));
    WriteAll(w);
    bytes = w.GetDataLength();
    benchmark::DoNotOptimize(area.data());
    benchmark::ClobberMemory();
  }
  if (bytes == 0) state.SkipWithError("nothing written");
  SetRates(state, bytes);
}

std::vector<char> EncodedList() {
  COutputHookHeadersImp w(uint64_t{64 * 1024});
  WriteAll(w);
  const char* p = static_cast<const char*>(w.GetDataBlock());
  return std::vector<char>(p, p + w.GetDataLength());
}

void BM_ParseHeaders(benchmark::State& state) {
  std::vector<char> list = EncodedList();
  for (auto _ : state) {
    CInputHookHeadersImp r(list.data(), static_cast<int>(list.size()));
    benchmark::DoNotOptimize(r.GetHeaderCount());
  }
  SetRates(state, list.size());
}

// Index, then ask for every header once by its type, as a scanner reading all headers would.
void BM_ParseAndLookupHeaders(benchmark::State& state) {
  std::vector<char> list = EncodedList();
  for (auto _ : state) {
    CInputHookHeadersImp r(list.data(), static_cast<int>(list.size()));
    int64_t sum = 0;
    for (const Header& h : Headers()) {
      int v = 0;
      int64_t ll = 0;
      const char* s = nullptr;
      const char16_t* w = nullptr;
      switch (h.kind) {
        case 0:
          sum += r.GetHeader(h.id, &v) + v;
          break;
        case 1:
          sum += r.GetHeader(h.id, &s) + (s != nullptr ? s[0] : 0);
          break;
        case 2:
          sum += r.GetHeader(h.id, &w) + (w != nullptr ? 1 : 0);
          break;
        default:
          sum += r.GetHeader(h.id, &ll) + ll;
          break;
      }
    }
    benchmark::DoNotOptimize(sum);
  }
  SetRates(state, list.size());
}

}  // namespace

BENCHMARK(BM_WriteHeaders);
BENCHMARK(BM_ParseHeaders);
BENCHMARK(BM_ParseAndLookupHeaders);
BENCHMARK_MAIN();
