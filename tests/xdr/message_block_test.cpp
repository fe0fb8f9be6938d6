// Message blocks: growth that keeps offsets and leaves borrowed memory alone, copy bounds and
// crunching, reference counts over shared data blocks, chains and duplicates, clones and replaced
// data blocks.
#include <cstring>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "xdr/hook_MessageBlock.h"

namespace {

// A data block that counts its destructions, so tests see exactly which blocks a release kills.
class CountedDataBlock final : public CDataBlock {
 public:
  explicit CountedDataBlock(uint64_t size, Lock* lock = nullptr) : CDataBlock(size, 1, nullptr, lock, 0) {}
  ~CountedDataBlock() override { ++s_destroyed; }
  static inline int s_destroyed = 0;
};

}  // namespace

TEST(MessageBlock, GrowthKeepsOffsetsCopyRespectsTheSizeAndCrunchMovesUnreadBytes) {
  char buffer[8] = "abcdefg";
  CMessageBlock mb(buffer, sizeof buffer);
  mb.ReadPtr(uint64_t{2});
  mb.WritePtr(uint64_t{5});
  ASSERT_EQ(mb.Size(4), 0);  // not above the capacity: only the size changes
  EXPECT_EQ(mb.Base(), buffer);
  ASSERT_EQ(mb.Size(32), 0);
  EXPECT_NE(mb.Base(), buffer);
  EXPECT_EQ(mb.Flags() & CDataBlock::FLAG_BORROWED, 0u);  // its own area now (leak check)
  EXPECT_EQ(std::string(mb.Base(), 4), "abcd");           // the old size is carried over
  EXPECT_EQ(std::string(mb.ReadPtr(), 2), "cd");
  EXPECT_EQ(mb.Length(), 3u);
  EXPECT_STREQ(buffer, "abcdefg");

  CMessageBlock big(uint64_t{16});
  ASSERT_EQ(big.Copy("0123456789", 10), 0);
  big.ReadPtr(uint64_t{2});
  big.Crunch();
  EXPECT_EQ(big.ReadOffset(), 0u);
  EXPECT_EQ(big.WriteOffset(), 8u);
  EXPECT_EQ(std::string(big.Base(), 8), "23456789");
  ASSERT_EQ(big.Size(9), 0);  // capacity above the size: Copy measures against the size
  EXPECT_EQ(big.Copy("x", 1), 0);
  EXPECT_EQ(big.Copy("x", 1), -1);
  EXPECT_EQ(big.WriteOffset(), 9u);
}

TEST(MessageBlock, ReleaseDestroysEveryDataBlockWhoseCountEnds) {
  CountedDataBlock::s_destroyed = 0;
  Lock lock;
  auto* shared = new CountedDataBlock(8, &lock);
  auto* keep = new CMessageBlock(shared->Duplicate());  // outside the chain
  auto* third = new CMessageBlock(new CountedDataBlock(8, &lock));
  auto* second = new CMessageBlock(shared);
  second->Cont(third);
  auto* head = new CMessageBlock(new CountedDataBlock(8));  // another lock than the rest
  head->Cont(second);
  CMessageBlock* dup = head->Duplicate();
  EXPECT_EQ(dup->Base(), head->Base());
  EXPECT_EQ(head->Release(), nullptr);
  EXPECT_EQ(CountedDataBlock::s_destroyed, 0);  // the duplicate still holds the chain
  dup->Release();
  EXPECT_EQ(CountedDataBlock::s_destroyed, 2);
  EXPECT_EQ(keep->ReferenceCount(), 1);
  keep->Release();
  EXPECT_EQ(CountedDataBlock::s_destroyed, 3);

  auto* borrowed = new CountedDataBlock(8);  // a borrowing block never touches the count
  (new CMessageBlock(borrowed, CDataBlock::FLAG_BORROWED))->Release();
  EXPECT_EQ(borrowed->Release(), nullptr);
  EXPECT_EQ(CountedDataBlock::s_destroyed, 4);
}

TEST(MessageBlock, CloneAndReplace) {
  auto* head = new CMessageBlock(uint64_t{16});
  head->Copy("0123456789abcdef", 16);
  head->ReadPtr(uint64_t{3});
  head->Length(4);  // read 3, write 7; the bytes past 7 must be copied all the same
  auto* tail = new CMessageBlock(uint64_t{4});
  tail->Copy("tail");  // the terminator does not fit
  tail->Copy("tai");
  head->Cont(tail);
  uint64_t size = 0, length = 0;
  head->TotalSizeAndLength(size, length);
  EXPECT_EQ(std::make_pair(size, length), std::make_pair(uint64_t{20}, uint64_t{8}));
  CMessageBlock* clone = head->Clone();
  std::memset(head->Base(), 'X', 1);  // the clone must not share this area
  EXPECT_EQ(std::make_pair(clone->ReadOffset(), clone->WriteOffset()),
            std::make_pair(uint64_t{3}, uint64_t{7}));
  EXPECT_EQ(std::string(clone->Base(), 16), "0123456789abcdef");
  EXPECT_EQ(std::string(clone->Cont()->Base(), 4), std::string("tai", 4));
  clone->Release();

  CDataBlock* old = head->ReplaceDataBlock(nullptr);  // offsets stay; the old block is the caller's
  EXPECT_EQ(head->ReadOffset(), 3u);
  EXPECT_EQ(head->ReplaceDataBlock(old), nullptr);
  head->Release();
}
