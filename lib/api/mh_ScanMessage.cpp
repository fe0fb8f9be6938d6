#include "api/mh_ScanMessage.h"

#include "content/hook_HookContent.h"
#include "headers/hook_HookHeadersImp.h"

namespace mailhook {

const CHeaderList& CScanMessage::Headers() const {
  if (!m_parts.headers) {
    CInputHookHeaders* list = m_parts.receiver->GetHeaders();
    // The receiver has indexed the list already: its values are copied out of that index.
    if (const auto* indexed = dynamic_cast<const CInputHookHeadersImp*>(list))
      m_parts.headers = HeaderListFrom(*indexed);
    else
      m_parts.headers = list == nullptr ? CHeaderList()
                                        : CHeaderList::Parse(list->GetDataBlock(),
                                                             static_cast<size_t>(list->GetDataLength()));
  }
  return *m_parts.headers;
}
void CScanMessage::VisitHeaders(void (*visit)(void* context, const CHeaderField& field),
                                void* context) const {
  const auto* indexed = dynamic_cast<const CInputHookHeadersImp*>(m_parts.receiver->GetHeaders());
  if (indexed != nullptr) {
    ForEachField(*indexed, [&](const CHeaderField& field) { visit(context, field); });
    return;
  }
  for (const CHeaderValue& v : Headers()) visit(context, v.Field());
}

std::string_view CScanMessage::Content() const {
  return m_parts.content;
}
int32_t CScanMessage::Sequence() const {
  return m_parts.sequence;
}
CHeaderListWriter& CScanMessage::UpdateHeaders() {
  if (!m_parts.updates) {
    m_parts.updateSink.emplace(*m_parts.receiver);
    m_parts.updates.emplace(*m_parts.updateSink);
  }
  return *m_parts.updates;
}
bool CScanMessage::ReplaceContent(std::string_view content) {
  COutputHookContent* writer = m_parts.receiver->GetOutputHookContent();
  uint64_t written = 0;
  return writer != nullptr &&
         writer->Write(const_cast<char*>(content.data()), content.size(), written) == 0 &&
         m_parts.receiver->SetContent(writer) == 0;
}
void CScanMessage::MarkInfected() {
  m_parts.infected = true;
}
void CScanMessage::SetAnswer(int32_t value) {
  m_parts.answer = value;
}

}  // namespace mailhook
