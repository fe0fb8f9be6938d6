// OS::CRegKey, the utility library's registry key: open a key, read DWORD values, close it on
// destruction.
//
// On Windows it reads the real registry. Elsewhere it reads a registry file in the .reg export
// format ("Windows Registry Editor Version 5.00", "[HKEY_LOCAL_MACHINE\SOFTWARE\...]" sections,
// "Name"=dword:00f00000 values) named by MAILHOOK_REGISTRY (default /etc/mailhook/registry.reg).
// A missing, unreadable or malformed file means that no key opens, so callers keep their
// defaults. Key paths and value names compare case-insensitively, as the registry does.
//
// One object is used by one thread at a time.
#pragma once

#include "mh_os_export.h"
#include "win32/win32.h"

namespace OS {

class MH_OS_API CRegKey {
 public:
  CRegKey();
  ~CRegKey();
  CRegKey(const CRegKey&) = delete;
  CRegKey& operator=(const CRegKey&) = delete;

  // 0 when the key root\subkey opens; a Win32 error code otherwise. Closes a key opened before.
  LONG Open(HKEY root, const char16_t* subkey, REGSAM access = KEY_READ);
  // 0 when the named DWORD value was read into value (left unchanged otherwise).
  LONG QueryValue(DWORD& value, const char16_t* name);
  // Closes the key if one is open; 0 when one was.
  LONG Close();

  struct Impl;

 private:
  Impl* m_pImpl;
};

}  // namespace OS
