#include "content_support.h"

#include <cstring>
#include <regex>

#include <gtest/gtest.h>

#include "foundation/hook_Log.h"
#include "pool/hook_MemMapResourcePoolMgr.h"

namespace contenttest {

std::vector<Report> Reports(const DBG::CLogCapture& capture) {
  static const std::regex form(R"(HOOK_ERROR: (-?\d+) \(Line: \d+, File: (.*)\))");
  std::vector<Report> out;
  for (const auto& line : capture.Lines(LOG_ERROR_REPORT)) {
    std::smatch m;
    if (std::regex_match(line.text, m, form))
      out.push_back({std::stoi(m[1].str()), m[2].str()});
    else
      out.push_back({-1000, "unparsed: " + line.text});
  }
  return out;
}

std::u16string Wide(const char16_t* unaligned) {
  std::u16string out;
  const auto* p = reinterpret_cast<const unsigned char*>(unaligned);
  for (char16_t unit;; p += sizeof(unit)) {
    std::memcpy(&unit, p, sizeof(unit));
    if (unit == 0) return out;
    out.push_back(unit);
  }
}

std::vector<unsigned char> Pattern(uint32_t seed, size_t n) {
  std::vector<unsigned char> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = PatternByte(seed, i);
  return v;
}

size_t FirstMismatch(const void* data, size_t n, uint32_t seed) {
  const auto* p = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < n; ++i)
    if (p[i] != PatternByte(seed, i)) return i;
  return n;
}

CMemMapResource* OpenResource(CMemMapResourcePool* pool, const mhtest::TempDir& dir, const std::string& name,
                              int id, int sizeType, uint64_t maxData) {
  CMemMapResource* r = pool->CreateResource();
  if (r->Open(id, sizeType, dir.WFile(name).c_str(), 0, maxData) != 0) {
    ADD_FAILURE() << "cannot open " << name;
    pool->DestroyResource(r);
    return nullptr;
  }
  return r;
}

MessagePool::MessagePool(int poolId, const mhtest::TempDir& dir, uint64_t contentMax)
    : m_iPoolId(poolId),
      m_pPool(CMemMapResourcePoolMgr::Instance()->CreateResourcePool(poolId)),
      m_pHeader(OpenResource(m_pPool, dir, "header", kHeaderId, SIZE_TYPE_SMALL, 1u << 20)),
      m_pContent(OpenResource(m_pPool, dir, "content", kContentId, SIZE_TYPE_LARGE, contentMax)),
      m_pUpdateHeader(OpenResource(m_pPool, dir, "update", kUpdateHeaderId, SIZE_TYPE_SMALL, 1u << 20)) {
  for (CMemMapResource* r : {m_pHeader, m_pContent, m_pUpdateHeader})
    if (r != nullptr) {
      EXPECT_EQ(m_pPool->AddResource(r), 0);
    }
}

MessagePool::~MessagePool() {
  CMemMapResourcePoolMgr::Instance()->CloseResourcePool(m_iPoolId);
}

}  // namespace contenttest
