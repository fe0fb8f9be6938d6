// Internal: where a CHeaderListWriter's records go, and a list copied out of a reader that has
// indexed it already. The writer of the specified classes (COutputHookHeadersImp) writes over an
// area of a backing file; a sink hands it out with room for the next record, and a sink that can
// grow its file makes a new one past what is written.
#pragma once

#include <cstdint>
#include <memory>

#include <mailhook/mh_HeaderList.h>

#include "headers/hook_HookHeadersImp.h"

namespace mailhook {

class CHeaderListSink {
 public:
  CHeaderListSink() = default;
  virtual ~CHeaderListSink() = default;
  CHeaderListSink(const CHeaderListSink&) = delete;
  CHeaderListSink& operator=(const CHeaderListSink&) = delete;

  // The writer with room for a record of bytes, or null when the list cannot take it (a sink
  // that grows throws CMailhookError when its file cannot).
  COutputHookHeadersImp* Room(uint64_t bytes) {
    if (m_pWriter != nullptr && Space() >= bytes) return m_pWriter;
    return Grow(bytes) && m_pWriter != nullptr && Space() >= bytes ? m_pWriter : nullptr;
  }
  void Wrote() { ++m_uCount; }
  size_t Count() const { return m_uCount; }
  uint64_t Bytes() const { return m_ullBase + (m_pWriter != nullptr ? m_pWriter->GetDataLength() : 0); }

 protected:
  // Makes room for bytes more and sets a writer that starts past what is written; false when the
  // list cannot grow.
  virtual bool Grow(uint64_t /*bytes*/) { return false; }
  // writer writes from list byte base on; it is the sink's own when owned.
  void SetWriter(COutputHookHeadersImp* writer, uint64_t base, bool owned) {
    m_pOwned.reset(owned ? writer : nullptr);
    m_pWriter = writer;
    m_ullBase = base;
  }
  void Restart() {
    SetWriter(nullptr, 0, false);
    m_uCount = 0;
  }

 private:
  uint64_t Space() const { return m_pWriter->GetOutputXDR().Current()->Space(); }

  std::unique_ptr<COutputHookHeadersImp> m_pOwned;
  COutputHookHeadersImp* m_pWriter = nullptr;
  uint64_t m_ullBase = 0;  // list bytes before the writer's first
  size_t m_uCount = 0;
};

// A record the reader indexed, as a field over its bytes; false for a type the layer does not carry.
bool FieldFrom(int32_t id, uint32_t tag, const char* value, uint32_t units, CHeaderField& field);

// The reader's records as fields, in its order (by id, and within an id as written).
template <class Visit>
void ForEachField(const CInputHookHeadersImp& reader, Visit visit) {
  reader.ForEachRecord([&](int32_t id, uint32_t tag, const char* value, uint32_t units) {
    CHeaderField field;
    if (FieldFrom(id, tag, value, units, field)) visit(static_cast<const CHeaderField&>(field));
  });
}

// The reader's records as a CHeaderList (what CHeaderList::Parse gives for the same bytes).
CHeaderList HeaderListFrom(const CInputHookHeadersImp& reader);

}  // namespace mailhook
