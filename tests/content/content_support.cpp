#include "content_support.h"

#include <regex>

#include <gtest/gtest.h>

#include "foundation/hook_Log.h"
#include "pool/hook_MemMapResourcePoolMgr.h"

namespace contenttest {

std::vector<std::string> Reports(const DBG::CLogCapture& capture) {
  static const std::regex form(R"(HOOK_ERROR: (-?\d+) \(Line: \d+, File: (.*)\))");
  std::vector<std::string> out;
  for (const auto& text : capture.Texts(LOG_ERROR_REPORT)) {
    std::smatch m;
    out.push_back(std::regex_match(text, m, form) ? m[1].str() + " " + m[2].str() : "unparsed: " + text);
  }
  return out;
}

std::string Code(int code, const char* unit) {
  return std::to_string(code) + " " + unit;
}

std::vector<unsigned char> Pattern(uint32_t seed, size_t n) {
  std::vector<unsigned char> v(n);
  for (size_t i = 0; i < n; ++i) {
    uint32_t x = static_cast<uint32_t>(i) * 2654435761u + seed * 40503u;
    x ^= x >> 15;
    v[i] = static_cast<unsigned char>(x ^ (static_cast<uint32_t>(i >> 8) * 31u));
  }
  return v;
}

CMemMapResource* OpenResource(CMemMapResourcePool* pool, const mhtest::TempDir& dir, const std::string& name,
                              int id, int sizeType, uint64_t maxData) {
  CMemMapResource* r = pool->CreateResource();
  if (r->Open(id, sizeType, dir.WFile(name).c_str(), 0, maxData) == 0 && pool->AddResource(r) == 0) return r;
  ADD_FAILURE() << "cannot open " << name;
  return nullptr;
}

MessagePool::MessagePool(int poolId, const mhtest::TempDir& dir, uint64_t contentMax)
    : id(poolId),
      pool(CMemMapResourcePoolMgr::Instance()->CreateResourcePool(poolId)),
      header(OpenResource(pool, dir, "header", kHeaderId, SIZE_TYPE_SMALL, 1u << 20)),
      content(OpenResource(pool, dir, "content", kContentId, SIZE_TYPE_LARGE, contentMax)),
      update(OpenResource(pool, dir, "update", kUpdateHeaderId, SIZE_TYPE_SMALL, 1u << 20)) {}

MessagePool::~MessagePool() {
  CMemMapResourcePoolMgr::Instance()->CloseResourcePool(id);
}

}  // namespace contenttest
