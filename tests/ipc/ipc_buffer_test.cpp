#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "ipc/ipc_buffer.h"
#include "ipc/rpc_frame.h"

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

std::vector<uint8_t> Bytes(const CIPCMsgBuffer& b) {
  return {b.GetData(), b.GetData() + b.GetSize()};
}

CIPCMsgBuffer FromBytes(const std::vector<uint8_t>& bytes) {
  CIPCMsgBuffer b;
  b.Load(bytes.data(), bytes.size());
  return b;
}

// Runs read on a buffer loaded with bytes and returns the CIPCError code it raised (0 if none),
// after checking the read position did not move.
template <typename T>
int ReadFailure(const std::vector<uint8_t>& bytes, T& target) {
  CIPCMsgBuffer b = FromBytes(bytes);
  try {
    b >> target;
  } catch (const CIPCError& e) {
    EXPECT_EQ(b.GetReadPos(), 0u);
    return e.GetCode();
  }
  return 0;
}

}  // namespace

TEST(IPCMsgBuffer, TypedItemsRoundTripWithTheirExactBytes) {
  CIPCMsgBuffer b(1024, false);
  const char16_t nonAscii[] = {0x00E9, 0xD83D, 0xDE00, 0xFFFF, 0};
  OS::x_wstring embeddedZero(u"a\0b", 3);
  CIPCStringList list{u"one", u"", OS::x_wstring(nonAscii)};
  b << int32_t(-2) << u"AB" << uint32_t(0xFFFFFFFF) << int32_t(INT32_MIN) << nonAscii
    << static_cast<const char16_t*>(nullptr) << embeddedZero << list << CIPCStringList{};

  // The first two items pin the encoding: tag, little-endian value; tag, unit count, units.
  std::vector<uint8_t> head = {0x01, 0xFE, 0xFF, 0xFF, 0xFF, 0x03, 0x02,
                               0x00, 0x00, 0x00, 0x41, 0x00, 0x42, 0x00};
  ASSERT_GE(b.GetSize(), head.size());
  EXPECT_EQ(std::vector<uint8_t>(b.GetData(), b.GetData() + head.size()), head);

  int32_t i = 0, imin = 0;
  uint32_t u = 0;
  OS::x_wstring s1, s2, s3 = u"stale", s4;
  CIPCStringList l1{u"stale"}, l2{u"stale"};
  EXPECT_EQ(b.PeekTag(), CIPCMsgBuffer::TAG_INT32);
  b >> i >> s1 >> u >> imin >> s2 >> s3 >> s4 >> l1 >> l2;
  EXPECT_EQ(i, -2);
  EXPECT_EQ(s1, u"AB");
  EXPECT_EQ(u, 0xFFFFFFFFu);
  EXPECT_EQ(imin, INT32_MIN);
  EXPECT_EQ(s2, OS::x_wstring(nonAscii));
  EXPECT_EQ(s3, u"");  // a null pointer is an empty string
  EXPECT_EQ(s4, embeddedZero);
  EXPECT_EQ(l1, list);  // the list read replaces what was there
  EXPECT_TRUE(l2.empty());
  EXPECT_TRUE(b.AtEnd());

  // The pointer write and the x_wstring write are one encoding.
  CIPCMsgBuffer byPointer, byString;
  byPointer << u"key";
  byString << OS::x_wstring(u"key");
  EXPECT_EQ(Bytes(byPointer), Bytes(byString));

  // Rewind reads again from the start; Load of the same bytes reads the same items.
  b.Rewind();
  CIPCMsgBuffer copy = FromBytes(Bytes(b));
  int32_t again = 0;
  copy >> again;
  EXPECT_EQ(again, -2);
}

TEST(IPCMsgBuffer, WrongTypeAndEndOfDataRaiseAndLeaveEverythingUnchanged) {
  CIPCMsgBuffer b;
  b << int32_t(5) << OS::x_wstring(u"x");
  uint32_t u = 77;
  try {
    b >> u;
    FAIL() << "uint32 read of an int32 item";
  } catch (const CIPCError& e) {
    EXPECT_EQ(e.GetCode(), CIPCError::TYPE_MISMATCH);
  }
  EXPECT_EQ(u, 77u);
  EXPECT_EQ(b.GetReadPos(), 0u);
  CIPCStringList list{u"kept"};
  EXPECT_THROW(b >> list, CIPCError);
  EXPECT_EQ(list, CIPCStringList{u"kept"});
  int32_t i = 0;
  OS::x_wstring s;
  b >> i >> s;  // the right types still read after the failures
  EXPECT_EQ(i, 5);
  try {
    b >> i;
    FAIL() << "read past the end";
  } catch (const CIPCError& e) {
    EXPECT_EQ(e.GetCode(), CIPCError::PAST_END);
  }
  EXPECT_THROW(b.PeekTag(), CIPCError);

  // Every cut-off length of a message fails somewhere with the exception, never reads garbage.
  CIPCMsgBuffer full;
  full << int32_t(1) << uint32_t(2) << u"three" << CIPCStringList{u"four", u"five"};
  std::vector<uint8_t> all = Bytes(full);
  for (size_t cut = 0; cut < all.size(); ++cut) {
    CIPCMsgBuffer part = FromBytes(std::vector<uint8_t>(all.begin(), all.begin() + static_cast<long>(cut)));
    int32_t a = 0;
    uint32_t c = 0;
    OS::x_wstring d;
    CIPCStringList l;
    EXPECT_THROW(part >> a >> c >> d >> l, CIPCError) << "cut at " << cut;
  }
}

