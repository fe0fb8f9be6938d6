#include <gtest/gtest.h>

#include "dbg/dbg_log.h"
#include "foundation/hook_Log.h"
#include "rpc/hook_CmdHookKetra.h"
#include "rpc/hook_RpcCommunicationResource.h"

namespace {

// The items of a buffer read one by one in the order and with the types the peer must use.
struct InfoItems {
  int32_t v1 = 0, v2 = 0, v3 = 0;
  OS::x_wstring str;
  uint32_t u = 0;
  CIPCStringList vec;
  std::vector<std::pair<OS::x_wstring, uint32_t>> map;
};

std::vector<std::pair<OS::x_wstring, uint32_t>> ReadRawMap(const CIPCMsgBuffer& b) {
  uint32_t n = 0;
  b >> n;
  std::vector<std::pair<OS::x_wstring, uint32_t>> out(n);
  for (auto& [k, v] : out) b >> k >> v;
  return out;
}

InfoItems ReadRawInfo(const CIPCMsgBuffer& b) {
  InfoItems it;
  b >> it.v1 >> it.v2 >> it.str >> it.v3 >> it.u >> it.vec;
  it.map = ReadRawMap(b);
  return it;
}

std::vector<uint8_t> Bytes(const CIPCMsgBuffer& b) {
  return {b.GetData(), b.GetData() + b.GetSize()};
}

using Pairs = std::vector<std::pair<OS::x_wstring, uint32_t>>;

}  // namespace

TEST(CmdHookKetraInfo, DefaultsAndTheWireOrderOfEveryItem) {
  CCmdHookKetraInfo d;
  EXPECT_EQ(d.m_iValue1, 1);
  EXPECT_EQ(d.m_iValue2, 0);
  EXPECT_EQ(d.m_iValue3, 0);
  EXPECT_EQ(d.m_uValue, 0u);
  EXPECT_TRUE(d.m_mapValues.empty() && d.m_strValue.empty() && d.m_vecValues.empty());

  CCmdHookKetraInfo info;
  info.m_iValue1 = 11;
  info.m_iValue2 = -22;
  info.m_iValue3 = 33;
  info.m_strValue = u"subject";
  info.m_uValue = 0xFFFFFFF0u;
  info.m_vecValues = {u"b", u"a"};
  info.m_mapValues[u"zeta"] = 2;  // inserted in descending order, and differing only in case
  info.m_mapValues[u"Zeta"] = 3;
  info.m_mapValues[u"alpha"] = 1;

  CIPCMsgBuffer b;
  b << info;
  InfoItems it = ReadRawInfo(b);
  EXPECT_TRUE(b.AtEnd());
  EXPECT_EQ(it.v1, 11);
  EXPECT_EQ(it.v2, -22);
  EXPECT_EQ(it.str, u"subject");
  EXPECT_EQ(it.v3, 33);
  EXPECT_EQ(it.u, 0xFFFFFFF0u);
  EXPECT_EQ(it.vec, (CIPCStringList{u"b", u"a"}));
  EXPECT_EQ(it.map, (Pairs{{u"Zeta", 3}, {u"alpha", 1}, {u"zeta", 2}}));  // ascending code units

  // The member write is the same as the free one; the free and member reads take it back.
  CIPCMsgBuffer viaMember;
  info >> viaMember;
  EXPECT_EQ(Bytes(viaMember), Bytes(b));
  CCmdHookKetraInfo back, back2;
  b.Rewind();
  b >> back;
  back2 << viaMember;
  for (const CCmdHookKetraInfo* r : {&back, &back2}) {
    EXPECT_EQ(r->m_iValue1, 11);
    EXPECT_EQ(r->m_iValue2, -22);
    EXPECT_EQ(r->m_iValue3, 33);
    EXPECT_EQ(r->m_strValue, u"subject");
    EXPECT_EQ(r->m_uValue, 0xFFFFFFF0u);
    EXPECT_EQ(r->m_vecValues, info.m_vecValues);
    EXPECT_EQ(r->m_mapValues, info.m_mapValues);
  }
}

TEST(CmdHookKetraInfo, AnInterruptedReadKeepsWhatItRead) {
  // Cut after the string: the items before the cut are in, the rest keep their values.
  CIPCMsgBuffer full;
  CCmdHookKetraInfo src;
  src.m_iValue1 = 7;
  src.m_iValue2 = 8;
  src.m_strValue = u"s";
  src.m_iValue3 = 9;
  full << src;
  CIPCMsgBuffer cut;
  cut.Load(full.GetData(), 5 + 5 + 1 + 4 + 2);
  CCmdHookKetraInfo target;
  target.m_iValue3 = 42;
  EXPECT_THROW(cut >> target, CIPCError);
  EXPECT_EQ(target.m_iValue1, 7);
  EXPECT_EQ(target.m_iValue2, 8);
  EXPECT_EQ(target.m_strValue, u"s");
  EXPECT_EQ(target.m_iValue3, 42);
}

