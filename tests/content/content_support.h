// Helpers shared by the content tests: report lines of caught errors, byte patterns that both
// processes can regenerate, and a pool holding the three resources of one message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "dbg/dbg_log.h"
#include "foundation/hook_HookError.h"
#include "pool/hook_MemMapResourcePool.h"
#include "support/test_support.h"

namespace contenttest {

// One "HOOK_ERROR: code (Line: n, File: unit)" report: its code and unit (the line is left out
// on purpose, it moves with every edit of the source).
struct Report {
  int code;
  std::string file;
  bool operator==(const Report&) const = default;
};
std::vector<Report> Reports(const DBG::CLogCapture& capture);
std::string ToString(const std::vector<Report>& reports);

constexpr const char* kContentUnit = "hook_HookContentImp.cpp";
constexpr const char* kReceiverUnit = "hook_HookContentReceiver.cpp";
constexpr const char* kResourceUnit = "hook_MemMapResource.cpp";
constexpr const char* kPoolUnit = "hook_MemMapResourcePool.cpp";

// A wide string as the header reader hands it out: in place, possibly at an odd address.
std::u16string Wide(const char16_t* unaligned);

// Byte i of pattern seed; different seeds differ in almost every byte.
inline unsigned char PatternByte(uint32_t seed, size_t i) {
  uint32_t x = static_cast<uint32_t>(i) * 2654435761u + seed * 40503u;
  x ^= x >> 15;
  return static_cast<unsigned char>(x ^ (static_cast<uint32_t>(i >> 8) * 31u));
}
std::vector<unsigned char> Pattern(uint32_t seed, size_t n);
// The offset of the first byte that differs from the pattern, or n when all match.
size_t FirstMismatch(const void* data, size_t n, uint32_t seed);

// Ids of one message's resources in a pool made by MessagePool.
constexpr int kHeaderId = 11;
constexpr int kContentId = 12;
constexpr int kUpdateHeaderId = 13;

// A pool registered with the pool manager under poolId, holding a header, a content and an
// update-header resource in files of dir; the pool is closed (files kept) on destruction.
class MessagePool {
 public:
  MessagePool(int poolId, const mhtest::TempDir& dir, uint64_t contentMax = 4u << 20);
  ~MessagePool();
  MessagePool(const MessagePool&) = delete;
  MessagePool& operator=(const MessagePool&) = delete;

  CMemMapResourcePool* Pool() { return m_pPool; }
  CMemMapResource* Header() { return m_pHeader; }
  CMemMapResource* Content() { return m_pContent; }
  CMemMapResource* UpdateHeader() { return m_pUpdateHeader; }
  int Id() const { return m_iPoolId; }

 private:
  int m_iPoolId;
  CMemMapResourcePool* m_pPool;
  CMemMapResource* m_pHeader;
  CMemMapResource* m_pContent;
  CMemMapResource* m_pUpdateHeader;
};

// Opens a resource of pool with Open in file name of dir; null (after a gtest failure) if not.
CMemMapResource* OpenResource(CMemMapResourcePool* pool, const mhtest::TempDir& dir, const std::string& name,
                              int id, int sizeType, uint64_t maxData);

}  // namespace contenttest
