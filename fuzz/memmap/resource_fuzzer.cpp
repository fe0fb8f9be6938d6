// Adopting a backing file written by another process: the fuzzer's bytes are the file (header
// and length), and the first four bytes are a data size the "peer" stores into the shared
// header after adoption. Whatever they hold, OpenExisting and RenewMemMap either refuse or
// leave a view that covers everything the accessors report, and never extend the file.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "memmap/hook_MemMapResource.h"

namespace {

const std::filesystem::path& FilePath() {
  static const std::filesystem::path path =
      std::filesystem::temp_directory_path() / ("mailhook-resource-fuzz-" + std::to_string(GetCurrentProcessId()));
  return path;
}

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

// Reads every byte the resource reports as data: a report beyond the view would fault.
unsigned Touch(CMemMapResource& r) {
  const int view = r.GetCurrentMapSize();
  const int data = r.GetDataSize();
  const int storage = r.GetDataStorageSize();
  Check(data >= 0 && storage >= 0 && data <= view - CMemMapResource::kHeaderSize &&
        storage <= view - CMemMapResource::kHeaderSize);
  const auto* p = static_cast<const volatile unsigned char*>(r.GetDataBaseAddr());
  unsigned sum = 0;
  for (int i = 0; i < data; ++i) sum += p[i];
  if (data > 0) sum += p[data - 1];
  return sum;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  if (size < 4) return 0;
  int32_t peerDataSize;
  std::memcpy(&peerDataSize, bytes, 4);
  const auto& path = FilePath();
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes + 4), static_cast<std::streamsize>(size - 4));
  }
  const auto fileSize = std::filesystem::file_size(path);
  const std::u16string name = path.u16string();
  {
    CMemMapResource r(1);
    r.SetMaxAllowedFileSize(0x100000);
    if (r.OpenExisting(7, name.c_str()) == 0) {
      Check(r.IsMapped() && r.GetCurrentMapSize() >= CMemMapResource::kHeaderSize);
      Touch(r);
      if (r.RenewMemMap() == 0) Touch(r);
      Check(std::filesystem::file_size(path) == fileSize);

      // The peer rewrites the data size behind our back.
      auto* header = reinterpret_cast<MemMapResourceHeader*>(static_cast<char*>(r.GetDataBaseAddr()) -
                                                             CMemMapResource::kHeaderSize);
      header->iDataSize = peerDataSize;
      Touch(r);
      if (r.RenewMemMap() == 0) Touch(r);
      Check(std::filesystem::file_size(path) == fileSize);
      if (r.IsMapped()) {
        r.SetDataSize(peerDataSize);
        Touch(r);
      }
    } else {
      Check(!r.IsMapped());
    }
  }
  return 0;
}