TEST(CmdHookKetraScanResult, DefaultWireFormAndMapsGoFirstThirdSecond) {
  CCmdHookKetraScanResult d;
  CIPCMsgBuffer b;
  b << d;
  // One signed item 1, then three unsigned items 0.
  EXPECT_EQ(Bytes(b), (std::vector<uint8_t>{1, 1, 0, 0, 0, 2, 0, 0, 0, 0, 2, 0, 0, 0, 0, 2, 0, 0, 0, 0}));
  CCmdHookKetraScanResult fresh;
  fresh.m_iValue1 = 9;
  b >> fresh;
  EXPECT_EQ(fresh.m_iValue1, 1);
  EXPECT_TRUE(fresh.m_mapValues1.empty() && fresh.m_mapValues2.empty() && fresh.m_mapValues3.empty());

  CCmdHookKetraScanResult r;
  r.m_iValue1 = -4;
  r.m_mapValues1 = {{u"one", 1}};
  r.m_mapValues2 = {{u"two", 2}, {u"deux", 22}};
  r.m_mapValues3 = {{u"three", 3}};
  CIPCMsgBuffer wire;
  r >> wire;
  int32_t v1 = 0;
  wire >> v1;
  EXPECT_EQ(v1, -4);
  EXPECT_EQ(ReadRawMap(wire), (Pairs{{u"one", 1}}));
  EXPECT_EQ(ReadRawMap(wire), (Pairs{{u"three", 3}}));
  EXPECT_EQ(ReadRawMap(wire), (Pairs{{u"deux", 22}, {u"two", 2}}));
  EXPECT_TRUE(wire.AtEnd());

  wire.Rewind();
  CCmdHookKetraScanResult back;
  back << wire;
  EXPECT_EQ(back.m_iValue1, -4);
  EXPECT_EQ(back.m_mapValues1, r.m_mapValues1);
  EXPECT_EQ(back.m_mapValues2, r.m_mapValues2);
  EXPECT_EQ(back.m_mapValues3, r.m_mapValues3);
}

TEST(CmdHookKetraScanResult, ReadMergesIntoTheMapsItHolds) {
  CCmdHookKetraScanResult sent;
  sent.m_mapValues1 = {{u"same", 10}, {u"new", 11}};
  CIPCMsgBuffer b;
  b << sent;
  CCmdHookKetraScanResult held;
  held.m_mapValues1 = {{u"same", 1}, {u"kept", 2}};
  held.m_mapValues2 = {{u"other", 3}};
  b >> held;
  EXPECT_EQ(held.m_mapValues1, (HookValueMap{{u"kept", 2}, {u"new", 11}, {u"same", 10}}));
  EXPECT_EQ(held.m_mapValues2, (HookValueMap{{u"other", 3}}));
}

// Copies own their maps and strings; moves leave the source's maps empty (the hook reuses it);
// a copied link keeps the ids but never the connection, which only one object may close.
TEST(CmdHookKetra, CopiesAreDeepMovesEmptyTheSourceAndLinksCopyNoConnection) {
  CCmdHookKetraInfo a;
  a.m_mapValues[u"k"] = 1;
  CCmdHookKetraInfo b(a);
  b.m_mapValues[u"k"] = 2;
  a = b;
  b.m_mapValues[u"k"] = 3;
  EXPECT_EQ(a.m_mapValues[u"k"], 2u);

  CCmdHookKetraScanResult held;
  held.m_iValue1 = 6;
  held.m_mapValues1 = {{u"t", 1}};
  held.m_mapValues3 = {{u"u", 2}};
  CCmdHookKetraScanResult copy(held), assigned;
  assigned = copy;
  CCmdHookKetraScanResult moved(std::move(held));
  EXPECT_EQ(moved.m_iValue1, 6);
  EXPECT_EQ(moved.m_mapValues3.size(), 1u);
  EXPECT_TRUE(held.m_mapValues1.empty() && held.m_mapValues3.empty());
  assigned = std::move(moved);
  EXPECT_EQ(assigned.m_mapValues1, copy.m_mapValues1);
  EXPECT_TRUE(moved.m_mapValues1.empty() && moved.m_mapValues3.empty());

  CRpcCommunicationResource link(7, 9), other;
  EXPECT_EQ(link.Init(3, 4), 0);
  CRpcCommunicationResource copied(link);
  other = copied;
  EXPECT_EQ(other.GetCommandId(), 3);
  EXPECT_EQ(other.GetInitArg2(), 4);
  EXPECT_FALSE(other.IsConnected());
}

TEST(RpcCommunicationResource, ARequestWithoutConnectRaisesNotConnected) {
  CRpcCommunicationResource link(7, 9);
  EXPECT_FALSE(link.IsConnected());
  CRpcCommunicationResource::CRpcIPCData request, reply;
  try {
    link.SendRequest(request, reply);
    FAIL() << "a request without Connect went through";
  } catch (const CRPCError& e) {
    EXPECT_EQ(e.GetCode(), CRPCError::NOT_CONNECTED);
  }
  CIPCMsgBuffer req, rep;
  EXPECT_THROW(link.SendRequest(req, rep), CRPCError);
}
