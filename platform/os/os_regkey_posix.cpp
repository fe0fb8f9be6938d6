// OS::CRegKey over a registry file in the .reg export format. The file is read and parsed
// whole at each Open: it is small, read once per pool, and a changed file is seen at once.
//
// Accepted: UTF-8 (with or without a byte-order mark) or UTF-16LE with its mark, as the
// registry editor exports; the first non-blank line "Windows Registry Editor Version 5.00";
// blank lines and ';' comments; "[ROOT\path]" sections ("[-ROOT\path]" deletes and is
// skipped); "Name"=..., @=... values, of which only dword:XXXXXXXX values can be read
// (others, and continued hex lines, are skipped). Anything else makes the whole file malformed.
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "os/os_regkey.h"

namespace OS {

namespace {

constexpr LONG kErrorInvalidData = 13;    // ERROR_INVALID_DATA
constexpr LONG kErrorBadDatabase = 1009;  // ERROR_BADDB: the registry file is malformed
constexpr std::streamoff kMaxFileBytes = 1 << 20;
constexpr char kDefaultPath[] = "/etc/mailhook/registry.reg";
constexpr char16_t kSignature[] = u"Windows Registry Editor Version 5.00";

struct Value {
  std::u16string name;         // folded
  std::optional<DWORD> dword;  // empty for values of other types
};

struct Section {
  uintptr_t root;
  std::u16string path;  // folded, no leading or trailing backslash
  std::vector<Value> values;
};

char16_t Fold(char16_t c) {
  return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

std::u16string Folded(std::u16string s) {
  for (auto& c : s) c = Fold(c);
  return s;
}

std::u16string TrimmedPath(std::u16string s) {
  while (!s.empty() && s.front() == u'\\') s.erase(0, 1);
  while (!s.empty() && s.back() == u'\\') s.pop_back();
  return s;
}

bool IsBlank(char16_t c) {
  return c == u' ' || c == u'\t' || c == u'\r';
}

std::u16string Trimmed(const std::u16string& s) {
  size_t b = 0, e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && IsBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

// UTF-8 to UTF-16; nullopt on an invalid sequence.
std::optional<std::u16string> FromUtf8(const std::string& in) {
  std::u16string out;
  for (size_t i = 0; i < in.size();) {
    auto c = static_cast<unsigned char>(in[i]);
    uint32_t cp;
    size_t n;
    if (c < 0x80) {
      cp = c, n = 1;
    } else if ((c & 0xE0) == 0xC0) {
      cp = c & 0x1F, n = 2;
    } else if ((c & 0xF0) == 0xE0) {
      cp = c & 0x0F, n = 3;
    } else if ((c & 0xF8) == 0xF0) {
      cp = c & 0x07, n = 4;
    } else {
      return std::nullopt;
    }
    if (i + n > in.size()) return std::nullopt;
    for (size_t k = 1; k < n; ++k) {
      auto d = static_cast<unsigned char>(in[i + k]);
      if ((d & 0xC0) != 0x80) return std::nullopt;
      cp = (cp << 6) | (d & 0x3F);
    }
    if (cp > 0x10FFFF) return std::nullopt;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += n;
  }
  return out;
}

std::optional<std::u16string> ReadText(const char* path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return std::nullopt;
  std::streamoff size = in.tellg();
  if (size < 0 || size > kMaxFileBytes) return std::nullopt;
  std::string bytes(static_cast<size_t>(size), '\0');
  in.seekg(0);
  if (!in.read(bytes.data(), size)) return std::nullopt;
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    if (bytes.size() % 2 != 0) return std::nullopt;
    std::u16string text;
    for (size_t i = 2; i < bytes.size(); i += 2)
      text.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                           (static_cast<unsigned char>(bytes[i + 1]) << 8)));
    return text;
  }
  if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) bytes.erase(0, 3);
  return FromUtf8(bytes);
}

std::optional<uintptr_t> RootByName(const std::u16string& folded) {
  if (folded == u"hkey_local_machine" || folded == u"hklm") return 0x80000002u;
  if (folded == u"hkey_current_user" || folded == u"hkcu") return 0x80000001u;
  if (folded == u"hkey_classes_root" || folded == u"hkcr") return 0x80000000u;
  if (folded == u"hkey_users" || folded == u"hku") return 0x80000003u;
  return std::nullopt;
}

// "dword:" followed by one to eight hex digits.
std::optional<DWORD> ParseDword(const std::u16string& data) {
  static constexpr char16_t kPrefix[] = u"dword:";
  constexpr size_t kPrefixLen = 6;
  if (data.size() <= kPrefixLen || data.size() > kPrefixLen + 8) return std::nullopt;
  if (Folded(data.substr(0, kPrefixLen)) != kPrefix) return std::nullopt;
  DWORD v = 0;
  for (size_t i = kPrefixLen; i < data.size(); ++i) {
    char16_t c = Fold(data[i]);
    DWORD d;
    if (c >= u'0' && c <= u'9') {
      d = c - u'0';
    } else if (c >= u'a' && c <= u'f') {
      d = c - u'a' + 10;
    } else {
      return std::nullopt;
    }
    v = (v << 4) | d;
  }
  return v;
}

