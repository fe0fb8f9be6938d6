// CHookError: a failure raised deep inside an operation with HOOK_ERROR(code) and caught by
// the status-returning operation around it, which calls Report() once (one line at
// LOG_ERROR_REPORT from this unit, carrying the raise site's code, line and unit) and returns
// its own failure value. Only CHookError is caught that way; allocation failures pass on.
#pragma once

#include <string>

#include "mailhook_export.h"

enum HookErrorCode : int {
  HOOK_ERR_GENERAL = 0,
  HOOK_ERR_INVALID_ARG = 1,
  HOOK_ERR_GROW = 3,
  HOOK_ERR_POOL_NOT_FOUND = 7,
  HOOK_ERR_RESOURCE_NOT_FOUND = 8,
  HOOK_ERR_RESOURCE_BUSY = 9,  // another receiver of this process holds the resource
  HOOK_ERR_CREATE_READER = 10,
};

class MAILHOOK_API CHookError {
 public:
  CHookError(int code, int line, const char16_t* file, bool raised);
  CHookError(const CHookError& other);
  CHookError& operator=(const CHookError& other);
  ~CHookError();

  void Report() const;

  int Code() const { return m_iCode; }
  int Line() const { return m_iLine; }
  const std::u16string& File() const { return m_strFile; }
  bool Raised() const { return m_bRaised; }

 private:
  int m_iCode;
  int m_iLine;
  std::u16string m_strFile;
  bool m_bRaised;
};

// Raise at a failure point; needs the unit's kHookUnit (see hook_Log.h).
#define HOOK_ERROR(code) throw CHookError((code), __LINE__, kHookUnit, true)
#define HOOK_ERROR_UNIT(unit, code) throw CHookError((code), __LINE__, (unit), true)
