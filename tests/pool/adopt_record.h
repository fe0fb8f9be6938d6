// What a service does with a hook's pool export record: adopts every backing file it lists.
#pragma once

#include <cstring>
#include <string>

#include "pool/hook_MemMapResourcePool.h"
#include "support/test_support.h"

// Adopts every resource the export record in file path lists into pool; false if the bytes are
// no record of that pool or a listed file cannot be adopted.
inline bool AdoptFromRecord(const std::string& path, CMemMapResourcePool& pool) {
  const std::string bytes = mhtest::ReadFile(path);
  int32_t head[2] = {};
  if (bytes.size() >= 8) std::memcpy(head, bytes.data(), 8);
  if (head[1] < 1 ||
      CMemMapResourcePool::CResPoolRegisterInfo::BlockSize(static_cast<size_t>(head[1])) != bytes.size())
    return false;
  for (size_t i = 0; i < static_cast<size_t>(head[1]); ++i) {
    CMemMapResourcePool::CResRegisterEntry entry{};
    std::memcpy(static_cast<void*>(&entry), bytes.data() + 8 + sizeof(entry) * i, sizeof(entry));
    CMemMapResource* r = pool.CreateResource();
    if (entry.iResourcePoolId != pool.GetResourcePoolId() ||
        r->OpenExisting(entry.iResourceId, entry.szBackingStoreName) != 0 || pool.AddResource(r) != 0)
      return false;
  }
  return true;
}
