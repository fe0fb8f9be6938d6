// Helpers of the IPC and RPC tests.
#pragma once

#include <string>

#include "support/test_support.h"

using mhtest::EnvScope;

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

// The code of the exception of type E that call raised, 0 if none.
template <typename E, typename F>
int CodeOf(F call) {
  try {
    call();
  } catch (const E& e) {
    return e.GetCode();
  }
  return 0;
}
