// The Win32 subset the library calls. On Windows this is <windows.h> itself; elsewhere it
// declares the same names and platform/win32/win32_posix_*.cpp implement them on POSIX with
// Windows' semantics, so that one code path serves both platforms.
//
// Wide strings are char16_t everywhere; at a Win32 call on Windows pass them through WinStr().
#pragma once

#if defined(_WIN32)

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

// char16_t and wchar_t have the same size and representation on Windows.
inline LPCWSTR WinStr(const char16_t* s) { return reinterpret_cast<LPCWSTR>(s); }
inline LPWSTR WinStr(char16_t* s) { return reinterpret_cast<LPWSTR>(s); }

#else  // POSIX

#include <cstddef>
#include <cstdint>

#include "mh_win32_export.h"

using BOOL = int;
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using UINT = unsigned int;
using PLONG = LONG*;
using LPLONG = LONG*;
using LPDWORD = DWORD*;
using SIZE_T = std::size_t;
using DWORD_PTR = std::uintptr_t;
using ULONG_PTR = std::uintptr_t;
using LPVOID = void*;
using LPCVOID = const void*;
using HANDLE = void*;
using WCHAR = char16_t;
using LPWSTR = char16_t*;
using LPCWSTR = const char16_t*;
using LPSTR = char*;
using LPCSTR = const char*;
struct HINSTANCE__;
using HINSTANCE = HINSTANCE__*;
using HMODULE = HINSTANCE;
struct HKEY__;
using HKEY = HKEY__*;
using REGSAM = DWORD;
using LSTATUS = LONG;

inline LPCWSTR WinStr(const char16_t* s) { return s; }
inline LPWSTR WinStr(char16_t* s) { return s; }

constexpr BOOL FALSE = 0;
constexpr BOOL TRUE = 1;
constexpr DWORD MAX_PATH = 260;

struct SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
};
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

struct SYSTEM_INFO {
  WORD wProcessorArchitecture;
  WORD wReserved;
  DWORD dwPageSize;
  LPVOID lpMinimumApplicationAddress;
  LPVOID lpMaximumApplicationAddress;
  DWORD_PTR dwActiveProcessorMask;
  DWORD dwNumberOfProcessors;
  DWORD dwProcessorType;
  DWORD dwAllocationGranularity;
  WORD wProcessorLevel;
  WORD wProcessorRevision;
};
using LPSYSTEM_INFO = SYSTEM_INFO*;

// Opaque storage for a recursive mutex, constructed by InitializeCriticalSection and destroyed
// by DeleteCriticalSection, as Windows' own structure is plain storage.
struct CRITICAL_SECTION {
  alignas(16) unsigned char Opaque[64];
};
using LPCRITICAL_SECTION = CRITICAL_SECTION*;

// Handles are opaque; the value -1 is never a valid handle.
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)))
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000002u)))
#define HKEY_CURRENT_USER (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000001u)))

constexpr DWORD INVALID_SET_FILE_POINTER = 0xFFFFFFFFu;
constexpr DWORD INVALID_FILE_SIZE = 0xFFFFFFFFu;

constexpr DWORD INFINITE = 0xFFFFFFFFu;
constexpr DWORD WAIT_OBJECT_0 = 0x00000000u;
constexpr DWORD WAIT_ABANDONED = 0x00000080u;
constexpr DWORD WAIT_TIMEOUT = 0x00000102u;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;

constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;
constexpr DWORD FILE_SHARE_READ = 0x1u;
constexpr DWORD FILE_SHARE_WRITE = 0x2u;
constexpr DWORD FILE_SHARE_DELETE = 0x4u;
constexpr DWORD CREATE_NEW = 1;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD OPEN_ALWAYS = 4;
constexpr DWORD TRUNCATE_EXISTING = 5;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80u;
constexpr DWORD FILE_BEGIN = 0;
constexpr DWORD FILE_CURRENT = 1;
constexpr DWORD FILE_END = 2;

constexpr DWORD PAGE_READONLY = 0x02u;
constexpr DWORD PAGE_READWRITE = 0x04u;
constexpr DWORD FILE_MAP_WRITE = 0x0002u;
constexpr DWORD FILE_MAP_READ = 0x0004u;
constexpr DWORD FILE_MAP_ALL_ACCESS = 0x000F001Fu;

constexpr REGSAM KEY_READ = 0x20019u;
constexpr DWORD REG_DWORD = 4;

constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD NO_ERROR = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_TOO_MANY_OPEN_FILES = 4;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_WRITE_PROTECT = 19;
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_LOCK_VIOLATION = 33;
constexpr DWORD ERROR_HANDLE_EOF = 38;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;
constexpr DWORD ERROR_FILE_EXISTS = 80;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_DISK_FULL = 112;
constexpr DWORD ERROR_NEGATIVE_SEEK = 131;
constexpr DWORD ERROR_BUSY = 170;
constexpr DWORD ERROR_ALREADY_EXISTS = 183;
constexpr DWORD ERROR_FILENAME_EXCED_RANGE = 206;
constexpr DWORD ERROR_FILE_TOO_LARGE = 223;
constexpr DWORD ERROR_MORE_DATA = 234;
constexpr DWORD ERROR_NO_MORE_ITEMS = 259;
constexpr DWORD ERROR_TOO_MANY_POSTS = 298;
constexpr DWORD ERROR_INVALID_ADDRESS = 487;
constexpr DWORD ERROR_FILE_INVALID = 1006;
constexpr DWORD ERROR_IO_DEVICE = 1117;
constexpr DWORD ERROR_USER_MAPPED_FILE = 1224;
constexpr DWORD ERROR_CANT_RESOLVE_FILENAME = 1921;

// Errors: one value per thread, holding Windows error codes.
MH_WIN32_API DWORD GetLastError();
MH_WIN32_API void SetLastError(DWORD error);

// Files. CreateFileW honours OPEN_ALWAYS/CREATE_*/OPEN_EXISTING; a null SECURITY_ATTRIBUTES
// creates an owner-only file. Without FILE_SHARE_DELETE, DeleteFileW of a file that any
// handle holds open fails with ERROR_SHARING_VIOLATION.
MH_WIN32_API HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                                LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                                DWORD flagsAndAttributes, HANDLE templateFile);
MH_WIN32_API DWORD GetFileSize(HANDLE file, LPDWORD fileSizeHigh);
MH_WIN32_API DWORD SetFilePointer(HANDLE file, LONG distanceToMove, PLONG distanceToMoveHigh,
                                  DWORD moveMethod);
MH_WIN32_API BOOL SetEndOfFile(HANDLE file);
MH_WIN32_API BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
                           LPVOID overlapped);
MH_WIN32_API BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
                            LPVOID overlapped);
MH_WIN32_API BOOL DeleteFileW(LPCWSTR fileName);
MH_WIN32_API BOOL CloseHandle(HANDLE object);

// Mappings and views. A maximum size beyond the end of the file extends the file with space
// really allocated; a view never reaches past its section; truncating a file that a section
// maps (in any process) fails with ERROR_USER_MAPPED_FILE.
MH_WIN32_API HANDLE CreateFileMappingW(HANDLE file, LPSECURITY_ATTRIBUTES attributes, DWORD protect,
                                       DWORD maximumSizeHigh, DWORD maximumSizeLow, LPCWSTR name);
MH_WIN32_API LPVOID MapViewOfFileEx(HANDLE fileMapping, DWORD desiredAccess, DWORD fileOffsetHigh,
                                    DWORD fileOffsetLow, SIZE_T numberOfBytesToMap, LPVOID baseAddress);
MH_WIN32_API LPVOID MapViewOfFile(HANDLE fileMapping, DWORD desiredAccess, DWORD fileOffsetHigh,
                                  DWORD fileOffsetLow, SIZE_T numberOfBytesToMap);
MH_WIN32_API BOOL UnmapViewOfFile(LPCVOID baseAddress);
MH_WIN32_API BOOL FlushViewOfFile(LPCVOID baseAddress, SIZE_T numberOfBytesToFlush);

MH_WIN32_API void GetSystemInfo(LPSYSTEM_INFO systemInfo);
MH_WIN32_API DWORD GetCurrentProcessId();
MH_WIN32_API DWORD GetCurrentThreadId();

// Critical sections: recursive for the owning thread, blocking for others, no time-out.
MH_WIN32_API void InitializeCriticalSection(LPCRITICAL_SECTION section);
MH_WIN32_API void DeleteCriticalSection(LPCRITICAL_SECTION section);
MH_WIN32_API void EnterCriticalSection(LPCRITICAL_SECTION section);
MH_WIN32_API void LeaveCriticalSection(LPCRITICAL_SECTION section);
MH_WIN32_API BOOL TryEnterCriticalSection(LPCRITICAL_SECTION section);

// Semaphores: unnamed and process-local only (a name is refused with ERROR_NOT_SUPPORTED).
MH_WIN32_API HANDLE CreateSemaphoreW(LPSECURITY_ATTRIBUTES attributes, LONG initialCount,
                                     LONG maximumCount, LPCWSTR name);
MH_WIN32_API BOOL ReleaseSemaphore(HANDLE semaphore, LONG releaseCount, LPLONG previousCount);
MH_WIN32_API DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);

// The debugger channel: on POSIX it goes to the debug-log sink at its own level.
MH_WIN32_API void OutputDebugStringA(LPCSTR outputString);

#endif  // POSIX
