#include "foundation/hook_HookError.h"

#include "foundation/hook_Log.h"

static constexpr const char16_t kHookUnit[] = u"hook_HookError.cpp";

CHookError::CHookError(int code, int line, const char16_t* file, bool raised)
    : m_iCode(code), m_iLine(line), m_strFile(file ? file : u""), m_bRaised(raised) {}

CHookError::CHookError(const CHookError& other) = default;
CHookError& CHookError::operator=(const CHookError& other) = default;
CHookError::~CHookError() = default;

void CHookError::Report() const {
  HOOK_LOG(LOG_ERROR_REPORT, u"HOOK_ERROR: %d (Line: %d, File: %s)", m_iCode, m_iLine,
           m_strFile.c_str());
}
