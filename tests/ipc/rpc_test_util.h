// Helpers of the IPC and RPC tests.
#pragma once

#include "ipc/runtime_dir_scope.h"

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
