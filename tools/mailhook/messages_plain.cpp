// Messages read without a MIME library (the Windows build): the header fields as written,
// unfolded, through the header splitter. Encoded words stay encoded, addresses and dates are not
// normalised and MIME parts are not counted; the content, which is what the road carries and
// checks, is the same bytes as with GMime.
#include <algorithm>
#include <cctype>
#include <stdexcept>

#include "header_split.h"
#include "messages.h"

namespace mailhook {

namespace {

bool SameName(const std::string& a, const char* b) {
  size_t i = 0;
  for (; i < a.size() && b[i]; ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return i == a.size() && b[i] == 0;
}

const HeaderField* Find(const SplitMessage& split, const char* name) {
  for (const auto& f : split.fields)
    if (SameName(f.name, name)) return &f;
  return nullptr;
}

void Describe(const SplitMessage& split, Message& out) {
  auto& h = out.headers;
  auto add = [&](int id, const char* name) {
    if (const HeaderField* f = Find(split, name); f && !f->Value().empty())
      h.push_back(CHeaderValue::Text(id, f->Value()));
  };
  add(kHdrFrom, "From");
  add(kHdrTo, "To");
  add(kHdrCc, "Cc");
  add(kHdrSubject, "Subject");
  if (const HeaderField* f = Find(split, "Message-ID")) {
    std::string id = f->Value();
    if (id.size() > 2 && id.front() == '<' && id.back() == '>') id = id.substr(1, id.size() - 2);
    if (!id.empty()) h.push_back(CHeaderValue::Text(kHdrMessageId, id));
  }
  add(kHdrDate, "Date");
  std::string type = "text/plain";
  if (const HeaderField* f = Find(split, "Content-Type")) {
    std::string v = f->Value().substr(0, f->Value().find(';'));
    v.erase(std::remove_if(v.begin(), v.end(), [](unsigned char c) { return std::isspace(c); }), v.end());
    std::transform(v.begin(), v.end(), v.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (!v.empty()) type = v;
  }
  h.push_back(CHeaderValue::Text(kHdrMimeType, type));
  h.push_back(CHeaderValue::Int64(kHdrMessageSize, static_cast<int64_t>(out.raw.size())));
  for (const auto& f : split.fields) h.push_back(CHeaderValue::Text(kHdrOther, f.name + ": " + f.Value()));
}

}  // namespace

bool ParseMessage(const std::string& name, std::string raw, Message& out) {
  out.name = name;
  out.raw = std::move(raw);
  out.headers.clear();
  SplitMessage split = SplitHeaders(out.raw);
  // Bytes with no header field at all are not a message (GMime refuses them too).
  if (split.fields.empty()) return false;
  Describe(split, out);
  return true;
}

void ReadMbox(const std::string& name, const std::string& data, std::vector<Message>& out) {
  // A message runs from the line after its "From " line to the next line that starts so.
  int index = 0;
  size_t pos = 0;
  while (pos < data.size()) {
    size_t start = data.find('\n', pos);
    start = start == std::string::npos ? data.size() : start + 1;
    size_t next = data.find("\nFrom ", start);
    size_t end = next == std::string::npos ? data.size() : next + 1;
    Message m;
    if (ParseMessage(name + "#" + std::to_string(index + 1), data.substr(start, end - start), m)) {
      ++index;
      out.push_back(std::move(m));
    }
    pos = end;
  }
}

}  // namespace mailhook
