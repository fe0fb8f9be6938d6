// What the named-pipe transport shares with the runtime folder and the pipe's naming
// (rpc_win.cpp); not installed.
#pragma once

#include "win32/win32.h"  // <windows.h> with the project's macros

#include <memory>
#include <string>

namespace IPC {

std::wstring Widen(const std::string& s);
// "what: Win32 error <err>".
std::string ErrorText(const char* what, DWORD err);
// Throws CRPCError(SYSTEM) with ErrorText.
[[noreturn]] void ThrowSystem(const char* what, DWORD err);

struct CHandleCloser {
  void operator()(HANDLE h) const {
    if (h && h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
  }
};
using CUniqueHandle = std::unique_ptr<void, CHandleCloser>;

// The user a process runs as, as SID text ("S-1-5-21-..."); empty if it cannot be read (the
// process is gone, or belongs to someone we may not look at).
std::wstring ProcessUser(HANDLE process);
// This process's user, read once: it names the user in pipe names and is granted the only access
// besides SYSTEM. Throws CRPCError(SYSTEM) if it cannot be read.
const std::wstring& UserSid();

// A security descriptor admitting only the user and SYSTEM (protected: nothing inherited from
// above). inherit: folders pass it on to the files made in them.
class CSecurityDescriptor {
 public:
  explicit CSecurityDescriptor(bool inherit);
  ~CSecurityDescriptor();
  CSecurityDescriptor(const CSecurityDescriptor&) = delete;
  CSecurityDescriptor& operator=(const CSecurityDescriptor&) = delete;
  SECURITY_ATTRIBUTES* Get() { return &m_Attributes; }

 private:
  PSECURITY_DESCRIPTOR m_pSd = nullptr;
  SECURITY_ATTRIBUTES m_Attributes{};
};

}  // namespace IPC
