// CHookContentReceiver in one process: opening a message by pool and resource ids, its failure
// results and report lines, the writers it hands out and what committing them records in the
// shared headers, and refusals of corrupt shared headers.
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "content/hook_HookContent.h"
#include "content/hook_HookContentReceiver.h"
#include "content_support.h"
#include "foundation/hook_Log.h"
#include "headers/hook_HookHeadersImp.h"

using namespace contenttest;
using mhtest::TempDir;

namespace {

Report Code(int code, const char* unit = kReceiverUnit) {
  return {code, unit};
}

// What the hook does for one message: content and a header list into their resources, each
// length recorded as the resource's data size.
void HookWrites(MessagePool& mp, const std::string& content) {
  std::memcpy(mp.Content()->GetDataBaseAddr(), content.data(), content.size());
  mp.Content()->SetDataSize(static_cast<int>(content.size()));
  COutputHookHeadersImp headers(mp.Header()->GetDataBaseAddr(), mp.Header()->GetDataStorageSize());
  ASSERT_EQ(headers.SetHeader(1, "sender@example.org"), 0);
  ASSERT_EQ(headers.SetHeader(2, 42), 0);
  mp.Header()->SetDataSize(static_cast<int>(headers.GetDataLength()));
}

std::string ReadAll(CInputHookContent* reader) {
  std::string out(static_cast<size_t>(reader->GetContentSize()), '\0');
  uint64_t read = 0;
  if (!out.empty() && (reader->Read(out.data(), out.size(), read) != 0 || read != out.size()))
    return "<read failed>";
  return out;
}

}  // namespace

TEST(CHookContentReceiver, APoolThatDoesNotExistFailsTheReceiver) {
  DBG::CLogCapture capture;
  CHookContentReceiver receiver(9901, 1, 2, 3);
  EXPECT_EQ(Reports(capture), std::vector<Report>{Code(HOOK_ERR_POOL_NOT_FOUND)});
  EXPECT_EQ(receiver.Fail(), 1);
  EXPECT_EQ(receiver.GetPoolId(), 9901);
  EXPECT_EQ(receiver.GetHeaders(), nullptr);
  EXPECT_EQ(receiver.GetContent(), nullptr);

  capture.Clear();
  EXPECT_EQ(receiver.GetOutputHookContent(), nullptr);
  EXPECT_EQ(receiver.GetOutputHookHeaders(), nullptr);
  EXPECT_EQ(receiver.SetContent(nullptr), -1);
  EXPECT_EQ(receiver.SetHeaders(nullptr), -1);
  EXPECT_EQ(Reports(capture), (std::vector<Report>{Code(HOOK_ERR_GENERAL), Code(HOOK_ERR_GENERAL),
                                                   Code(HOOK_ERR_INVALID_ARG), Code(HOOK_ERR_INVALID_ARG)}));
  EXPECT_EQ(receiver.NeedUpdateHeader(), 0);
  EXPECT_EQ(receiver.NeedUpdateContent(), 0);
}

