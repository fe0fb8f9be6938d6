// The Windows side of owner-only folders and files. No SIGBUS guard: Windows refuses to
// truncate a file while any process maps it, so a view can never lose its pages under a reader
// and there is nothing to guard.
#include <aclapi.h>

#include <memory>

#include <mailhook/mh_Error.h>
#include "api/mh_Files.h"
#include "ipc/rpc.h"
#include "win32/win32.h"

namespace mailhook {

namespace {

std::filesystem::path FromUtf8(const std::string& s) {
  return std::filesystem::path(std::u8string(s.begin(), s.end()));
}

// True when the file's owner is this process's user.
bool OwnedByUser(const std::filesystem::path& path) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                            nullptr, nullptr, &sd) != ERROR_SUCCESS)
    return false;
  bool same = false;
  HANDLE token = nullptr;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::unique_ptr<BYTE[]> buf(new BYTE[size ? size : 1]);
    if (GetTokenInformation(token, TokenUser, buf.get(), size, &size))
      same = EqualSid(owner, reinterpret_cast<TOKEN_USER*>(buf.get())->User.Sid) != FALSE;
    ::CloseHandle(token);
  }
  LocalFree(sd);
  return same;
}

}  // namespace

std::filesystem::path RuntimeDir() {
  return FromUtf8(IPC::GetRuntimeDir());
}

void EnsurePrivateDir(const std::filesystem::path& dir) {
  std::error_code ec;
  if (dir == RuntimeDir()) {
    // Made admitting only the user and SYSTEM, and passing that on to what is made inside.
    std::filesystem::create_directories(dir.parent_path(), ec);
    IPC::PrepareRuntimeDir();
  } else {
    // Inside the runtime folder this inherits its owner-only access.
    std::filesystem::create_directories(dir, ec);
  }
  DWORD attributes = GetFileAttributesW(dir.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
    throw CMailhookError(CMailhookError::REFUSED, dir.string() + " is not a folder");
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
    throw CMailhookError(CMailhookError::REFUSED, dir.string() + " is a link");
}

std::string PrivateFileProblem(const std::filesystem::path& path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return path.string() + " cannot be examined";
  if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
    return path.string() + " is not a regular file";
  if (!OwnedByUser(path)) return path.string() + " belongs to another user";
  return {};
}

BusGuard::BusGuard() = default;
BusGuard::~BusGuard() = default;
bool BusGuard::Faulted() const {
  return false;
}

// Windows has no per-process descriptor limit short of memory (handles number in the millions).
bool DescriptorsLeftFor(size_t) {
  return true;
}

}  // namespace mailhook
