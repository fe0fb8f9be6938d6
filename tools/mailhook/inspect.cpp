// `mailhook inspect PATH`: a backing file's shared header and, where its data is a header
// list, the list's records; otherwise the first bytes of the data. Reads the file; never maps
// or changes it, so it is safe on a live system.
#include "inspect.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "messages.h"

namespace mailhook {

namespace {

constexpr size_t kHeaderSize = 548;

int32_t I32(const std::string& b, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(b[at + static_cast<size_t>(i)]);
  return static_cast<int32_t>(v);
}

int64_t I64(const std::string& b, size_t at) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(b[at + static_cast<size_t>(i)]);
  return static_cast<int64_t>(v);
}

std::u16string Units(const std::string& b, size_t at, size_t maxUnits) {
  std::u16string s;
  for (size_t i = 0; i < maxUnits && at + 2 * i + 1 < b.size(); ++i) {
    char16_t u = static_cast<char16_t>(static_cast<unsigned char>(b[at + 2 * i]) |
                                       (static_cast<unsigned char>(b[at + 2 * i + 1]) << 8));
    if (u == 0) break;
    s.push_back(u);
  }
  return s;
}

// Text from a backing file as it may go to a terminal: control characters (C0, DEL and, in
// UTF-8, C1) become \xNN or \u00NN, so a header cannot move the cursor or rewrite the screen.
std::string Printable(const std::string& text) {
  std::string out;
  char buf[8];
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7f || c == '\\') {
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    } else if (c == 0xc2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9f) {
      std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned char>(text[++i]));
      out += buf;
    } else {
      out += text[i];
    }
  }
  return out;
}

// The records of a header list, if the bytes are one from start to end.
bool Records(const std::string& d, std::vector<std::string>& out) {
  size_t at = 0;
  while (at < d.size()) {
    if (d.size() - at < 8) return false;
    uint32_t tag = static_cast<uint32_t>(I32(d, at));
    int32_t id = I32(d, at + 4);
    at += 8;
    std::ostringstream line;
    line << "  id " << id << "  ";
    if (tag == 7 && d.size() - at >= 4) {
      line << "int     " << I32(d, at);
      at += 4;
    } else if (tag == 17 && d.size() - at >= 8) {
      line << "int64   " << I64(d, at);
      at += 8;
    } else if ((tag == 9 || tag == 16) && d.size() - at >= 4) {
      uint64_t n = static_cast<uint32_t>(I32(d, at));
      uint64_t bytes = tag == 9 ? n : 2 * n;
      at += 4;
      if (n == 0 || d.size() - at < bytes) return false;
      if (tag == 9)
        line << "string  \"" << Printable(std::string(d.data() + at, static_cast<size_t>(n - 1)).c_str())
             << "\"";
      else
        line << "wstring \"" << Printable(Utf16ToUtf8(Units(d, at, static_cast<size_t>(n)))) << "\"";
      at += static_cast<size_t>(bytes);
    } else {
      return false;
    }
    out.push_back(line.str());
  }
  return !out.empty();
}

}  // namespace

int RunInspect(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "mailhook inspect: cannot read %s\n", path.c_str());
    return 2;
  }
  std::ostringstream all;
  all << in.rdbuf();
  const std::string file = all.str();
  std::printf("%s: %zu bytes\n", path.c_str(), file.size());
  if (file.size() < kHeaderSize) {
    std::printf("shorter than the %zu-byte resource header: not a backing file\n", kHeaderSize);
    return 1;
  }
  const int32_t headerSize = I32(file, 0), storage = I32(file, 4), defaultSize = I32(file, 8),
                current = I32(file, 12), maxSize = I32(file, 16), dataSize = I32(file, 20),
                sizeType = I32(file, 24);
  std::printf("iHeaderSize        %d%s\n", headerSize,
              headerSize == 548 ? "" : "   (not 548: not a backing file?)");
  std::printf("iDataStorageSize   %d\n", storage);
  std::printf("iDefaultSize       %d\n", defaultSize);
  std::printf("iCurrentMapSize    %d\n", current);
  std::printf("iMaxSize           %d\n", maxSize);
  std::printf("iDataSize          %d\n", dataSize);
  std::printf("iSizeType          %d (%s)\n", sizeType,
              sizeType == 0   ? "small"
              : sizeType == 1 ? "large"
                              : "?");
  std::printf("szBackingStoreName %s\n", Printable(Utf16ToUtf8(Units(file, 28, 260))).c_str());

  if (dataSize <= 0) {
    std::printf("data: empty\n");
    return 0;
  }
  size_t available = file.size() - kHeaderSize;
  size_t size = static_cast<size_t>(dataSize);
  if (size > available) {
    std::printf("data: iDataSize runs %zu bytes past the end of the file\n", size - available);
    size = available;
  }
  std::string data = file.substr(kHeaderSize, size);
  std::vector<std::string> records;
  if (Records(data, records)) {
    std::printf("data: header list, %zu records\n", records.size());
    for (auto& r : records) std::printf("%s\n", r.c_str());
  } else {
    std::printf("data: %zu bytes of content; first lines:\n", size);
    std::string head = data.substr(0, 400);
    for (char& c : head)
      if ((static_cast<unsigned char>(c) < 32 && c != '\n') || c == 127) c = '.';
    std::printf("%s\n", head.c_str());
  }
  return 0;
}

}  // namespace mailhook
