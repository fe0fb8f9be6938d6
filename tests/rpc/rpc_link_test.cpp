// The command messages' items as a peer reads them, which a round trip through the same code
// cannot show.
#include <tuple>

#include <gtest/gtest.h>

#include "ipc/rpc_test_util.h"
#include "rpc/hook_CmdHookKetra.h"

namespace {

using Pairs = std::vector<std::pair<OS::x_wstring, uint32_t>>;

Pairs ReadRawMap(const CIPCMsgBuffer& b) {
  uint32_t n = 0;
  b >> n;
  Pairs out(n);
  for (auto& [k, v] : out) b >> k >> v;
  return out;
}

}  // namespace

TEST(CmdHookKetraInfo, ItemsGoInWireOrderAndAnInterruptedReadKeepsWhatItRead) {
  CCmdHookKetraInfo info;
  std::tie(info.m_iValue1, info.m_iValue2, info.m_iValue3, info.m_strValue, info.m_uValue) =
      std::make_tuple(11, -22, 33, u"subject", 0xFFFFFFF0u);
  info.m_vecValues = {u"b", u"a"};
  info.m_mapValues = {{u"zeta", 2}, {u"Zeta", 3}, {u"alpha", 1}};
  CIPCMsgBuffer b;
  b << info;
  int32_t v1 = 0, v2 = 0, v3 = 0;
  OS::x_wstring s;
  uint32_t u = 0;
  CIPCStringList vec;
  b >> v1 >> v2 >> s >> v3 >> u >> vec;
  EXPECT_EQ(std::make_tuple(v1, v2, s, v3, u, vec),
            std::make_tuple(11, -22, OS::x_wstring(u"subject"), 33, 0xFFFFFFF0u, CIPCStringList{u"b", u"a"}));
  EXPECT_EQ(ReadRawMap(b), (Pairs{{u"Zeta", 3}, {u"alpha", 1}, {u"zeta", 2}}));  // by code unit
  EXPECT_TRUE(b.AtEnd());
  CCmdHookKetraInfo back;
  b.Rewind();
  b >> back;
  EXPECT_EQ(back.m_mapValues, info.m_mapValues);

  // Cut after the string: the items before the cut are in, the rest keep their values.
  CIPCMsgBuffer cut;
  cut.Load(b.GetData(), 5 + 5 + 5 + 2 * 7);
  CCmdHookKetraInfo target;
  target.m_iValue3 = 42;
  EXPECT_THROW(cut >> target, CIPCError);
  EXPECT_EQ(std::tie(target.m_iValue1, target.m_iValue2, target.m_strValue, target.m_iValue3),
            std::make_tuple(11, -22, OS::x_wstring(u"subject"), 42));
}

TEST(CmdHookKetraScanResult, DefaultBytesMapOrderAndAReadMergesIntoHeldMaps) {
  CIPCMsgBuffer d;
  d << CCmdHookKetraScanResult();
  // One signed item 1, then three unsigned items 0.
  EXPECT_EQ(std::vector<uint8_t>(d.GetData(), d.GetData() + d.GetSize()),
            (std::vector<uint8_t>{1, 1, 0, 0, 0, 2, 0, 0, 0, 0, 2, 0, 0, 0, 0, 2, 0, 0, 0, 0}));

  CCmdHookKetraScanResult r;
  r.m_iValue1 = -4;
  r.m_mapValues1 = {{u"same", 10}, {u"new", 11}};
  r.m_mapValues2 = {{u"two", 2}};
  r.m_mapValues3 = {{u"three", 3}};
  CIPCMsgBuffer wire;
  r >> wire;
  int32_t v1 = 0;
  wire >> v1;
  EXPECT_EQ(v1, -4);
  EXPECT_EQ(ReadRawMap(wire), (Pairs{{u"new", 11}, {u"same", 10}}));  // first, third, second
  EXPECT_EQ(ReadRawMap(wire), (Pairs{{u"three", 3}}));
  EXPECT_EQ(ReadRawMap(wire), (Pairs{{u"two", 2}}));

  wire.Rewind();
  CCmdHookKetraScanResult held;
  held.m_mapValues1 = {{u"same", 1}, {u"kept", 2}};
  held.m_mapValues3 = {{u"other", 3}};
  wire >> held;
  EXPECT_EQ(held.m_mapValues1, (HookValueMap{{u"kept", 2}, {u"new", 11}, {u"same", 10}}));
  EXPECT_EQ(held.m_mapValues2, r.m_mapValues2);
  EXPECT_EQ(held.m_mapValues3, (HookValueMap{{u"other", 3}, {u"three", 3}}));
}
