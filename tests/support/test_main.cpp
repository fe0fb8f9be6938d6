// The main of every test binary: "--child NAME ARGS..." runs a registered child body in this
// process instead of the tests (see test_support.h); anything else runs GoogleTest.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cwchar>

#include "support/test_support.h"
#include "win32/win32.h"
// After <windows.h>, which win32.h includes lean.
#include <shellapi.h>
#endif

namespace mhtest {
int RunRegisteredChild(const std::string& name, const std::vector<std::string>& args);
}

namespace {

// A child's arguments in UTF-8, as on POSIX. On Windows main's narrow arguments are in the ANSI
// code page, which loses what it cannot spell, so they are read again from the UTF-16 line.
std::vector<std::string> ChildArgs(int argc, char** argv) {
#if defined(_WIN32)
  int n = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &n);
  if (wide != nullptr) {
    std::vector<std::string> args;
    for (int i = 3; i < n; ++i) {
      const wchar_t* w = wide[i];
      args.push_back(mhtest::ToU8(std::u16string(w, w + std::wcslen(w))));
    }
    LocalFree(wide);
    return args;
  }
#endif
  return std::vector<std::string>(argv + 3, argv + argc);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "--child") == 0) {
#if defined(_WIN32)
    // The parent reads bytes, as on POSIX: no "\r\n" for "\n".
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    return mhtest::RunRegisteredChild(argv[2], ChildArgs(argc, argv));
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
