// The typed item buffer and the frame decoder: exact bytes, the codes of failed reads, and bounds
// that hostile counts and lengths cannot pass (arbitrary bytes are the fuzz targets' part).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "ipc/ipc_buffer.h"
#include "ipc/rpc_frame.h"
#include "ipc/rpc_test_util.h"
#include "support/test_support.h"

// The replacement pair below is malloc/free on both sides; GCC still flags every inlined delete
// of a "new" pointer as mismatched, anywhere in this file.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

// Records the largest single allocation while armed, so that a test can show a hostile count did
// not make a read allocate what the bytes cannot hold.
static std::atomic<bool> g_trackAllocations{false};
static std::atomic<size_t> g_largestAllocation{0};

void* operator new(size_t size) {
  if (g_trackAllocations && size > g_largestAllocation) g_largestAllocation = size;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, size_t) noexcept {
  std::free(p);
}

namespace {

// The CIPCError code of reading target from bytes (0 if none), after checking that the read
// position did not move.
template <typename T>
int ReadFailure(const std::vector<uint8_t>& bytes, T& target) {
  CIPCMsgBuffer b;
  b.Load(bytes.data(), bytes.size());
  int code = CodeOf<CIPCError>([&] { b >> target; });
  EXPECT_EQ(b.GetReadPos(), 0u);
  return code;
}

}  // namespace

TEST(IPCMsgBuffer, TypedItemsRoundTripWithTheirExactBytes) {
  CIPCMsgBuffer b(1024, false);
  const char16_t nonAscii[] = {0x00E9, 0xD83D, 0xDE00, 0xFFFF, 0};
  OS::x_wstring embeddedZero(u"a\0b", 3);
  CIPCStringList list{u"one", u"", OS::x_wstring(nonAscii)};
  b << int32_t(-2) << u"AB" << uint32_t(0xFFFFFFFF) << CIPCStringList{u"C"} << int32_t(INT32_MIN)
    << static_cast<const char16_t*>(nullptr) << embeddedZero << list;

  // The first items pin the encoding: tag, little-endian value; tag, unit count, units; tag,
  // string count, then each string's count and units.
  const std::vector<uint8_t> head = mhtest::FromHex(
      "01feffffff030200000041004200"
      "02ffffffff0401000000010000004300");
  ASSERT_GE(b.GetSize(), head.size());
  EXPECT_EQ(std::vector<uint8_t>(b.GetData(), b.GetData() + head.size()), head);

  int32_t i = 0, imin = 0;
  uint32_t u = 0;
  OS::x_wstring s1, s2 = u"stale", s3;
  CIPCStringList l1, l2{u"stale"};
  b >> i >> s1 >> u >> l1 >> imin >> s2 >> s3 >> l2;
  EXPECT_EQ(std::make_tuple(i, s1, u, imin),
            std::make_tuple(-2, OS::x_wstring(u"AB"), 0xFFFFFFFFu, INT32_MIN));
  EXPECT_EQ(l1, CIPCStringList{u"C"});
  EXPECT_EQ(s2, u"");  // a null pointer is an empty string
  EXPECT_EQ(s3, embeddedZero);
  EXPECT_EQ(l2, list);  // the list read replaces what was there
  EXPECT_TRUE(b.AtEnd());

  // Failed reads give their code and leave position and target as they were.
  uint32_t kept = 77;
  EXPECT_EQ(ReadFailure({0x01, 0x05, 0x00, 0x00, 0x00}, kept), CIPCError::TYPE_MISMATCH);
  EXPECT_EQ(kept, 77u);
  EXPECT_EQ(ReadFailure({0x02, 0x05, 0x00, 0x00}, kept), CIPCError::PAST_END);
  EXPECT_EQ(ReadFailure({0x03, 0x02, 0x00, 0x00, 0x00, 0x41, 0x00}, s1), CIPCError::BAD_COUNT);
  EXPECT_EQ(ReadFailure({0x04, 0x01, 0x00, 0x00}, l1), CIPCError::PAST_END);
  EXPECT_EQ(CodeOf<CIPCError>([] { CIPCMsgBuffer().PeekTag(); }), CIPCError::PAST_END);
}

