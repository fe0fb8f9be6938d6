#include <cstring>
#include <functional>
#include <iostream>
#include <string>

#include <gtest/gtest.h>

#include "xdr/hook_MessageBlock.h"

namespace {

constexpr uint32_t kBorrowed = CDataBlock::FLAG_BORROWED;

// A data block that counts its destructions, so tests see exactly which blocks a release kills.
class CountedDataBlock final : public CDataBlock {
 public:
  explicit CountedDataBlock(uint64_t size, Lock* lock = nullptr) : CDataBlock(size, 1, nullptr, lock, 0) {}
  ~CountedDataBlock() override { ++s_destroyed; }
  static inline int s_destroyed = 0;
};

}  // namespace

TEST(MessageBlock, DefaultBlockGrowsIntoAnOwnedArea) {
  CMessageBlock mb;
  EXPECT_EQ(mb.Size(), 0u);
  EXPECT_EQ(mb.Length(), 0u);
  EXPECT_EQ(mb.Space(), 0u);
  EXPECT_EQ(mb.ReferenceCount(), 1);
  EXPECT_EQ(mb.Flags() & kBorrowed, kBorrowed);
  ASSERT_EQ(mb.Size(100), 0);
  EXPECT_EQ(mb.Capacity(), 100u);
  EXPECT_NE(mb.Base(), nullptr);
  EXPECT_EQ(mb.Flags() & kBorrowed, 0u);  // freed by the block from now on (leak check)
  // An area the block allocates itself is its own even when the caller said "borrowed".
  CMessageBlock init;
  EXPECT_EQ(init.Init(64, 7), 0);
  EXPECT_EQ(init.Flags() & kBorrowed, 0u);
  EXPECT_EQ(init.MessageType(), 7);
}

TEST(MessageBlock, GrowthKeepsOffsetsAndLeavesBorrowedMemoryAlone) {
  char buffer[8] = "abcdefg";
  CMessageBlock mb(buffer, sizeof buffer);
  mb.ReadPtr(uint64_t{2});
  mb.WritePtr(uint64_t{5});
  ASSERT_EQ(mb.Size(4), 0);  // not above the capacity: only the size changes
  EXPECT_EQ(mb.Capacity(), 8u);
  EXPECT_EQ(mb.Base(), buffer);
  ASSERT_EQ(mb.Size(32), 0);
  EXPECT_NE(mb.Base(), buffer);
  EXPECT_EQ(mb.Capacity(), 32u);
  EXPECT_EQ(std::string(mb.Base(), 4), "abcd");  // the old size is carried over
  EXPECT_EQ(std::string(mb.ReadPtr(), 2), "cd");
  EXPECT_EQ(mb.Length(), 3u);
  EXPECT_STREQ(buffer, "abcdefg");
}

TEST(MessageBlock, CopyRespectsSizeAndCrunchMovesUnreadBytes) {
  CMessageBlock mb(uint64_t{4});
  EXPECT_EQ(mb.Copy("abc"), 0);
  EXPECT_EQ(mb.WriteOffset(), 4u);
  EXPECT_EQ(mb.Copy("abc"), -1);
  EXPECT_EQ(mb.WriteOffset(), 4u);
  EXPECT_EQ(mb.Copy("", 0), 0);

  CMessageBlock big(uint64_t{16});
  ASSERT_EQ(big.Copy("0123456789", 10), 0);
  big.Crunch();  // read offset 0: nothing moves
  EXPECT_EQ(big.WriteOffset(), 10u);
  big.ReadPtr(uint64_t{2});
  big.Crunch();
  EXPECT_EQ(big.ReadOffset(), 0u);
  EXPECT_EQ(big.WriteOffset(), 8u);
  EXPECT_EQ(std::string(big.Base(), 8), "23456789");
  // Capacity above the size: Copy measures against the size only.
  ASSERT_EQ(big.Size(8), 0);
  EXPECT_EQ(big.Copy("x", 1), -1);
}

TEST(MessageBlock, SharingAndReleaseCountReferences) {
  CountedDataBlock::s_destroyed = 0;
  Lock lock;
  auto* a = new CMessageBlock(new CountedDataBlock(8, &lock));
  CMessageBlock* b = a->Duplicate();
  EXPECT_EQ(a->ReferenceCount(), 2);
  EXPECT_EQ(a->DataBlock(), b->DataBlock());
  EXPECT_EQ(a->Release(), nullptr);
  EXPECT_EQ(b->ReferenceCount(), 1);
  EXPECT_EQ(CountedDataBlock::s_destroyed, 0);
  b->Release();
  EXPECT_EQ(CountedDataBlock::s_destroyed, 1);

  // A borrowing block never touches the count.
  auto* db = new CountedDataBlock(8);
  {
    CMessageBlock borrow(db, kBorrowed);
    EXPECT_EQ(db->ReferenceCount(), 1);
  }
  (new CMessageBlock(db, kBorrowed))->Release();
  EXPECT_EQ(db->ReferenceCount(), 1);
  EXPECT_EQ(db->Release(), nullptr);
  EXPECT_EQ(CountedDataBlock::s_destroyed, 2);
}