TEST(CHookContentReceiver, ResourceIdsThatDoNotExistFailTheReceiver) {
  TempDir dir;
  MessagePool mp(201, dir);
  HookWrites(mp, "body");
  {
    // The header id is missing: nothing is found, so no writer either.
    DBG::CLogCapture capture;
    CHookContentReceiver receiver(201, 999, kContentId, kUpdateHeaderId);
    EXPECT_EQ(Reports(capture), std::vector<Report>{Code(HOOK_ERR_RESOURCE_NOT_FOUND)});
    EXPECT_EQ(receiver.Fail(), 1);
    EXPECT_EQ(receiver.GetOutputHookContent(), nullptr);
  }
  {
    // Only the update-header id is missing: the content writer still works, the header writer
    // does not, and no reader was made.
    DBG::CLogCapture capture;
    CHookContentReceiver receiver(201, kHeaderId, kContentId, 999);
    EXPECT_EQ(Reports(capture), std::vector<Report>{Code(HOOK_ERR_RESOURCE_NOT_FOUND)});
    EXPECT_EQ(receiver.Fail(), 1);
    EXPECT_EQ(receiver.GetHeaders(), nullptr);
    EXPECT_EQ(receiver.GetContent(), nullptr);
    COutputHookContent* writer = receiver.GetOutputHookContent();
    ASSERT_NE(writer, nullptr);
    capture.Clear();
    EXPECT_EQ(receiver.GetOutputHookHeaders(), nullptr);
    EXPECT_EQ(Reports(capture), std::vector<Report>{Code(HOOK_ERR_GENERAL)});
    uint64_t written = 0;
    ASSERT_EQ(writer->Write(const_cast<char*>("new body"), 8, written), 0);
    EXPECT_EQ(receiver.SetContent(writer), 0);
    EXPECT_EQ(mp.Content()->GetDataSize(), 8);
  }
}

// Two requests naming the same resource: the second must not renew (re-map) a view the first
// reads through, so it is refused as busy until the first receiver ends; so is a request that
// names one resource twice.
TEST(CHookContentReceiver, AResourceIsHeldByOneReceiverAtATime) {
  TempDir dir;
  MessagePool mp(204, dir);
  HookWrites(mp, "body");
  {
    CHookContentReceiver first(204, kHeaderId, kContentId, kUpdateHeaderId);
    ASSERT_EQ(first.Fail(), 0);
    EXPECT_EQ(first.GetError(), -1);
    DBG::CLogCapture capture;
    CHookContentReceiver second(204, kHeaderId, kContentId, kUpdateHeaderId);
    EXPECT_EQ(second.Fail(), 1);
    EXPECT_EQ(second.GetError(), HOOK_ERR_RESOURCE_BUSY);
    EXPECT_EQ(ReadAll(first.GetContent()), "body");
  }
  {
    CHookContentReceiver twice(204, kHeaderId, kContentId, kHeaderId);
    EXPECT_EQ(twice.GetError(), HOOK_ERR_RESOURCE_BUSY);
  }
  // Every receiver gave back what it had claimed when it ended, the refused ones included.
  CHookContentReceiver next(204, kHeaderId, kContentId, kUpdateHeaderId);
  ASSERT_EQ(next.Fail(), 0);
  EXPECT_EQ(ReadAll(next.GetContent()), "body");
}

