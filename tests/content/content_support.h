// Helpers shared by the content tests: the codes and units of caught-error reports, byte
// patterns, and a pool holding one message's three resources.
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

// "code unit" of each "HOOK_ERROR: code (Line: n, File: unit)" report (the line moves with every
// edit of the source); for example "3 hook_HookContentImp.cpp".
std::vector<std::string> Reports(const DBG::CLogCapture& capture);
std::string Code(int code, const char* unit = "hook_HookContentImp.cpp");

// n bytes of pattern seed; different seeds differ in almost every byte.
std::vector<unsigned char> Pattern(uint32_t seed, size_t n);

constexpr int kHeaderId = 11, kContentId = 12, kUpdateHeaderId = 13;

// Opens a resource of pool in file name of dir; null (after a gtest failure) if it cannot.
CMemMapResource* OpenResource(CMemMapResourcePool* pool, const mhtest::TempDir& dir, const std::string& name,
                              int id, int sizeType, uint64_t maxData);

// A pool registered with the pool manager under poolId, holding a header, a content and an
// update-header resource in files of dir; the pool is closed (files kept) on destruction.
struct MessagePool {
  MessagePool(int poolId, const mhtest::TempDir& dir, uint64_t contentMax = 4u << 20);
  ~MessagePool();
  int id;
  CMemMapResourcePool* pool;
  CMemMapResource *header, *content, *update;
};

}  // namespace contenttest
