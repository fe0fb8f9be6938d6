// The main of every test binary: "--child NAME ARGS..." runs a registered child body in this
// process instead of the tests (see test_support.h); anything else runs GoogleTest.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace mhtest {
int RunRegisteredChild(const std::string& name, const std::vector<std::string>& args);
}

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "--child") == 0) {
    std::vector<std::string> args(argv + 3, argv + argc);
    return mhtest::RunRegisteredChild(argv[2], args);
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
