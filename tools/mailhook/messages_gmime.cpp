// Messages read with GMime: its header list, addresses, dates and MIME structure.
#include <gmime/gmime.h>

#include <algorithm>
#include <mutex>
#include <stdexcept>

#include "messages.h"

namespace mailhook {

namespace {

void InitMime() {
  static std::once_flag once;
  std::call_once(once, [] { g_mime_init(); });
}

// Owns one GObject reference.
template <class T>
struct GRef {
  T* p = nullptr;
  explicit GRef(T* q) : p(q) {}
  ~GRef() {
    if (p) g_object_unref(p);
  }
  GRef(const GRef&) = delete;
  GRef& operator=(const GRef&) = delete;
};

void AddText(std::vector<CHeaderValue>& out, int id, const char* text) {
  if (text != nullptr && *text != 0) out.push_back(CHeaderValue::Text(id, text));
}

void AddAddresses(std::vector<CHeaderValue>& out, int id, InternetAddressList* list) {
  if (list == nullptr || internet_address_list_length(list) == 0) return;
  char* text = internet_address_list_to_string(list, nullptr, FALSE);
  AddText(out, id, text);
  g_free(text);
}

struct PartCounter {
  int parts = 0;
  std::vector<CHeaderValue>* out;
};

void CountPart(GMimeObject*, GMimeObject* part, gpointer data) {
  auto* counter = static_cast<PartCounter*>(data);
  ++counter->parts;
  if (GMIME_IS_PART(part)) {
    const char* filename = g_mime_part_get_filename(GMIME_PART(part));
    AddText(*counter->out, kHdrAttachment, filename);
  }
}

void Describe(GMimeMessage* msg, Message& out) {
  auto& h = out.headers;
  AddAddresses(h, kHdrFrom, g_mime_message_get_from(msg));
  AddAddresses(h, kHdrTo, g_mime_message_get_to(msg));
  AddAddresses(h, kHdrCc, g_mime_message_get_cc(msg));
  AddText(h, kHdrSubject, g_mime_message_get_subject(msg));
  AddText(h, kHdrMessageId, g_mime_message_get_message_id(msg));
  GDateTime* date = g_mime_message_get_date(msg);
  if (date != nullptr) {
    char* text = g_date_time_format_iso8601(date);
    AddText(h, kHdrDate, text);
    g_free(text);
  }
  GMimeObject* body = g_mime_message_get_mime_part(msg);
  if (body != nullptr) {
    GMimeContentType* type = g_mime_object_get_content_type(body);
    char* mime = type ? g_mime_content_type_get_mime_type(type) : nullptr;
    AddText(h, kHdrMimeType, mime);
    g_free(mime);
  }
  PartCounter counter{0, &h};
  g_mime_message_foreach(msg, CountPart, &counter);
  h.push_back(CHeaderValue::Int(kHdrPartCount, counter.parts));
  h.push_back(CHeaderValue::Int64(kHdrMessageSize, static_cast<int64_t>(out.raw.size())));

  GMimeHeaderList* list = g_mime_object_get_header_list(GMIME_OBJECT(msg));
  int count = list ? g_mime_header_list_get_count(list) : 0;
  for (int i = 0; i < count; ++i) {
    GMimeHeader* header = g_mime_header_list_get_header_at(list, i);
    const char* name = g_mime_header_get_name(header);
    const char* value = g_mime_header_get_value(header);
    if (name == nullptr) continue;
    h.push_back(CHeaderValue::Text(kHdrOther, std::string(name) + ": " + (value ? value : "")));
  }
}

GMimeMessage* ParseOne(GMimeParser* parser) {
  return g_mime_parser_construct_message(parser, nullptr);
}

}  // namespace

bool ParseMessage(const std::string& name, std::string raw, Message& out) {
  InitMime();
  out.name = name;
  out.raw = std::move(raw);
  out.headers.clear();
  GRef<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(out.raw.data(), out.raw.size()));
  GRef<GMimeParser> parser(g_mime_parser_new_with_stream(stream.p));
  GRef<GMimeMessage> msg(ParseOne(parser.p));
  if (msg.p == nullptr) return false;
  Describe(msg.p, out);
  return true;
}

void ReadMbox(const std::string& name, const std::string& data, std::vector<Message>& out) {
  InitMime();
  // Each message's bytes run from its headers to where the parser stopped.
  GRef<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(data.data(), data.size()));
  GRef<GMimeParser> parser(g_mime_parser_new_with_stream(stream.p));
  g_mime_parser_set_format(parser.p, GMIME_FORMAT_MBOX);
  int index = 0;
  while (!g_mime_parser_eos(parser.p)) {
    GRef<GMimeMessage> msg(ParseOne(parser.p));
    if (msg.p == nullptr) break;
    gint64 begin = g_mime_parser_get_headers_begin(parser.p);
    gint64 end = g_mime_parser_tell(parser.p);
    if (begin < 0 || end < begin || static_cast<size_t>(end) > data.size()) continue;
    Message m;
    m.name = name + "#" + std::to_string(++index);
    m.raw = data.substr(static_cast<size_t>(begin), static_cast<size_t>(end - begin));
    Describe(msg.p, m);
    out.push_back(std::move(m));
  }
}

}  // namespace mailhook