TEST(IPCMsgBuffer, HostileCountsFailBeforeAnythingIsAllocated) {
  // A string claiming 0xFFFFFFFF units, a list claiming 0x7FFFFFFF strings, a list whose count
  // fits the bytes but whose strings do not, and 2 KiB holding a list of 500 whose first lies.
  std::vector<uint8_t> hugeString = {0x03, 0xFF, 0xFF, 0xFF, 0xFF, 0x41, 0x00};
  std::vector<uint8_t> hugeList = {0x04, 0xFF, 0xFF, 0xFF, 0x7F, 0x00, 0x00, 0x00, 0x00};
  std::vector<uint8_t> listOfHugeString = {0x04, 0x01, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0x0F, 0x41, 0x00};
  std::vector<uint8_t> liarList = {0x04, 0xF4, 0x01, 0x00, 0x00, 0xF0, 0xFF, 0xFF, 0xFF};
  liarList.resize(2048);
  OS::x_wstring s = u"kept";
  CIPCStringList l{u"kept"};
  g_largestAllocation = 0;
  g_trackAllocations = true;
  int stringCode = ReadFailure(hugeString, s);
  int listCode = ReadFailure(hugeList, l);
  int nestedCode = ReadFailure(listOfHugeString, l);
  int liarCode = ReadFailure(liarList, l);
  g_trackAllocations = false;
  EXPECT_EQ(liarCode, CIPCError::BAD_COUNT);
  EXPECT_EQ(stringCode, CIPCError::BAD_COUNT);
  EXPECT_EQ(listCode, CIPCError::BAD_COUNT);
  EXPECT_EQ(nestedCode, CIPCError::BAD_COUNT);
  EXPECT_EQ(s, u"kept");
  EXPECT_EQ(l, CIPCStringList{u"kept"});
  // Copies of the input and the exception's text; never more than the largest input.
  EXPECT_LE(g_largestAllocation.load(), liarList.size());
}

TEST(IPCMsgBuffer, FixedSizeBufferRefusesToGrowAndKeepsWholeItems) {
  CIPCMsgBuffer b(12, true);
  b << int32_t(1) << uint32_t(2);
  try {
    b << u"too long";
    FAIL() << "write past a fixed capacity";
  } catch (const CIPCError& e) {
    EXPECT_EQ(e.GetCode(), CIPCError::CAPACITY);
  }
  EXPECT_THROW(b << CIPCStringList{u"x"}, CIPCError);
  EXPECT_EQ(b.GetSize(), 10u);  // no half item left behind
  CIPCMsgBuffer growing(2, false);
  growing << u"longer than two bytes";
  EXPECT_GT(growing.GetSize(), 2u);
}

TEST(RpcFrameDecoder, CutsFramesFromAStreamInAnyPieces) {
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
    size_t pos = 0;
    while (pos < stream.size()) {
      size_t n = std::min(piece, stream.size() - pos);
      size_t used = d.Feed(stream.data() + pos, n);
      pos += used;
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
}

TEST(RpcFrameDecoder, RejectsGarbageUnknownKindsAndOversizeAndSeesTruncation) {
  const uint8_t garbage[] = {'G', 'E', 'T', ' ', '/', ' ', 'H', 'T', 'T', 'P'};
  CRpcFrameDecoder g;
  g.Feed(garbage, 4);  // known bad from the magic alone
  EXPECT_EQ(g.GetStatus(), CRpcFrameDecoder::BAD_MAGIC);
  EXPECT_EQ(g.Feed(garbage, sizeof(garbage)), 0u);

  uint8_t header[kRpcFrameHeaderSize];
  EncodeRpcFrameHeader(header, RPC_FRAME_REPLY, 101);
  CRpcFrameDecoder small(100);
  small.Feed(header, sizeof(header));
  EXPECT_EQ(small.GetStatus(), CRpcFrameDecoder::TOO_LARGE);

  EncodeRpcFrameHeader(header, static_cast<RpcFrameKind>(9), 1);
  CRpcFrameDecoder k;
  k.Feed(header, sizeof(header));
  EXPECT_EQ(k.GetStatus(), CRpcFrameDecoder::BAD_KIND);
  k.Reset();
  EXPECT_FALSE(k.Failed());

  // A frame claiming the largest payload grows only with what arrives.
  EncodeRpcFrameHeader(header, RPC_FRAME_REQUEST, kRpcMaxFramePayload);
  CRpcFrameDecoder t;
  g_largestAllocation = 0;
  g_trackAllocations = true;
  t.Feed(header, sizeof(header));
  t.Feed(garbage, 3);
  g_trackAllocations = false;
  EXPECT_LE(g_largestAllocation.load(), 64u * 1024);
  EXPECT_TRUE(t.InFrame());
  EXPECT_EQ(t.GetStatus(), CRpcFrameDecoder::NEED_MORE);

  // Received straight into the payload: room never passes what the frame still needs, and grows
  // with what has arrived rather than with what the header claims.
  size_t room = 0;
  uint8_t* space = t.PayloadSpace(room);
  ASSERT_NE(space, nullptr);
  EXPECT_EQ(room, 64u * 1024);
  std::memset(space, 0x11, 1000);
  t.CommitPayload(1000);
  t.PayloadSpace(room);
  EXPECT_EQ(room, 64u * 1024);
  t.CommitPayload(0);
  EncodeRpcFrameHeader(header, RPC_FRAME_REQUEST, 10);
  CRpcFrameDecoder d;
  EXPECT_EQ(d.PayloadSpace(room), nullptr);  // no header yet
  d.Feed(header, sizeof(header));
  space = d.PayloadSpace(room);
  ASSERT_EQ(room, 10u);
  std::memcpy(space, "0123456789", 10);
  d.CommitPayload(10);
  ASSERT_EQ(d.GetStatus(), CRpcFrameDecoder::FRAME_READY);
  EXPECT_EQ(d.TakePayload(), (std::vector<uint8_t>{'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'}));
}
