#include "records.h"

#include <cstring>
#include <string>
#include <utility>

#include "headers/hook_HookHeadersImp.h"

namespace mailhook {

namespace {

// Values arrive as addresses into the list; the reader's tags say how to read each.
class Collector final : public CInputHookHeaders::CEnumerateInputHeadersCallback {
 public:
  Collector(CInputHookHeadersImp& reader, int id, std::vector<HeaderValue>& out)
      : m_reader(reader), m_id(id), m_out(out) {}
  int GetHeaderId() override { return m_id; }
  void OnBegin(int) override {}
  void OnEnd() override {}
  void OnValue(int index, const void* value) override {
    // Strings are taken by the length the parse checked, never by their terminator: the hook
    // can overwrite a terminator in the shared list after the parse.
    uint32_t tag = 0, units = 0;
    const char* p = nullptr;
    if (m_reader.GetValue(m_id, index, tag, p, units) != 0 || p != value) return;
    if (tag == HEADER_TYPE_INT) {
      int32_t v;
      std::memcpy(&v, p, 4);
      m_out.push_back(HeaderValue::MakeInt(m_id, v));
    } else if (tag == HEADER_TYPE_INT64) {
      int64_t v;
      std::memcpy(&v, p, 8);
      m_out.push_back(HeaderValue::MakeInt64(m_id, v));
    } else if (tag == HEADER_TYPE_STRING) {
      m_out.push_back({HeaderValue::String, m_id, 0, 0, std::string(p, units), {}});
    } else if (tag == HEADER_TYPE_WSTRING) {
      std::u16string wide(units, u'\0');
      std::memcpy(wide.data(), p, size_t{units} * 2);
      m_out.push_back({HeaderValue::WString, m_id, 0, 0, {}, std::move(wide)});
    }
  }

 private:
  CInputHookHeadersImp& m_reader;
  int m_id;
  std::vector<HeaderValue>& m_out;
};

}  // namespace

std::vector<HeaderValue> ReadRecords(CInputHookHeadersImp& reader) {
  std::vector<int> ids(static_cast<size_t>(reader.GetHeaderCount()));
  int count = 0;
  std::vector<HeaderValue> out;
  if (reader.GetHeadersId(ids.data(), static_cast<int>(ids.size()), count) != 0) return out;
  for (int i = 0; i < count; ++i) {
    Collector collector(reader, ids[static_cast<size_t>(i)], out);
    reader.Enumerate(collector);
  }
  return out;
}

int WriteRecord(COutputHookHeaders& w, const HeaderValue& v) {
  switch (v.kind) {
    case HeaderValue::Int:
      return w.SetHeader(v.id, static_cast<int>(v.i32));
    case HeaderValue::Int64:
      return w.SetHeader(v.id, static_cast<int64_t>(v.i64));
    case HeaderValue::String:
      return w.SetHeader(v.id, v.str.c_str());
    case HeaderValue::WString:
      return w.SetHeader(v.id, v.wstr.c_str());
  }
  return -1;
}

}  // namespace mailhook
