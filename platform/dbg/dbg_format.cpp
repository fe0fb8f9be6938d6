// The UTF-16 printf-style formatter of the debug-log stand-in.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "dbg/dbg_log.h"

namespace DBG {

namespace {

constexpr int kMaxWidth = 1024;

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// Appends one UTF-16 unit sequence starting at s[i]; returns the units consumed.
size_t AppendUnit(std::string& out, const char16_t* s, size_t i) {
  char16_t u = s[i];
  if (u >= 0xD800 && u <= 0xDBFF && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
    AppendUtf8(out, 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (s[i + 1] - 0xDC00));
    return 2;
  }
  AppendUtf8(out, (u >= 0xD800 && u <= 0xDFFF) ? char32_t{0xFFFD} : char32_t{u});
  return 1;
}

// The width counts UTF-16 units, as the wide formats of Windows do, not UTF-8 bytes.
int Utf16Length(const std::string& utf8) {
  int n = 0;
  for (unsigned char c : utf8) {
    if ((c & 0xC0) != 0x80) ++n;  // a lead byte
    if (c >= 0xF0) ++n;           // four bytes: a surrogate pair
  }
  return n;
}

void Pad(std::string& out, const std::string& body, int width, bool left, bool zero) {
  int pad = width - Utf16Length(body);
  if (pad <= 0) {
    out += body;
  } else if (left) {
    out += body;
    out.append(static_cast<size_t>(pad), ' ');
  } else if (zero) {
    size_t sign = (!body.empty() && body[0] == '-') ? 1 : 0;
    out += body.substr(0, sign);
    out.append(static_cast<size_t>(pad), '0');
    out += body.substr(sign);
  } else {
    out.append(static_cast<size_t>(pad), ' ');
    out += body;
  }
}

}  // namespace

std::string ToUtf8(const char16_t* text) {
  std::string out;
  if (!text) return out;
  for (size_t i = 0; text[i] != 0;) i += AppendUnit(out, text, i);
  return out;
}

std::string ToUtf8(const std::u16string& text) {
  return ToUtf8(text.c_str());
}

std::u16string FromUtf8(const std::string& s) {
  std::u16string out;
  for (size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    char32_t cp;
    size_t n;
    if (c < 0x80) {
      cp = c;
      n = 1;
    } else if ((c >> 5) == 6) {
      cp = c & 0x1F;
      n = 2;
    } else if ((c >> 4) == 14) {
      cp = c & 0x0F;
      n = 3;
    } else if ((c >> 3) == 30) {
      cp = c & 0x07;
      n = 4;
    } else {
      cp = 0xFFFD;
      n = 1;
    }
    if (i + n > s.size()) {
      cp = 0xFFFD;
      n = s.size() - i;
    }
    for (size_t k = 1; k < n; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    i += n;
    if (cp >= 0x10000 && cp <= 0x10FFFF) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp > 0x10FFFF ? 0xFFFD : cp));
    }
  }
  return out;
}

std::string FormatV(const char16_t* format, va_list args) {
  std::string out;
  if (!format) return out;
  for (size_t i = 0; format[i] != 0;) {
    if (format[i] != u'%') {
      i += AppendUnit(out, format, i);
      continue;
    }
    size_t start = i++;
    bool left = false, zero = false;
    for (; format[i] == u'-' || format[i] == u'0'; ++i) (format[i] == u'-' ? left : zero) = true;
    int width = 0;
    // Capped: a width is for aligning columns, and an absurd one must not overflow.
    for (; format[i] >= u'0' && format[i] <= u'9'; ++i)
      width = std::min(width * 10 + (format[i] - u'0'), kMaxWidth);
    int longs = 0;
    for (;;) {
      if (format[i] == u'l') {
        ++longs;
        ++i;
      } else if (format[i] == u'I' && format[i + 1] == u'6' && format[i + 2] == u'4') {
        longs = 2;
        i += 3;
      } else {
        break;
      }
    }
    char buf[64];
    std::string body;
    switch (format[i]) {
      case u'd':
      case u'i': {
        // "l" is Windows' long, 32 bits: callers pass LONG/DWORD (int32_t/uint32_t) with it.
        long long v = longs >= 2 ? va_arg(args, long long) : va_arg(args, int);
        std::snprintf(buf, sizeof buf, "%lld", v);
        body = buf;
        break;
      }
      case u'u':
      case u'x':
      case u'X': {
        unsigned long long v = longs >= 2 ? va_arg(args, unsigned long long) : va_arg(args, unsigned int);
        std::snprintf(buf, sizeof buf, format[i] == u'u' ? "%llu" : format[i] == u'x' ? "%llx" : "%llX", v);
        body = buf;
        break;
      }
      case u'p': {
        // As Windows prints pointers: 16 upper-case hex digits, no prefix.
        auto v = reinterpret_cast<std::uintptr_t>(va_arg(args, void*));
        std::snprintf(buf, sizeof buf, "%016" PRIXPTR, v);
        body = buf;
        break;
      }
      case u's': {
        const char16_t* s = va_arg(args, const char16_t*);
        body = s ? ToUtf8(s) : std::string("(null)");
        break;
      }
      case u'c': {
        char16_t c[2] = {static_cast<char16_t>(va_arg(args, int)), 0};
        body = ToUtf8(c);
        break;
      }
      case u'%':
        out.push_back('%');
        ++i;
        continue;
      default:
        // Unknown conversion: copy it as it stands, consume no argument.
        for (size_t k = start; k <= i && format[k] != 0;) k += AppendUnit(out, format, k);
        if (format[i] != 0) ++i;
        continue;
    }
    ++i;
    Pad(out, body, width, left, zero);
  }
  return out;
}

std::string Format(const char16_t* format, ...) {
  va_list args;
  va_start(args, format);
  std::string s = FormatV(format, args);
  va_end(args);
  return s;
}

}  // namespace DBG
