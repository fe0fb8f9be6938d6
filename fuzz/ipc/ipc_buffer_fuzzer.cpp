// Arbitrary bytes as a received IPC buffer: both command messages read from it, then a sequence
// of typed reads chosen by the input. Checks that every failure is a CIPCError that leaves the
// read position where it was, and that whatever reads back writes and reads back the same.
#include <cstddef>
#include <cstdint>

#include "ipc/ipc_buffer.h"
#include "rpc/hook_CmdHookKetra.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

// Map keys travel as zero-terminated strings, so a key holding a zero unit is cut there on the
// way out; only maps without such keys are expected to come back unchanged.
bool KeysSurvive(const HookValueMap& map) {
  for (const auto& entry : map)
    if (entry.first.find(u'\0') != OS::x_wstring::npos) return false;
  return true;
}

void ReadInfo(const CIPCMsgBuffer& b) {
  CCmdHookKetraInfo info;
  try {
    b >> info;
  } catch (const CIPCError&) {
    return;
  }
  if (!KeysSurvive(info.m_mapValues)) return;
  CIPCMsgBuffer again;
  again << info;
  CCmdHookKetraInfo back;
  again >> back;
  Check(again.AtEnd());
  Check(back.m_iValue1 == info.m_iValue1 && back.m_iValue2 == info.m_iValue2 &&
        back.m_iValue3 == info.m_iValue3 && back.m_strValue == info.m_strValue &&
        back.m_uValue == info.m_uValue && back.m_vecValues == info.m_vecValues &&
        back.m_mapValues == info.m_mapValues);
}

void ReadResult(const CIPCMsgBuffer& b) {
  CCmdHookKetraScanResult result;
  try {
    b >> result;
  } catch (const CIPCError&) {
    return;
  }
  if (!KeysSurvive(result.m_mapValues1) || !KeysSurvive(result.m_mapValues2) ||
      !KeysSurvive(result.m_mapValues3))
    return;
  CIPCMsgBuffer again;
  again << result;
  CCmdHookKetraScanResult back;
  again >> back;
  Check(again.AtEnd());
  Check(back.m_iValue1 == result.m_iValue1 && back.m_mapValues1 == result.m_mapValues1 &&
        back.m_mapValues2 == result.m_mapValues2 && back.m_mapValues3 == result.m_mapValues3);
}

// One typed read; on failure the position must not have moved.
void TypedRead(const CIPCMsgBuffer& b, uint8_t op) {
  size_t before = b.GetReadPos();
  try {
    switch (op % 5) {
      case 0: {
        int32_t v;
        b >> v;
        break;
      }
      case 1: {
        uint32_t v;
        b >> v;
        break;
      }
      case 2: {
        OS::x_wstring v;
        b >> v;
        Check(v.size() * 2 < b.GetSize());
        break;
      }
      case 3: {
        CIPCStringList v;
        b >> v;
        Check(v.size() * 4 < b.GetSize());
        break;
      }
      default:
        b.PeekTag();
        break;
    }
    Check(b.GetReadPos() > before || op % 5 == 4);
  } catch (const CIPCError&) {
    Check(b.GetReadPos() == before);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CIPCMsgBuffer whole;
  whole.Load(data, size);
  ReadInfo(whole);
  whole.Rewind();
  ReadResult(whole);

  // First byte: how many of the next bytes choose reads; the rest is the buffer they read.
  if (size == 0) return 0;
  size_t ops = std::min<size_t>(data[0] % 32, size - 1);
  CIPCMsgBuffer b;
  b.Load(data + 1 + ops, size - 1 - ops);
  for (size_t i = 0; i < ops; ++i) TypedRead(b, data[1 + i]);
  return 0;
}