TEST(CHookContentReceiver, CommittedContentIsWhatTheNextReceiverReads) {
  TempDir dir;
  MessagePool mp(202, dir);
  HookWrites(mp, "the hook's content");
  const auto newContent = Pattern(11, 5000);
  {
    CHookContentReceiver receiver(202, kHeaderId, kContentId, kUpdateHeaderId);
    ASSERT_EQ(receiver.Fail(), 0);
    // The reader reads the content in place.
    EXPECT_EQ(receiver.GetContent()->GetRawMemoryBlock(), mp.Content()->GetDataBaseAddr());
    EXPECT_EQ(ReadAll(receiver.GetContent()), "the hook's content");

    COutputHookContent* writer = receiver.GetOutputHookContent();
    ASSERT_NE(writer, nullptr);
    EXPECT_EQ(receiver.GetOutputHookContent(), writer);
    EXPECT_EQ(writer->GetContentSize(), 0u);

    // Writers that are not the receiver's own are refused and change nothing.
    COutputHookContentMMapResourceImp foreign(mp.Content());
    DBG::CLogCapture capture;
    EXPECT_EQ(receiver.SetContent(&foreign), -1);
    EXPECT_EQ(receiver.SetContent(nullptr), -1);
    EXPECT_EQ(Reports(capture),
              (std::vector<Report>{Code(HOOK_ERR_INVALID_ARG), Code(HOOK_ERR_INVALID_ARG)}));
    EXPECT_EQ(receiver.NeedUpdateContent(), 0);
    EXPECT_EQ(mp.Content()->GetDataSize(), 18);

    // Written but not yet committed: the bytes change, the data size does not.
    uint64_t written = 0;
    ASSERT_EQ(writer->Write(const_cast<unsigned char*>(newContent.data()), 2000, written), 0);
    EXPECT_EQ(mp.Content()->GetDataSize(), 18);
    ASSERT_EQ(writer->Write(const_cast<unsigned char*>(newContent.data()) + 2000, 3000, written), 0);
    capture.Clear();
    EXPECT_EQ(receiver.SetContent(writer), 0);
    EXPECT_EQ(mp.Content()->GetDataSize(), 5000);
    EXPECT_EQ(receiver.NeedUpdateContent(), 1);
    EXPECT_EQ(receiver.NeedUpdateHeader(), 0);
  }
  // Destroying the receiver left the size, and the pool, as they were.
  EXPECT_EQ(mp.Content()->GetDataSize(), 5000);
  EXPECT_EQ(mp.Pool()->GetResourceCount(), 3u);
  EXPECT_EQ(mp.Pool()->GetFreeCount(), 3u);

  CHookContentReceiver again(202, kHeaderId, kContentId, kUpdateHeaderId);
  ASSERT_EQ(again.Fail(), 0);
  CInputHookContent* reader = again.GetContent();
  ASSERT_EQ(reader->GetContentSize(), 5000u);
  std::vector<unsigned char> out(6000);
  uint64_t read = 0;
  ASSERT_EQ(reader->Read(out.data(), out.size(), read), 0);
  EXPECT_EQ(read, 5000u);
  out.resize(5000);
  EXPECT_EQ(out, newContent);
  EXPECT_EQ(reader->Read(out.data(), 1, read), -1);
}

TEST(CHookContentReceiver, CommittedHeadersGoBesideTheHooksHeaders) {
  TempDir dir;
  MessagePool mp(203, dir);
  HookWrites(mp, "body");
  const int hookHeaderSize = mp.Header()->GetDataSize();
  const std::string hookHeaderBytes(static_cast<char*>(mp.Header()->GetDataBaseAddr()),
                                    static_cast<size_t>(hookHeaderSize));
  uint64_t updateLength = 0;
  {
    CHookContentReceiver receiver(203, kHeaderId, kContentId, kUpdateHeaderId);
    ASSERT_EQ(receiver.Fail(), 0);
    const char* sender = nullptr;
    int value = 0;
    ASSERT_EQ(receiver.GetHeaders()->GetHeader(1, &sender), 0);
    EXPECT_STREQ(sender, "sender@example.org");
    ASSERT_EQ(receiver.GetHeaders()->GetHeader(2, &value), 0);
    EXPECT_EQ(value, 42);

    COutputHookHeaders* writer = receiver.GetOutputHookHeaders();
    ASSERT_NE(writer, nullptr);
    EXPECT_EQ(receiver.GetOutputHookHeaders(), writer);
    EXPECT_EQ(writer->GetDataBlock(), mp.UpdateHeader()->GetDataBaseAddr());

    COutputHookHeadersImp foreign(64);
    DBG::CLogCapture capture;
    EXPECT_EQ(receiver.SetHeaders(&foreign), -1);
    EXPECT_EQ(receiver.SetHeaders(nullptr), -1);
    EXPECT_EQ(Reports(capture),
              (std::vector<Report>{Code(HOOK_ERR_INVALID_ARG), Code(HOOK_ERR_INVALID_ARG)}));
    EXPECT_EQ(receiver.NeedUpdateHeader(), 0);

    ASSERT_EQ(writer->SetHeader(2, 43), 0);
    ASSERT_EQ(writer->SetHeader(3, u"scanned: clean"), 0);
    ASSERT_EQ(writer->SetHeader(4, int64_t{1} << 40), 0);
    updateLength = writer->GetDataLength();
    EXPECT_EQ(mp.UpdateHeader()->GetDataSize(), 0);  // nothing recorded before the commit
    capture.Clear();
    EXPECT_EQ(receiver.SetHeaders(writer), 0);
    EXPECT_EQ(receiver.NeedUpdateHeader(), 1);
    EXPECT_EQ(receiver.NeedUpdateContent(), 0);
    receiver.CloseMemResourceDependonFileSize();  // small files: every view stays
  }
  EXPECT_TRUE(mp.Header()->IsMapped() && mp.Content()->IsMapped() && mp.UpdateHeader()->IsMapped());
  EXPECT_EQ(mp.UpdateHeader()->GetDataSize(), static_cast<int>(updateLength));
  EXPECT_EQ(mp.Header()->GetDataSize(), hookHeaderSize);
  EXPECT_EQ(
      std::string(static_cast<char*>(mp.Header()->GetDataBaseAddr()), static_cast<size_t>(hookHeaderSize)),
      hookHeaderBytes);
  EXPECT_EQ(mp.Content()->GetDataSize(), 4);

  CInputHookHeadersImp update(mp.UpdateHeader()->GetDataBaseAddr(), mp.UpdateHeader()->GetDataSize());
  int value = 0;
  int64_t wide = 0;
  const char16_t* text = nullptr;
  ASSERT_EQ(update.GetHeader(2, &value), 0);
  EXPECT_EQ(value, 43);
  ASSERT_EQ(update.GetHeader(3, &text), 0);
  EXPECT_EQ(Wide(text), u"scanned: clean");
  ASSERT_EQ(update.GetHeader(4, &wide), 0);
  EXPECT_EQ(wide, int64_t{1} << 40);
  EXPECT_EQ(update.GetHeader(1, &text), -1);
}

