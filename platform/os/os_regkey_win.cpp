// OS::CRegKey over the real registry.
#include "os/os_regkey.h"

namespace OS {

struct CRegKey::Impl {
  HKEY key = nullptr;
};

CRegKey::CRegKey() : m_pImpl(new Impl) {}

CRegKey::~CRegKey() {
  Close();
  delete m_pImpl;
}

LONG CRegKey::Open(HKEY root, const char16_t* subkey, REGSAM access) {
  Close();
  HKEY key = nullptr;
  LONG result = ::RegOpenKeyExW(root, WinStr(subkey ? subkey : u""), 0, access, &key);
  if (result == ERROR_SUCCESS) m_pImpl->key = key;
  return result;
}

LONG CRegKey::QueryValue(DWORD& value, const char16_t* name) {
  if (m_pImpl->key == nullptr) return ERROR_INVALID_HANDLE;
  DWORD type = 0;
  DWORD data = 0;
  DWORD size = sizeof(data);
  LONG result = ::RegQueryValueExW(m_pImpl->key, WinStr(name ? name : u""), nullptr, &type,
                                   reinterpret_cast<LPBYTE>(&data), &size);
  if (result != ERROR_SUCCESS) return result;
  // Only a real DWORD counts: a string or binary value of that name is not the setting.
  if (type != REG_DWORD || size != sizeof(data)) return ERROR_INVALID_DATA;
  value = data;
  return ERROR_SUCCESS;
}

LONG CRegKey::Close() {
  if (m_pImpl->key == nullptr) return ERROR_INVALID_HANDLE;
  LONG result = ::RegCloseKey(m_pImpl->key);
  m_pImpl->key = nullptr;
  return result;
}

}  // namespace OS
