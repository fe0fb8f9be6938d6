#include "rpc/hook_CmdHookKetra.h"

#include <utility>

namespace {

void WriteMap(CIPCMsgBuffer& buffer, const HookValueMap& map) {
  buffer << static_cast<uint32_t>(map.size());
  // Keys go out through the pointer-string write; the reader takes them back as x_wstring.
  for (const auto& [key, value] : map) buffer << key.c_str() << value;
}

void ReadMap(const CIPCMsgBuffer& buffer, HookValueMap& map) {
  uint32_t count = 0;
  buffer >> count;
  // No reserve from the count: each entry is read (and checked) before it is stored.
  for (uint32_t i = 0; i < count; ++i) {
    OS::x_wstring key;
    uint32_t value = 0;
    buffer >> key >> value;
    map[key] = value;
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// CCmdHookKetraInfo

CCmdHookKetraInfo::CCmdHookKetraInfo() : m_iValue1(1), m_iValue2(0), m_iValue3(0), m_uValue(0) {}

CCmdHookKetraInfo::CCmdHookKetraInfo(const CCmdHookKetraInfo& other) = default;

CCmdHookKetraInfo& CCmdHookKetraInfo::operator=(const CCmdHookKetraInfo& other) = default;

CCmdHookKetraInfo::~CCmdHookKetraInfo() = default;

void CCmdHookKetraInfo::operator<<(const CIPCMsgBuffer& buffer) {
  buffer >> m_iValue1 >> m_iValue2 >> m_strValue >> m_iValue3 >> m_uValue >> m_vecValues;
  ReadMap(buffer, m_mapValues);
}

void CCmdHookKetraInfo::operator>>(CIPCMsgBuffer& buffer) const {
  buffer << m_iValue1 << m_iValue2 << m_strValue << m_iValue3 << m_uValue << m_vecValues;
  WriteMap(buffer, m_mapValues);
}

void operator<<(CIPCMsgBuffer& buffer, const CCmdHookKetraInfo& message) {
  message >> buffer;
}

void operator>>(const CIPCMsgBuffer& buffer, CCmdHookKetraInfo& message) {
  message << buffer;
}

// ---------------------------------------------------------------------------------------------
// CCmdHookKetraScanResult

CCmdHookKetraScanResult::CCmdHookKetraScanResult() : m_iValue1(1) {}

CCmdHookKetraScanResult::CCmdHookKetraScanResult(const CCmdHookKetraScanResult& other) = default;

CCmdHookKetraScanResult& CCmdHookKetraScanResult::operator=(const CCmdHookKetraScanResult& other) = default;

CCmdHookKetraScanResult::CCmdHookKetraScanResult(CCmdHookKetraScanResult&& other) noexcept
    : m_iValue1(other.m_iValue1),
      m_mapValues1(std::move(other.m_mapValues1)),
      m_mapValues2(std::move(other.m_mapValues2)),
      m_mapValues3(std::move(other.m_mapValues3)) {
  // A moved-from std::map is only "valid but unspecified"; the source must read as empty.
  other.m_mapValues1.clear();
  other.m_mapValues2.clear();
  other.m_mapValues3.clear();
}

CCmdHookKetraScanResult& CCmdHookKetraScanResult::operator=(CCmdHookKetraScanResult&& other) noexcept {
  if (this != &other) {
    m_iValue1 = other.m_iValue1;
    m_mapValues1 = std::move(other.m_mapValues1);
    m_mapValues2 = std::move(other.m_mapValues2);
    m_mapValues3 = std::move(other.m_mapValues3);
    other.m_mapValues1.clear();
    other.m_mapValues2.clear();
    other.m_mapValues3.clear();
  }
  return *this;
}

CCmdHookKetraScanResult::~CCmdHookKetraScanResult() = default;

void CCmdHookKetraScanResult::operator<<(const CIPCMsgBuffer& buffer) {
  buffer >> m_iValue1;
  ReadMap(buffer, m_mapValues1);
  ReadMap(buffer, m_mapValues3);
  ReadMap(buffer, m_mapValues2);
}

void CCmdHookKetraScanResult::operator>>(CIPCMsgBuffer& buffer) const {
  buffer << m_iValue1;
  WriteMap(buffer, m_mapValues1);
  WriteMap(buffer, m_mapValues3);
  WriteMap(buffer, m_mapValues2);
}

void operator<<(CIPCMsgBuffer& buffer, const CCmdHookKetraScanResult& message) {
  message >> buffer;
}

void operator>>(const CIPCMsgBuffer& buffer, CCmdHookKetraScanResult& message) {
  message << buffer;
}