TEST(MessageBlock, ChainReleaseDestroysEveryBlockWhoseCountEnds) {
  CountedDataBlock::s_destroyed = 0;
  Lock lock;
  auto* shared = new CountedDataBlock(8, &lock);
  auto* keep = new CMessageBlock(shared->Duplicate());  // outside the chain
  auto* third = new CMessageBlock(new CountedDataBlock(8, &lock));
  auto* second = new CMessageBlock(shared);
  second->Cont(third);
  auto* head = new CMessageBlock(new CountedDataBlock(8));  // another lock than the rest
  head->Cont(second);
  EXPECT_EQ(head->TotalCapacity(), 24u);
  EXPECT_EQ(head->Release(), nullptr);
  EXPECT_EQ(CountedDataBlock::s_destroyed, 2);
  EXPECT_EQ(keep->ReferenceCount(), 1);
  keep->Release();
  EXPECT_EQ(CountedDataBlock::s_destroyed, 3);
}

TEST(MessageBlock, CloneCopiesWholeChainsAndDuplicateSharesThem) {
  auto* head = new CMessageBlock(uint64_t{16});
  head->Copy("0123456789abcdef", 16);
  head->ReadPtr(uint64_t{3});
  head->Length(4);  // read 3, write 7; the bytes past 7 must be copied all the same
  auto* tail = new CMessageBlock(uint64_t{4});
  tail->Copy("tail", 4);
  head->Cont(tail);

  CMessageBlock* clone = head->Clone();
  ASSERT_NE(clone, nullptr);
  EXPECT_NE(clone->Base(), head->Base());
  EXPECT_EQ(clone->ReadOffset(), 3u);
  EXPECT_EQ(clone->WriteOffset(), 7u);
  EXPECT_EQ(std::string(clone->Base(), 16), "0123456789abcdef");
  EXPECT_EQ(std::string(clone->Cont()->Base(), 4), "tail");

  CMessageBlock* dup = head->Duplicate();
  EXPECT_EQ(dup->Base(), head->Base());
  EXPECT_EQ(tail->ReferenceCount(), 2);
  EXPECT_EQ(dup->TotalLength(), 8u);

  uint64_t size = 0, length = 0;
  head->TotalSizeAndLength(size, length);
  head->TotalSizeAndLength(size, length);
  EXPECT_EQ(size, 40u);
  EXPECT_EQ(length, 16u);

  clone->Release();
  dup->Release();
  EXPECT_EQ(tail->ReferenceCount(), 1);
  head->Release();
}

TEST(MessageBlock, ReplaceDataBlockHandsTheOldOneBack) {
  CMessageBlock mb(uint64_t{8});
  mb.ReadPtr(uint64_t{1});
  mb.WritePtr(uint64_t{3});
  CDataBlock* old = mb.ReplaceDataBlock(nullptr);
  EXPECT_NE(old, nullptr);
  EXPECT_EQ(mb.ReadOffset(), 1u);
  EXPECT_EQ(mb.WriteOffset(), 3u);
  EXPECT_EQ(mb.ReferenceCount(), 0);
  EXPECT_EQ(mb.ReplaceDataBlock(old), nullptr);
  EXPECT_EQ(mb.WriteOffset(), 0u);
}

TEST(MessageBlock, AlignedCopySharesOwnedBlocksAndCopiesBorrowedOnes) {
  alignas(64) char buffer[64];
  for (int i = 0; i < 64; ++i) buffer[i] = static_cast<char>(i);
  CMessageBlock owned(uint64_t{64});
  {
    CMessageBlock shared(owned, 16);
    EXPECT_EQ(owned.ReferenceCount(), 2);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(shared.ReadPtr()) % 16, 0u);
    EXPECT_EQ(shared.ReadOffset(), shared.WriteOffset());
  }
  EXPECT_EQ(owned.ReferenceCount(), 1);

  // Source borrowed and starting 3 bytes past a 64-byte boundary: its aligned start is 13.
  CMessageBlock borrowed(buffer + 3, 61);
  CMessageBlock view(borrowed.DataBlock(), kBorrowed);
  view.WritePtr(uint64_t{40});
  CMessageBlock copy(view, 16);
  EXPECT_NE(copy.Base(), buffer + 3);
  EXPECT_EQ(copy.Capacity(), 61u);
  EXPECT_EQ(copy.Flags() & kBorrowed, 0u);
  const uint64_t start = copy.WriteOffset();
  EXPECT_EQ(reinterpret_cast<uintptr_t>(copy.Base() + start) % 16, 0u);
  EXPECT_EQ(std::memcmp(copy.Base() + start, buffer + 16, 27), 0);
}