TEST(IPCMsgBuffer, HostileCountsFailBeforeAnythingIsAllocated) {
  // A string claiming 0xFFFFFFFF units, a list claiming 0x7FFFFFFF strings, a list whose count
  // fits the bytes but whose strings do not, and 2 KiB holding a list of 500 whose first lies.
  const auto hugeString = mhtest::FromHex("03ffffffff4100"), hugeList = mhtest::FromHex("04ffffff7f00000000"),
             listOfHugeString = mhtest::FromHex("0401000000ffffff0f4100");
  auto liarList = mhtest::FromHex("04f4010000f0ffffff");
  liarList.resize(2048);
  OS::x_wstring s = u"kept";
  CIPCStringList l{u"kept"};
  g_largestAllocation = 0;
  g_trackAllocations = true;
  int codes[] = {ReadFailure(hugeString, s), ReadFailure(hugeList, l), ReadFailure(listOfHugeString, l),
                 ReadFailure(liarList, l)};
  g_trackAllocations = false;
  for (int code : codes) EXPECT_EQ(code, CIPCError::BAD_COUNT);
  EXPECT_EQ(s, u"kept");
  EXPECT_EQ(l, CIPCStringList{u"kept"});
  // Copies of the input and the exception's text; never more than the largest input.
  EXPECT_LE(g_largestAllocation.load(), liarList.size());
}

TEST(RpcFrameDecoder, CutsFramesInAnyPiecesAndRefusesWhatIsNotAFrame) {
  std::vector<uint8_t> stream;
  for (uint32_t len : {5u, 0u, 3u}) {
    uint8_t header[kRpcFrameHeaderSize];
    EncodeRpcFrameHeader(header, len == 0 ? RPC_FRAME_ERROR : RPC_FRAME_REQUEST, len);
    stream.insert(stream.end(), header, header + sizeof(header));
    for (uint32_t i = 0; i < len; ++i) stream.push_back(static_cast<uint8_t>(len * 10 + i));
  }
  // The header layout: magic "MHRP", kind, length, little-endian.
  EXPECT_EQ(std::vector<uint8_t>(stream.begin(), stream.begin() + 12),
            (std::vector<uint8_t>{0x4D, 0x48, 0x52, 0x50, 1, 0, 0, 0, 5, 0, 0, 0}));
  for (size_t piece : {size_t{1}, size_t{7}, stream.size()}) {
    CRpcFrameDecoder d;
    std::vector<std::vector<uint8_t>> frames;
    std::vector<RpcFrameKind> kinds;
    for (size_t pos = 0; pos < stream.size();) {
      pos += d.Feed(stream.data() + pos, std::min(piece, stream.size() - pos));
      EXPECT_FALSE(d.Failed());
      if (d.GetStatus() == CRpcFrameDecoder::FRAME_READY) {
        EXPECT_EQ(d.Feed(stream.data() + pos, stream.size() - pos), 0u);  // held until taken
        kinds.push_back(d.GetKind());
        frames.push_back(d.TakePayload());
      }
    }
    ASSERT_EQ(frames.size(), 3u) << "piece " << piece;
    EXPECT_EQ(frames[0], (std::vector<uint8_t>{50, 51, 52, 53, 54}));
    EXPECT_TRUE(frames[1].empty());
    EXPECT_EQ(kinds[1], RPC_FRAME_ERROR);
    EXPECT_EQ(frames[2], (std::vector<uint8_t>{30, 31, 32}));
    EXPECT_FALSE(d.InFrame());
  }

  const uint8_t garbage[] = {'G', 'E', 'T', ' ', '/', ' ', 'H', 'T', 'T', 'P'};
  CRpcFrameDecoder g;
  g.Feed(garbage, 4);  // known bad from the magic alone
  EXPECT_EQ(g.GetStatus(), CRpcFrameDecoder::BAD_MAGIC);
  EXPECT_EQ(g.Feed(garbage, sizeof(garbage)), 0u);
  uint8_t header[kRpcFrameHeaderSize];
  for (uint32_t length : {100u, 101u}) {
    EncodeRpcFrameHeader(header, RPC_FRAME_REPLY, length);
    CRpcFrameDecoder limited(100);
    limited.Feed(header, sizeof(header));
    EXPECT_EQ(limited.GetStatus(), length > 100 ? CRpcFrameDecoder::TOO_LARGE : CRpcFrameDecoder::NEED_MORE);
  }
  EncodeRpcFrameHeader(header, static_cast<RpcFrameKind>(9), 1);
  CRpcFrameDecoder k;
  k.Feed(header, sizeof(header));
  EXPECT_EQ(k.GetStatus(), CRpcFrameDecoder::BAD_KIND);

  // A frame claiming the largest payload grows only with what arrives (whether fed or received
  // straight into the payload).
  EncodeRpcFrameHeader(header, RPC_FRAME_REQUEST, kRpcMaxFramePayload);
  CRpcFrameDecoder t;
  size_t room = 0;
  g_largestAllocation = 0;
  g_trackAllocations = true;
  t.Feed(header, sizeof(header));
  t.Feed(garbage, 3);
  g_trackAllocations = false;
  EXPECT_LE(g_largestAllocation.load(), 64u * 1024);
  ASSERT_NE(t.PayloadSpace(room), nullptr);
  t.CommitPayload(0);
  EXPECT_EQ(room, 64u * 1024);
  EXPECT_EQ(t.GetStatus(), CRpcFrameDecoder::NEED_MORE);
}
