#include <atomic>
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>

#include "win32/win32_posix_internal.h"

namespace mhwin {

namespace {
struct Table {
  std::shared_mutex mutex;
  std::unordered_map<std::uintptr_t, std::shared_ptr<Object>> objects;
  std::uintptr_t next = 1;
};

Table& TheTable() {
  // Never destroyed: handles may be closed from static destructors of other libraries.
  static Table* table = new Table;
  return *table;
}
}  // namespace

HANDLE InsertHandle(std::shared_ptr<Object> object) {
  Table& t = TheTable();
  std::unique_lock lock(t.mutex);
  std::uintptr_t key = t.next++;
  t.objects.emplace(key, std::move(object));
  // Multiples of 4, as Windows' own handle values are; never 0 and never -1.
  return reinterpret_cast<HANDLE>(key << 2);
}

std::shared_ptr<Object> LookupHandle(HANDLE handle) {
  auto value = reinterpret_cast<std::uintptr_t>(handle);
  if (value == 0 || (value & 3) != 0) return nullptr;
  Table& t = TheTable();
  std::shared_lock lock(t.mutex);
  auto it = t.objects.find(value >> 2);
  return it == t.objects.end() ? nullptr : it->second;
}

std::shared_ptr<Object> RemoveHandle(HANDLE handle) {
  auto value = reinterpret_cast<std::uintptr_t>(handle);
  if (value == 0 || (value & 3) != 0) return nullptr;
  Table& t = TheTable();
  std::unique_lock lock(t.mutex);
  auto it = t.objects.find(value >> 2);
  if (it == t.objects.end()) return nullptr;
  auto object = std::move(it->second);
  t.objects.erase(it);
  return object;
}

}  // namespace mhwin

BOOL CloseHandle(HANDLE object) {
  // The object itself goes when its last user lets go: a section lives on under its views,
  // a semaphore under a thread still waiting on it.
  if (!mhwin::RemoveHandle(object)) return mhwin::Fail(ERROR_INVALID_HANDLE, FALSE);
  return TRUE;
}
