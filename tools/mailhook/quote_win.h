// A command line for CreateProcessW that the child's CommandLineToArgvW (or its C runtime) reads
// back into exactly the arguments given. Header only: the command's service child and the tests'
// process helper (which takes it from here) both build one.
#pragma once

#include <string>

namespace mailhook {

// One argument, quoted: backslashes are literal except in a run that ends at a quote, where each
// must be doubled.
inline std::wstring QuoteArgument(const std::wstring& arg) {
  std::wstring q = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    q.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    q += c;
  }
  q.append(backslashes * 2, L'\\');
  return q + L"\"";
}

}  // namespace mailhook
