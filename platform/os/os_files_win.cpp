// The Windows side of owner-only folders and files. No SIGBUS guard: Windows refuses to
// truncate a file while any process maps it, so a view can never lose its pages under a reader
// and there is nothing to guard.
#include <aclapi.h>

#include "os/os_files.h"
#include "win32/win32.h"

#include <memory>

namespace OS {

namespace {

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

CFolderProblem PreparePrivateFolder(const std::filesystem::path& dir) {
  // Made inside an owner-only folder, it inherits that folder's access.
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  DWORD attributes = GetFileAttributesW(dir.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
    return {CFolderProblem::UNSAFE, dir.string() + " is not a folder"};
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return {CFolderProblem::UNSAFE, dir.string() + " is a link"};
  return {};
}

std::string PrivateFileProblem(const std::filesystem::path& path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return path.string() + " cannot be examined";
  if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
    return path.string() + " is not a regular file";
  if (!OwnedByUser(path)) return path.string() + " belongs to another user";
  return {};
}

CBusGuard::CBusGuard() = default;
CBusGuard::~CBusGuard() = default;
bool CBusGuard::Faulted() const {
  return false;
}

// Windows has no per-process descriptor limit short of memory (handles number in the millions).
bool DescriptorsLeftFor(size_t) {
  return true;
}

}  // namespace OS
