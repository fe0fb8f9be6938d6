// Small helpers of the Win32 tests, written against win32.h only so that they build for both.
#pragma once

#include <cstdint>
#include <string>

#include "win32/win32.h"

// The last error against an ERROR_ constant (a long on Windows, so compared as DWORD).
#define EXPECT_LAST_ERROR(code) EXPECT_EQ(GetLastError(), static_cast<DWORD>(code))

namespace w32test {

inline HANDLE OpenFile(const std::u16string& path, DWORD disposition,
                       DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE,
                       DWORD access = GENERIC_READ | GENERIC_WRITE) {
  return CreateFileW(WinStr(path.c_str()), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                     nullptr);
}

inline bool WriteAll(HANDLE file, const std::string& data) {
  DWORD written = 0;
  return WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &written, nullptr) &&
         written == data.size();
}

inline std::uint64_t SizeOf(HANDLE file) {
  DWORD high = 0;
  DWORD low = GetFileSize(file, &high);
  return (static_cast<std::uint64_t>(high) << 32) | low;
}

// Reads the first n bytes of the file.
inline std::string ReadHead(HANDLE file, DWORD n) {
  std::string out(n, '\0');
  DWORD got = 0;
  if (SetFilePointer(file, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER) return {};
  if (!ReadFile(file, out.data(), n, &got, nullptr)) return {};
  out.resize(got);
  return out;
}

// Sets the end of file at size; false with the last error on failure.
inline bool Resize(HANDLE file, LONG size) {
  if (SetFilePointer(file, size, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER) return false;
  return SetEndOfFile(file) != FALSE;
}

inline SYSTEM_INFO SystemInfo() {
  SYSTEM_INFO si;
  GetSystemInfo(&si);
  return si;
}

inline DWORD PageSize() {
  return SystemInfo().dwPageSize;
}
inline DWORD Granularity() {
  return SystemInfo().dwAllocationGranularity;
}

}  // namespace w32test
