#include "header_split.h"

namespace mailhook {

namespace {

// Where the line starting at pos ends, its line end included.
size_t LineEnd(std::string_view raw, size_t pos) {
  size_t nl = raw.find('\n', pos);
  return nl == std::string_view::npos ? raw.size() : nl + 1;
}

bool IsBlankLine(std::string_view line) {
  return line == "\n" || line == "\r\n" || line.empty();
}

bool IsFieldNameChar(char c) {
  auto u = static_cast<unsigned char>(c);
  return u > 32 && u < 127 && c != ':';
}

}  // namespace

std::string HeaderField::Value() const {
  std::string out;
  for (char c : raw)
    if (c != '\r' && c != '\n') out.push_back(c);
  size_t b = out.find_first_not_of(" \t");
  if (b == std::string::npos) return {};
  size_t e = out.find_last_not_of(" \t");
  return out.substr(b, e - b + 1);
}

SplitMessage SplitHeaders(std::string_view raw) {
  SplitMessage out;
  size_t pos = 0;
  while (pos < raw.size()) {
    size_t end = LineEnd(raw, pos);
    std::string_view line = raw.substr(pos, end - pos);
    if (IsBlankLine(line)) {
      out.headersEnd = pos;
      out.bodyOffset = end;
      return out;
    }
    // A field runs on over the lines that start with a blank (folding).
    size_t fieldEnd = end;
    while (fieldEnd < raw.size() && (raw[fieldEnd] == ' ' || raw[fieldEnd] == '\t'))
      fieldEnd = LineEnd(raw, fieldEnd);
    size_t name = 0;
    while (name < line.size() && IsFieldNameChar(line[name])) ++name;
    size_t colon = name;
    while (colon < line.size() && (line[colon] == ' ' || line[colon] == '\t')) ++colon;
    if (name > 0 && colon < line.size() && line[colon] == ':') {
      out.fields.push_back({pos, std::string(line.substr(0, name)),
                            std::string(raw.substr(pos + colon + 1, fieldEnd - pos - colon - 1))});
    }
    pos = fieldEnd;
  }
  out.headersEnd = out.bodyOffset = raw.size();
  return out;
}

}  // namespace mailhook
