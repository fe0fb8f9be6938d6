// Internal: a hook's backing files and the pool that hands them out. Two small files (header
// lists) and one large (content) per holder, created private in the hook's folder; the fixed
// fields each file's shared header had when this process wrote it, so that what a service wrote
// over them can be found and put right; the sizes the files start at and may grow to.
#pragma once

#include <cstdint>
#include <filesystem>
#include <shared_mutex>
#include <vector>

class CMemMapResource;

namespace mailhook {

class CBackingFiles {
 public:
  // Header-list files start at 64 KiB and grow to 4 MiB; content files start at 1 MiB and hold
  // up to maxMessage bytes. Throws CMailhookError (FILE_REPLACED for a file left in the folder
  // that others can reach, SYSTEM when one cannot be made).
  CBackingFiles(int poolId, const std::filesystem::path& folder, int holders, uint64_t maxMessage);
  CBackingFiles(const CBackingFiles&) = delete;
  CBackingFiles& operator=(const CBackingFiles&) = delete;

  static uint64_t DefaultFileSize(int sizeType);
  // The largest a file may grow: content files hold maxMessage bytes of data after their header,
  // rounded up to whole 64 KiB (every platform's mapping granularity).
  uint64_t MaxFileSize(int sizeType) const;
  // The largest file a process keeps mapped between messages; files grown past it are cut back.
  uint64_t KeptMapping() const;
  size_t Count() const { return m_Resources.size(); }

  // Whether each resource's shared header still says what this process wrote, with a data size
  // its view can hold. Touches the headers: call it under a guard against files cut short.
  bool HeadersIntact(const std::vector<CMemMapResource*>& resources) const;
  // Maps afresh from its file each of mine and each other free resource whose file is now
  // shorter than its view (one the pool could not hand out); those others hold are theirs to
  // mend. False when one cannot be made again. Takes Lists() alone.
  bool Mend(const std::vector<CMemMapResource*>& mine, const std::vector<CMemMapResource*>& others);

  // Shared while resources are handed out or given back; unique while the pool's lists are read
  // whole (a registration) or its resources are mended.
  std::shared_mutex& Lists() { return m_Lists; }

 private:
  struct WrittenHeader {
    int32_t headerSize, defaultSize, maxSize, sizeType;
  };
  const int m_iPoolId;
  const uint64_t m_ullMaxMessage;
  std::vector<CMemMapResource*> m_Resources;  // owned by the pool
  // By resource id (small: the pool numbers them from 1); kept beside the resource it was
  // taken from, which a lookup also checks.
  struct Written {
    const CMemMapResource* resource = nullptr;
    WrittenHeader header{};
  };
  std::vector<Written> m_Written;
  std::shared_mutex m_Lists;
};

}  // namespace mailhook
