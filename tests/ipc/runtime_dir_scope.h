// Environment settings for one test, restored afterwards; child processes started meanwhile
// inherit them.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

#include "support/test_support.h"

class EnvScope {
 public:
  EnvScope(const char* name, const std::string& value) : m_name(name) {
    if (const char* old = std::getenv(name)) m_old = old;
    Set(name, value.c_str());
  }
  ~EnvScope() { Set(m_name.c_str(), m_old ? m_old->c_str() : nullptr); }

 private:
  // null: unset. _putenv_s also sets the process environment that child processes inherit.
  static void Set(const char* name, const char* value) {
#if defined(_WIN32)
    _putenv_s(name, value ? value : "");
#else
    if (value)
      setenv(name, value, 1);
    else
      unsetenv(name);
#endif
  }

  std::string m_name;
  std::optional<std::string> m_old;
};

// A private runtime folder: MAILHOOK_RUNTIME_DIR names a folder in a fresh temporary one, not yet
// created, so that the first server makes it owner-only.
class RuntimeDirScope {
 public:
  RuntimeDirScope() : m_path((m_temp.Path() / "run").string()), m_env("MAILHOOK_RUNTIME_DIR", m_path) {}
  const std::string& Path() const { return m_path; }

 private:
  mhtest::TempDir m_temp;
  std::string m_path;
  EnvScope m_env;
};