// Parses a value line; false when it is malformed. Sets continued when a hex value goes on
// to the next line.
bool ParseValueLine(const std::u16string& line, Value& value, bool& isDeletion, bool& continued) {
  size_t i = 0;
  std::u16string name;
  if (line[0] == u'@') {
    i = 1;
  } else {
    i = 1;  // past the opening quote
    bool closed = false;
    while (i < line.size()) {
      char16_t c = line[i++];
      if (c == u'\\') {
        if (i >= line.size()) return false;
        name.push_back(line[i++]);
      } else if (c == u'"') {
        closed = true;
        break;
      } else {
        name.push_back(c);
      }
    }
    if (!closed) return false;
  }
  while (i < line.size() && IsBlank(line[i])) ++i;
  if (i >= line.size() || line[i] != u'=') return false;
  std::u16string data = Trimmed(line.substr(i + 1));
  if (data.empty()) return false;
  value.name = Folded(name);
  isDeletion = data == u"-";
  continued = data.back() == u'\\';
  if (data.front() == u'"') {
    if (data.size() < 2 || data.back() != u'"') return false;
    value.dword.reset();
  } else if (Folded(data.substr(0, 6)) == u"dword:") {
    value.dword = ParseDword(data);
    if (!value.dword) return false;
  } else if (!isDeletion && Folded(data.substr(0, 3)) != u"hex") {
    return false;
  }
  return true;
}

std::optional<std::vector<Section>> Parse(const std::u16string& text) {
  std::vector<Section> sections;
  bool sawSignature = false;
  bool inDeletedKey = false;
  bool continued = false;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find(u'\n', pos);
    if (end == std::u16string::npos) end = text.size();
    std::u16string line = Trimmed(text.substr(pos, end - pos));
    pos = end + 1;
    if (continued) {  // the rest of a hex value
      continued = !line.empty() && line.back() == u'\\';
      continue;
    }
    if (line.empty() || line[0] == u';') continue;
    if (!sawSignature) {
      if (line != kSignature) return std::nullopt;
      sawSignature = true;
      continue;
    }
    if (line[0] == u'[') {
      if (line.back() != u']' || line.size() < 3) return std::nullopt;
      std::u16string inner = line.substr(1, line.size() - 2);
      inDeletedKey = inner[0] == u'-';
      if (inDeletedKey) continue;
      size_t slash = inner.find(u'\\');
      auto root = RootByName(Folded(inner.substr(0, slash)));
      if (!root) return std::nullopt;
      std::u16string path = slash == std::u16string::npos ? u"" : inner.substr(slash + 1);
      sections.push_back(Section{*root, Folded(TrimmedPath(path)), {}});
      continue;
    }
    if (line[0] == u'"' || line[0] == u'@') {
      Value value;
      bool isDeletion = false;
      if (!ParseValueLine(line, value, isDeletion, continued)) return std::nullopt;
      if (inDeletedKey) continue;
      if (sections.empty()) return std::nullopt;
      if (!isDeletion) sections.back().values.push_back(std::move(value));
      continue;
    }
    return std::nullopt;
  }
  if (!sawSignature) return std::nullopt;
  return sections;
}

}  // namespace

struct CRegKey::Impl {
  bool open = false;
  std::vector<Value> values;  // in file order; a later value of one name wins
};

CRegKey::CRegKey() : m_pImpl(new Impl) {}

CRegKey::~CRegKey() {
  Close();
  delete m_pImpl;
}

LONG CRegKey::Open(HKEY root, const char16_t* subkey, REGSAM /*access: the file is only read*/) {
  Close();
  const char* path = std::getenv("MAILHOOK_REGISTRY");
  if (path == nullptr || *path == 0) path = kDefaultPath;
  auto text = ReadText(path);
  if (!text) return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
  auto sections = Parse(*text);
  if (!sections) return kErrorBadDatabase;

  const auto rootValue = reinterpret_cast<uintptr_t>(root);
  const std::u16string wanted = Folded(TrimmedPath(subkey ? subkey : u""));
  bool found = false;
  for (auto& section : *sections) {
    if (section.root != rootValue) continue;
    if (section.path == wanted) {
      found = true;
      for (auto& v : section.values) m_pImpl->values.push_back(std::move(v));
    } else if (wanted.empty() ||
               (section.path.size() > wanted.size() && section.path.compare(0, wanted.size(), wanted) == 0 &&
                section.path[wanted.size()] == u'\\')) {
      found = true;  // a subkey listed in the file implies its parent exists
    }
  }
  if (!found) {
    m_pImpl->values.clear();
    return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
  }
  m_pImpl->open = true;
  return static_cast<LONG>(ERROR_SUCCESS);
}

LONG CRegKey::QueryValue(DWORD& value, const char16_t* name) {
  if (!m_pImpl->open) return static_cast<LONG>(ERROR_INVALID_HANDLE);
  const std::u16string wanted = Folded(name ? name : u"");
  for (auto it = m_pImpl->values.rbegin(); it != m_pImpl->values.rend(); ++it) {
    if (it->name != wanted) continue;
    if (!it->dword) return kErrorInvalidData;
    value = *it->dword;
    return static_cast<LONG>(ERROR_SUCCESS);
  }
  return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
}

LONG CRegKey::Close() {
  bool wasOpen = m_pImpl->open;
  m_pImpl->open = false;
  m_pImpl->values.clear();
  return wasOpen ? static_cast<LONG>(ERROR_SUCCESS) : static_cast<LONG>(ERROR_INVALID_HANDLE);
}

}  // namespace OS
