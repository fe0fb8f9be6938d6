// A private runtime folder for one test: MAILHOOK_RUNTIME_DIR points into a fresh temporary folder
// (not yet created, so the server makes it owner-only) and is restored afterwards. Child processes
// started meanwhile inherit it.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

#include "support/test_support.h"

class RuntimeDirScope {
 public:
  RuntimeDirScope() : m_path((m_temp.Path() / "run").string()) {
    if (const char* old = std::getenv("MAILHOOK_RUNTIME_DIR")) m_old = old;
    setenv("MAILHOOK_RUNTIME_DIR", m_path.c_str(), 1);
  }
  ~RuntimeDirScope() {
    if (m_old)
      setenv("MAILHOOK_RUNTIME_DIR", m_old->c_str(), 1);
    else
      unsetenv("MAILHOOK_RUNTIME_DIR");
  }
  const std::string& Path() const { return m_path; }

 private:
  mhtest::TempDir m_temp;
  std::string m_path;
  std::optional<std::string> m_old;
};

// Sets one environment variable for a scope.
class EnvScope {
 public:
  EnvScope(const char* name, const char* value) : m_name(name) {
    if (const char* old = std::getenv(name)) m_old = old;
    setenv(name, value, 1);
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
