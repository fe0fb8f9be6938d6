#include "api/mh_Wire.h"

#include <utility>

namespace mailhook {

namespace {

// Runs read over the whole buffer from its start; true when it took everything and nothing
// is left. The buffer's item reads throw CIPCError for a wrong item or one cut short.
template <typename Read>
bool Whole(const CIPCMsgBuffer& in, Read read) {
  in.Rewind();
  try {
    return read() && in.AtEnd();
  } catch (const CIPCError&) {
    return false;
  }
}

bool IsCommand(const CIPCMsgBuffer& in, Command expected) {
  int32_t command = 0;
  in >> command;
  return command == expected;
}

bool Entries(const CIPCMsgBuffer& in, std::vector<CRegisterEntry>& entries) {
  uint32_t count = 0;
  in >> count;
  if (count > kMaxWireEntries) return false;
  for (uint32_t i = 0; i < count; ++i) {
    CRegisterEntry e;
    OS::x_wstring path;
    in >> e.pool >> e.resource >> path;
    e.path = std::move(path);
    entries.push_back(std::move(e));
  }
  return true;
}

}  // namespace

void Encode(const CRegisterRequest& m, CIPCMsgBuffer& out) {
  out << static_cast<int32_t>(kCmdRegisterPool) << m.pool << static_cast<uint32_t>(m.entries.size());
  for (const CRegisterEntry& e : m.entries) out << e.pool << e.resource << OS::x_wstring(e.path);
  out << m.generation;
}

void Encode(const CRegisterReply& m, CIPCMsgBuffer& out) {
  out << m.status << m.adopted;
}

void Encode(const CScanRequest& m, CIPCMsgBuffer& out) {
  out << static_cast<int32_t>(kCmdScan) << m.pool << m.header << m.content << m.update << m.sequence;
  if (m.generation) out << *m.generation;
}

void Encode(const CScanReply& m, CIPCMsgBuffer& out) {
  out << m.status << m.flags << m.answer;
}

void Encode(const CFenceRequest& m, CIPCMsgBuffer& out) {
  out << static_cast<int32_t>(kCmdFence) << m.pool << m.generation
      << static_cast<uint32_t>(m.resources.size());
  for (int32_t id : m.resources) out << id;
}

void Encode(const CFenceReply& m, CIPCMsgBuffer& out) {
  out << m.status << int32_t{0};
}

bool Decode(const CIPCMsgBuffer& in, CRegisterRequest& m) {
  CRegisterRequest r;
  if (!Whole(in, [&] {
        if (!IsCommand(in, kCmdRegisterPool)) return false;
        in >> r.pool;
        return Entries(in, r.entries) && (in >> r.generation, true);
      }))
    return false;
  m = std::move(r);
  return true;
}

bool Decode(const CIPCMsgBuffer& in, CRegisterReply& m) {
  CRegisterReply r;
  if (!Whole(in, [&] { return in >> r.status >> r.adopted, true; })) return false;
  m = r;
  return true;
}

bool Decode(const CIPCMsgBuffer& in, CScanRequest& m) {
  CScanRequest r;
  if (!Whole(in, [&] {
        if (!IsCommand(in, kCmdScan)) return false;
        in >> r.pool >> r.header >> r.content >> r.update >> r.sequence;
        if (!in.AtEnd()) {
          uint32_t generation = 0;
          in >> generation;
          r.generation = generation;
        }
        return true;
      }))
    return false;
  m = r;
  return true;
}

bool Decode(const CIPCMsgBuffer& in, CScanReply& m) {
  CScanReply r;
  if (!Whole(in, [&] { return in >> r.status >> r.flags >> r.answer, true; })) return false;
  m = r;
  return true;
}

bool Decode(const CIPCMsgBuffer& in, CFenceRequest& m) {
  CFenceRequest r;
  if (!Whole(in, [&] {
        if (!IsCommand(in, kCmdFence)) return false;
        uint32_t count = 0;
        in >> r.pool >> r.generation >> count;
        if (count > kMaxWireEntries) return false;
        for (uint32_t i = 0; i < count; ++i) {
          int32_t id = 0;
          in >> id;
          r.resources.push_back(id);
        }
        return true;
      }))
    return false;
  m = std::move(r);
  return true;
}

bool Decode(const CIPCMsgBuffer& in, CFenceReply& m) {
  CFenceReply r;
  int32_t zero = 0;
  if (!Whole(in, [&] { return in >> r.status >> zero, zero == 0; })) return false;
  m = r;
  return true;
}

bool PeekCommand(const CIPCMsgBuffer& in, int32_t& command) {
  in.Rewind();
  try {
    in >> command;
  } catch (const CIPCError&) {
    return false;
  }
  return true;
}

}  // namespace mailhook
