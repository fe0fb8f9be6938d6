// The command messages between the hook and the master scanning service: the hook's command
// information (request) and the scan result (reply). Both sides use these classes and operators,
// so the item order written here is the contract between the two processes:
//
//   CCmdHookKetraInfo:       i32 m_iValue1, i32 m_iValue2, wstring m_strValue, i32 m_iValue3,
//                            u32 m_uValue, string list m_vecValues, map m_mapValues
//   CCmdHookKetraScanResult: i32 m_iValue1, map m_mapValues1, map m_mapValues3, map m_mapValues2
//                            (the third map before the second, on both sides)
//   map: u32 count, then per entry in ascending key order the key as a zero-terminated string
//        item and the value as u32 (so a key holding a zero unit arrives cut at that unit).
//
// Reading a map merges into the map already held: a received key overwrites its entry, other
// entries stay. The operators check nothing themselves: a CIPCError from the buffer (wrong item
// type, bytes run out) passes through and leaves the items read before it in the object.
//
// Direction follows the arrow: "buffer << msg" and "msg >> buffer" write; "buffer >> msg" and
// "msg << buffer" read. One thread at a time per object.
#pragma once

#include <cstdint>
#include <map>

#include "ipc/ipc_buffer.h"
#include "mailhook_export.h"
#include "os/os_string.h"

// Ordered by plain code-unit comparison (std::u16string's order), so keys differing only in case
// are distinct.
using HookValueMap = std::map<OS::x_wstring, uint32_t>;

class MAILHOOK_API CCmdHookKetraInfo : public CStreamable {
 public:
  CCmdHookKetraInfo();
  // No move operations: a move copies.
  CCmdHookKetraInfo(const CCmdHookKetraInfo& other);
  CCmdHookKetraInfo& operator=(const CCmdHookKetraInfo& other);
  ~CCmdHookKetraInfo() override;

  void operator<<(const CIPCMsgBuffer& buffer) override;
  void operator>>(CIPCMsgBuffer& buffer) const override;

  int32_t m_iValue1;
  int32_t m_iValue2;  // 0 until the caller sets it
  int32_t m_iValue3;
  HookValueMap m_mapValues;
  OS::x_wstring m_strValue;
  uint32_t m_uValue;
  CIPCStringList m_vecValues;
};

// Not a CStreamable and not meant as a base: its destructor is not virtual, hence final.
class MAILHOOK_API CCmdHookKetraScanResult final {
 public:
  CCmdHookKetraScanResult();
  CCmdHookKetraScanResult(const CCmdHookKetraScanResult& other);
  CCmdHookKetraScanResult& operator=(const CCmdHookKetraScanResult& other);
  // Takes the three maps and copies m_iValue1; the source keeps m_iValue1 and three empty maps.
  CCmdHookKetraScanResult(CCmdHookKetraScanResult&& other) noexcept;
  CCmdHookKetraScanResult& operator=(CCmdHookKetraScanResult&& other) noexcept;
  ~CCmdHookKetraScanResult();

  virtual void operator<<(const CIPCMsgBuffer& buffer);
  virtual void operator>>(CIPCMsgBuffer& buffer) const;

  int32_t m_iValue1;
  HookValueMap m_mapValues1;
  HookValueMap m_mapValues2;
  HookValueMap m_mapValues3;
};

MAILHOOK_API void operator<<(CIPCMsgBuffer& buffer, const CCmdHookKetraInfo& message);
MAILHOOK_API void operator>>(const CIPCMsgBuffer& buffer, CCmdHookKetraInfo& message);
MAILHOOK_API void operator<<(CIPCMsgBuffer& buffer, const CCmdHookKetraScanResult& message);
MAILHOOK_API void operator>>(const CIPCMsgBuffer& buffer, CCmdHookKetraScanResult& message);
