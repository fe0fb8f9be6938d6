// OS::x_wstring, the utility library's wide string: UTF-16 code units in ordinal order (plain
// code-unit comparison, so keys that differ only in case are distinct).
#pragma once

#include <string>

namespace OS {

class x_wstring : public std::u16string {
 public:
  using std::u16string::basic_string;
  x_wstring() = default;
  x_wstring(const std::u16string& s) : std::u16string(s) {}        // NOLINT: implicit on purpose
  x_wstring(std::u16string&& s) : std::u16string(std::move(s)) {}  // NOLINT
  x_wstring(const char16_t* s) : std::u16string(s ? s : u"") {}    // NOLINT: null is empty
};

}  // namespace OS
