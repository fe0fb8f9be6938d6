// Any bytes: the splitter must not crash, and what it hands out must lie inside the input, in
// order, with the body after the header block.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "header_split.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view raw(reinterpret_cast<const char*>(data), size);
  mailhook::SplitMessage m = mailhook::SplitHeaders(raw);
  if (m.headersEnd > m.bodyOffset || m.bodyOffset > size) __builtin_trap();
  size_t last = 0;
  for (const auto& f : m.fields) {
    if (f.name.empty() || f.offset < last || f.offset + f.name.size() + 1 + f.raw.size() > m.headersEnd)
      __builtin_trap();
    if (raw.substr(f.offset, f.name.size()) != f.name) __builtin_trap();
    last = f.offset + 1;
    (void)f.Value();
  }
  return 0;
}
