// The library's trace: every line goes through DBG::DebugLogEx with this library's module
// handle, a level below, the calling unit's file name and the source line of the call.
//
// Each source unit names itself once, before using the macros:
//   static constexpr const char16_t kHookUnit[] = u"hook_MemMap.cpp";
#pragma once

#include "dbg/dbg_log.h"
#include "mailhook_export.h"
#include "win32/win32.h"

enum HookLogLevel : int {
  LOG_TRACE_DETAIL = 0x0102,
  LOG_TRACE_ENTER = 0x0110,
  LOG_TRACE_EXIT = 0x0111,
  LOG_TRACE_RESOURCE = 0x0122,
  LOG_ERROR = 0x1001,
  LOG_ERROR_REPORT = 0x1003,
  LOG_ERROR_MAPPING = 0x1004,
};

// The handle the log library tells this library's lines apart by.
MAILHOOK_API HINSTANCE HookModule();

#if defined(MAILHOOK_NO_TRACE)
// Trace levels compile to nothing; failure lines stay.
#define HOOK_LOG_COMPILED(level) ((level) >= 0x1000)
#else
#define HOOK_LOG_COMPILED(level) true
#endif

#define HOOK_LOG_UNIT(unit, level, ...)                                      \
  do {                                                                       \
    if (HOOK_LOG_COMPILED(level) && DBG::MayLog(level))                      \
      DBG::DebugLogEx(HookModule(), (level), (unit), __LINE__, __VA_ARGS__); \
  } while (0)

#define HOOK_LOG(level, ...) HOOK_LOG_UNIT(kHookUnit, level, __VA_ARGS__)