namespace {

struct Corruption {
  const char* what;
  size_t offset;  // of the field in the shared header
  int32_t value;
};

}  // namespace

TEST(CHookContentReceiver, ACorruptSharedHeaderIsRefusedAndTheContentSurvives) {
  TempDir dir;
  MessagePool mp(204, dir);
  HookWrites(mp, "original content");
  const auto fileSize = std::filesystem::file_size(dir.File("content"));
  const Corruption cases[] = {
      {"data size beyond the file", 20, 500000},
      {"data size beyond the maximum", 20, 0x7FFFFFF0},
      {"negative data size", 20, -5},
      {"header size not 548", 0, 0},
  };
  for (const Corruption& c : cases) {
    SCOPED_TRACE(c.what);
    auto* header =
        static_cast<unsigned char*>(mp.Content()->GetDataBaseAddr()) - CMemMapResource::kHeaderSize;
    int32_t saved = 0;
    std::memcpy(&saved, header + c.offset, 4);
    std::memcpy(header + c.offset, &c.value, 4);
    {
      DBG::CLogCapture capture;
      CHookContentReceiver receiver(204, kHeaderId, kContentId, kUpdateHeaderId);
      EXPECT_EQ(receiver.Fail(), 1);
      EXPECT_EQ(receiver.GetContent(), nullptr);
      EXPECT_EQ(Reports(capture),
                (std::vector<Report>{Code(HOOK_ERR_GENERAL, kPoolUnit), Code(HOOK_ERR_RESOURCE_NOT_FOUND)}));
    }
    // Nothing was mapped or extended after the corrupt size.
    EXPECT_EQ(std::filesystem::file_size(dir.File("content")), fileSize);
    std::memcpy(header + c.offset, &saved, 4);

    CHookContentReceiver receiver(204, kHeaderId, kContentId, kUpdateHeaderId);
    ASSERT_EQ(receiver.Fail(), 0);
    EXPECT_EQ(ReadAll(receiver.GetContent()), "original content");
  }
}
