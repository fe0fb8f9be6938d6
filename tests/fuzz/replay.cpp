// A fuzz target's corpus replayed as an ordinary test, without libFuzzer: every file in the
// folders named on the command line (by default the target's own corpus, MAILHOOK_FUZZ_CORPUS)
// goes once through the target's entry point, as the fuzzer would hand it over, so the known
// hostile inputs run on every build. A crash, a trap or a sanitizer report fails the run; the
// input being replayed is named first.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
// Only some targets set themselves up before the first input.
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

int main(int argc, char** argv) {
  std::vector<std::filesystem::path> folders;
  for (int i = 1; i < argc; ++i) folders.push_back(std::filesystem::absolute(argv[i]));
  if (folders.empty()) folders.push_back(MAILHOOK_FUZZ_CORPUS);
  // A target's set-up may change the working folder and rewrite the arguments it is given.
  if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
  std::vector<std::filesystem::path> inputs;
  for (const auto& folder : folders)
    for (const auto& entry : std::filesystem::directory_iterator(folder))
      if (entry.is_regular_file()) inputs.push_back(entry.path());
  if (inputs.empty()) {
    std::fprintf(stderr, "no inputs to replay\n");
    return 1;
  }
  std::sort(inputs.begin(), inputs.end());
  for (const auto& path : inputs) {
    std::fprintf(stderr, "replaying %s\n", path.c_str());
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    bytes.reserve(1);  // never a null pointer, as the fuzzer never passes one
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  }
  std::printf("%zu inputs replayed\n", inputs.size());
  return 0;
}
