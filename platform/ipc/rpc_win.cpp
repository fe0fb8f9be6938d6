// The RPC endpoint on Windows: the runtime folder, the pipe's name (one per component and user)
// and the security both are made with. The pipes themselves are rpc_transport_win.cpp's.
#include "ipc/rpc_win.h"
// clang-format off
#include <sddl.h>
#include <aclapi.h>
// clang-format on

#include <algorithm>
#include <cstdlib>

#include "ipc/rpc_internal.h"

namespace IPC {

std::wstring Widen(const std::string& s) {
  if (s.empty()) return {};
  int len = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(std::max(len, 0)), L'\0');
  if (len > 0) MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), len);
  return out;
}

std::string ErrorText(const char* what, DWORD err) {
  return std::string(what) + ": Win32 error " + std::to_string(err);
}

[[noreturn]] void ThrowSystem(const char* what, DWORD err) {
  throw CRPCError(CRPCError::SYSTEM, ErrorText(what, err));
}

std::wstring ProcessUser(HANDLE process) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(process, TOKEN_QUERY, &token)) return {};
  CUniqueHandle owned(token);
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::unique_ptr<BYTE[]> buf(new BYTE[size ? size : 1]);
  LPWSTR text = nullptr;
  if (!GetTokenInformation(token, TokenUser, buf.get(), size, &size) ||
      !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buf.get())->User.Sid, &text))
    return {};
  std::wstring out(text);
  LocalFree(text);
  return out;
}

// A process does not change user.
const std::wstring& UserSid() {
  static const std::wstring sid = [] {
    std::wstring user = ProcessUser(GetCurrentProcess());
    if (user.empty()) ThrowSystem("read the process user", GetLastError());
    return user;
  }();
  return sid;
}

CSecurityDescriptor::CSecurityDescriptor(bool inherit) {
  std::wstring flags = inherit ? L"OICI" : L"";
  std::wstring sddl =
      L"O:" + UserSid() + L"D:P(A;" + flags + L";GA;;;SY)(A;" + flags + L";GA;;;" + UserSid() + L")";
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &m_pSd, nullptr))
    ThrowSystem("ConvertStringSecurityDescriptorToSecurityDescriptorW", GetLastError());
  m_Attributes.nLength = sizeof(m_Attributes);
  m_Attributes.lpSecurityDescriptor = m_pSd;
  m_Attributes.bInheritHandle = FALSE;
}

CSecurityDescriptor::~CSecurityDescriptor() {
  LocalFree(m_pSd);
}

}  // namespace IPC

namespace {

std::string Narrow(const wchar_t* w, size_t n) {
  if (n == 0) return {};
  int len = WideCharToMultiByte(CP_UTF8, 0, w, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(std::max(len, 0)), '\0');
  if (len > 0) WideCharToMultiByte(CP_UTF8, 0, w, static_cast<int>(n), out.data(), len, nullptr, nullptr);
  return out;
}

std::wstring EnvW(const wchar_t* name) {
  const wchar_t* v = _wgetenv(name);
  return v ? std::wstring(v) : std::wstring();
}

// The runtime folder named by MAILHOOK_RUNTIME_DIR, reduced to 16 hex digits (FNV-1a): it keeps
// two test or service sets with their own folders apart on the pipe namespace as well.
std::string FolderTag(const std::wstring& folder) {
  uint64_t h = 1469598103934665603ull;
  for (wchar_t c : folder) {
    h ^= static_cast<uint16_t>(c);
    h *= 1099511628211ull;
  }
  static const char hex[] = "0123456789abcdef";
  std::string out(16, '0');
  for (int i = 15; i >= 0; --i, h >>= 4) out[static_cast<size_t>(i)] = hex[h & 15];
  return out;
}

}  // namespace

namespace IPC {

std::string GetRuntimeDir() {
  std::wstring dir = EnvW(L"MAILHOOK_RUNTIME_DIR");
  if (!dir.empty()) return Narrow(dir.data(), dir.size());
  std::wstring base = EnvW(L"LOCALAPPDATA");
  if (base.empty()) {
    wchar_t temp[MAX_PATH + 1];
    DWORD n = GetTempPathW(MAX_PATH + 1, temp);
    base.assign(temp, n);
    while (!base.empty() && (base.back() == L'\\' || base.back() == L'/')) base.pop_back();
  }
  return Narrow(base.data(), base.size()) + "\\mailhook";
}

std::string PrepareRuntimeDir() {
  std::string path = GetRuntimeDir();
  std::wstring wpath = Widen(path);
  // Created owner-only, and passing that on: backing files made here with no security attributes
  // of their own inherit it.
  CSecurityDescriptor sd(true);
  if (!CreateDirectoryW(wpath.c_str(), sd.Get()) && GetLastError() != ERROR_ALREADY_EXISTS)
    throw CRPCError(CRPCError::RUNTIME_DIR,
                    ErrorText(("create RPC runtime folder " + path).c_str(), GetLastError()));
  DWORD attributes = GetFileAttributesW(wpath.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES)
    throw CRPCError(CRPCError::RUNTIME_DIR,
                    ErrorText(("RPC runtime folder " + path).c_str(), GetLastError()));
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
    throw CRPCError(CRPCError::RUNTIME_DIR, "RPC runtime folder " + path + " is not a directory");
  // A junction or symbolic link could lead anywhere, as on POSIX.
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
    throw CRPCError(CRPCError::RUNTIME_DIR, "RPC runtime folder " + path + " is a link");
  return path;
}

std::string SocketPath(const CComponentID& component) {
  std::string id = ComponentFileName(component);
  std::wstring dir = EnvW(L"MAILHOOK_RUNTIME_DIR");
  std::wstring sid = UserSid();
  std::string name = "\\\\.\\pipe\\mailhook-" + Narrow(sid.data(), sid.size());
  if (!dir.empty()) name += "-" + FolderTag(dir);
  return name + "-" + id;
}

}  // namespace IPC
