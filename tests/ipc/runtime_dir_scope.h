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
    setenv(name, value.c_str(), 1);
  }
  ~EnvScope() {
    if (m_old)
      setenv(m_name.c_str(), m_old->c_str(), 1);
    else
      unsetenv(m_name.c_str());
  }

 private:
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
