// Shared pieces of the POSIX implementation of the Win32 subset: the handle table and the
// one place where errno becomes a Windows error code.
#pragma once

#include <cerrno>
#include <memory>
#include <utility>

#include "os/os_eintr.h"
#include "win32/win32.h"

namespace mhwin {

constexpr DWORD ERROR_MAPPED_ALIGNMENT = 1132;

// errno -> Windows error code, in one table.
DWORD ErrnoToWin32(int err);

// Records errno as the thread's last error and returns the failure value given.
template <class T>
T FailErrno(T failure) {
  SetLastError(ErrnoToWin32(errno));
  return failure;
}

template <class T>
T Fail(DWORD error, T failure) {
  SetLastError(error);
  return failure;
}

// Every system call goes through it: retried on EINTR, errno read at once by the caller.
using OS::RetryOnEintr;

enum class Kind { File, Mapping, Semaphore };

// What a HANDLE stands for. Handles are small integers cast to pointers, never reused, so a
// closed or made-up handle is recognised instead of dereferenced.
struct Object {
  explicit Object(Kind k) : kind(k) {}
  virtual ~Object() = default;
  const Kind kind;
};

HANDLE InsertHandle(std::shared_ptr<Object> object);
std::shared_ptr<Object> LookupHandle(HANDLE handle);
std::shared_ptr<Object> RemoveHandle(HANDLE handle);

template <class T>
std::shared_ptr<T> Lookup(HANDLE handle, Kind kind) {
  auto object = LookupHandle(handle);
  if (!object || object->kind != kind) return nullptr;
  return std::static_pointer_cast<T>(std::move(object));  // no second count of the object
}

}  // namespace mhwin
