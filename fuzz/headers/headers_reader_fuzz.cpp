// Parses the input as a header list, from an exactly sized copy and from a two-block chain,
// and asks both readers everything: ids, every lookup type, enumeration. Any read outside the
// data or any unterminated string shows up as a sanitizer report; the two readers must agree.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "headers/hook_HookHeadersImp.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

class Collect final : public CInputHookHeaders::CEnumerateInputHeadersCallback {
 public:
  explicit Collect(int id) : m_iId(id) {}
  int GetHeaderId() override { return m_iId; }
  void OnBegin(int count) override { m_iCount = count; }
  void OnEnd() override { m_bEnded = true; }
  void OnValue(int index, const void* value) override {
    Check(index == static_cast<int>(m_Values.size()));
    m_Values.push_back(value);
  }
  int m_iId;
  int m_iCount = -1;
  bool m_bEnded = false;
  std::vector<const void*> m_Values;
};

struct Answers {
  std::vector<int> ids;
  std::vector<int64_t> numbers;  // per id: int, int64, string length, wide length, or -1
  std::vector<int> valueCounts;
};

Answers Ask(CInputHookHeadersImp& r, const char* begin, const char* end) {
  Answers a;
  const int n = static_cast<int>(r.GetHeaderCount());
  a.ids.resize(static_cast<size_t>(n));
  int count = 0;
  Check(r.GetHeadersId(a.ids.data(), n, count) == 0 && count == n);
  if (n > 0) {
    int shortCount = 0;
    Check(r.GetHeadersId(a.ids.data(), n - 1, shortCount) == -1 && shortCount == 0);
  }
  auto inside = [&](const void* p, size_t len) {
    const char* c = static_cast<const char*>(p);
    Check(c >= begin && c + len <= end);
  };
  for (int id : a.ids) {
    int v = 0;
    int64_t ll = 0;
    const char* s = nullptr;
    const char16_t* w = nullptr;
    int found = 0;
    if (r.GetHeader(id, &v) == 0) {
      a.numbers.push_back(v);
      ++found;
    }
    if (r.GetHeader(id, &ll) == 0) {
      a.numbers.push_back(ll);
      ++found;
    }
    if (r.GetHeader(id, &s) == 0) {
      const size_t len = std::strlen(s);
      inside(s, len + 1);
      a.numbers.push_back(static_cast<int64_t>(len));
      ++found;
    }
    if (r.GetHeader(id, &w) == 0) {
      const char* p = reinterpret_cast<const char*>(w);
      size_t units = 0;
      while (p[2 * units] != 0 || p[2 * units + 1] != 0) ++units;
      inside(p, 2 * units + 2);
      a.numbers.push_back(static_cast<int64_t>(units));
      ++found;
    }
    Check(found == 1);  // exactly the type of the first value answers
    Collect values(id);
    Check(r.Enumerate(values) == 0);
    Check(values.m_bEnded && values.m_iCount == static_cast<int>(values.m_Values.size()) &&
          values.m_iCount > 0);
    for (const void* p : values.m_Values) inside(p, 1);  // an empty string is one byte
    a.valueCounts.push_back(values.m_iCount);
  }
  return a;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 20) return 0;
  const std::vector<char> bytes(data, data + size);
  const char* begin = bytes.data();
  CInputHookHeadersImp direct(const_cast<char*>(begin), static_cast<int>(bytes.size()));
  const Answers a = Ask(direct, begin, begin + bytes.size());

  const size_t third = bytes.size() / 3;
  auto* head = new CMessageBlock(begin, third);
  head->WritePtr(uint64_t{third});
  auto* tail = new CMessageBlock(begin + third, bytes.size() - third);
  tail->WritePtr(uint64_t{bytes.size() - third});
  head->Cont(tail);
  auto* copied = new CInputHookHeadersImp(head);
  head->Release();
  const char* copyBegin = static_cast<const char*>(copied->GetDataBlock());
  const Answers b = Ask(*copied, copyBegin, copyBegin + copied->GetDataLength());
  Check(a.ids == b.ids && a.numbers == b.numbers && a.valueCounts == b.valueCounts);
  copied->Cleanup();
  int v = 0;
  for (int id : a.ids) Check(copied->GetHeader(id, &v) == -1);
  copied->Release();
  return 0;
}
