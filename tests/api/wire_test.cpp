// The requests between a hook and the service, byte for byte, and what their decoders refuse.
#include <gtest/gtest.h>

#include "api/mh_Wire.h"
#include "support/test_support.h"

using namespace mailhook;

namespace {

template <typename Message>
std::vector<unsigned char> Bytes(const Message& m) {
  CIPCMsgBuffer b;
  Encode(m, b);
  return {b.GetData(), b.GetData() + b.GetSize()};
}

template <typename Message>
bool DecodeBytes(const std::vector<unsigned char>& bytes, Message& out) {
  CIPCMsgBuffer b;
  b.Load(bytes.data(), bytes.size());
  return Decode(b, out);
}

// "01 02000000 ..." (spaces for the reader) to bytes.
std::vector<unsigned char> Hex(std::string text) {
  std::erase(text, ' ');
  return mhtest::FromHex(text);
}

// Encodes m, checks the bytes, decodes them back to m; then every cut-off length and one byte
// too many must be refused and leave the target as it was. allowedCut: a length at which a
// shorter message of the same kind ends (none: 0).
template <typename Message>
void ExpectWire(const Message& m, const std::string& hex, size_t allowedCut = 0) {
  const std::vector<unsigned char> bytes = Bytes(m);
  EXPECT_EQ(bytes, Hex(hex));
  Message back{};
  ASSERT_TRUE(DecodeBytes(bytes, back));
  EXPECT_EQ(back, m);
  for (size_t n = 0; n < bytes.size(); ++n) {
    Message sentinel = m;
    const bool decoded = DecodeBytes({bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(n)}, sentinel);
    EXPECT_EQ(decoded, n == allowedCut && n > 0) << "cut to " << n << " of " << bytes.size() << " bytes";
    if (!decoded) {
      EXPECT_EQ(sentinel, m) << "cut to " << n;
    }
  }
  std::vector<unsigned char> longer = bytes;
  longer.push_back(0x01);
  EXPECT_FALSE(DecodeBytes(longer, back));
}

}  // namespace

TEST(Wire, EachRequestAndReplyIsTheseBytesAndNothingShorterOrLongerDecodes) {
  // Register pool 7: entries (pool 7, id 1, "a\u00e9") and (pool 7, id 2, ""), generation 9.
  ExpectWire(CRegisterRequest{7, {{7, 1, u"a\u00e9"}, {7, 2, u""}}, 9},
             "01 02000000  01 07000000  02 02000000"
             "  01 07000000  01 01000000  03 02000000 6100 e900"
             "  01 07000000  01 02000000  03 00000000"
             "  02 09000000");
  ExpectWire(CRegisterReply{kStatusOk, 3}, "01 00000000  01 03000000");
  // The generation may be left off: cut there, the request is a scan without one.
  ExpectWire(CScanRequest{1, 2, 3, 4, 5, 0x01020304u},
             "01 01000000  01 01000000  01 02000000 01 03000000 01 04000000  01 05000000  02 04030201", 30);
  ExpectWire(CScanRequest{-1, 10, 11, 12, -5, std::nullopt},
             "01 01000000  01 ffffffff  01 0a000000 01 0b000000 01 0c000000  01 fbffffff");
  ExpectWire(CScanReply{kStatusStale, kChangedContent | kInfected, -2},
             "01 f6ffffff  01 06000000  01 feffffff");
  ExpectWire(CFenceRequest{7, 0xfffffffeu, {1, -1}},
             "01 03000000  01 07000000  02 feffffff  02 02000000  01 01000000 01 ffffffff");
  ExpectWire(CFenceRequest{7, 3, {}}, "01 03000000  01 07000000  02 03000000  02 00000000");
  ExpectWire(CFenceReply{kStatusResourceBusy}, "01 f7ffffff  01 00000000");
}

TEST(Wire, RequestsOfAnotherKindOrWithCountsPastTheBoundAreRefused) {
  CIPCMsgBuffer b;
  Encode(CScanRequest{1, 2, 3, 4, 5, 6u}, b);
  CRegisterRequest registration;
  CFenceRequest fence;
  EXPECT_FALSE(Decode(b, registration));
  EXPECT_FALSE(Decode(b, fence));
  int32_t command = 0;
  ASSERT_TRUE(PeekCommand(b, command));
  EXPECT_EQ(command, kCmdScan);
  b.Clear();
  b << uint32_t{1};
  EXPECT_FALSE(PeekCommand(b, command));

  // A count one past the bound is refused before anything is made for it; the bound itself
  // decodes when the entries are there.
  for (uint32_t count : {kMaxWireEntries, kMaxWireEntries + 1}) {
    CIPCMsgBuffer ids;
    ids << static_cast<int32_t>(kCmdFence) << int32_t{1} << uint32_t{1} << count;
    for (uint32_t i = 0; i < count; ++i) ids << static_cast<int32_t>(i);
    EXPECT_EQ(Decode(ids, fence), count == kMaxWireEntries) << count;
    CIPCMsgBuffer claimed;
    claimed << static_cast<int32_t>(kCmdRegisterPool) << int32_t{1} << count << uint32_t{0};
    EXPECT_FALSE(Decode(claimed, registration)) << count;
  }
  EXPECT_EQ(fence.resources.size(), kMaxWireEntries);

  // A fence reply's second integer is always 0.
  CIPCMsgBuffer reply;
  reply << int32_t{0} << int32_t{1};
  CFenceReply fenced;
  EXPECT_FALSE(Decode(reply, fenced));
}
