// CHookContentReceiver in one process: opening a message by pool and resource ids, its failures,
// the writers it hands out and what committing them records in the shared headers, and
// refusals of corrupt shared headers.
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
using Codes = std::vector<std::string>;

namespace {

constexpr const char* kReceiverUnit = "hook_HookContentReceiver.cpp";

constexpr int kPool = 201;
const std::string kHookContent = "the hook's content";

// A pool holding what the hook writes for one message: content and a header list into their
// resources, each length recorded as the resource's data size.
class Receiver : public ::testing::Test {
 protected:
  void SetUp() override {
    std::memcpy(m_message.content->GetDataBaseAddr(), kHookContent.data(), kHookContent.size());
    m_message.content->SetDataSize(static_cast<int>(kHookContent.size()));
    COutputHookHeadersImp headers(m_message.header->GetDataBaseAddr(),
                                  m_message.header->GetDataStorageSize());
    ASSERT_EQ(headers.SetHeader(1, "sender@example.org") | headers.SetHeader(2, 42), 0);
    m_message.header->SetDataSize(static_cast<int>(headers.GetDataLength()));
  }
  TempDir m_dir;
  MessagePool m_message{kPool, m_dir};
};

std::string ReadAll(CInputHookContent* reader) {
  if (reader == nullptr) return "<no reader>";
  std::string out(static_cast<size_t>(reader->GetContentSize()), '\0');
  uint64_t read = 0;
  if (!out.empty() && (reader->Read(out.data(), out.size(), read) != 0 || read != out.size()))
    return "<read failed>";
  return out;
}

}  // namespace

TEST_F(Receiver, AMissingPoolOrResourceFailsTheReceiverWithItsCode) {
  const std::pair<std::vector<int>, int> cases[] = {
      {{9901, kHeaderId, kContentId, kUpdateHeaderId}, HOOK_ERR_POOL_NOT_FOUND},
      {{kPool, 999, kContentId, kUpdateHeaderId}, HOOK_ERR_RESOURCE_NOT_FOUND},
      {{kPool, kHeaderId, 999, kUpdateHeaderId}, HOOK_ERR_RESOURCE_NOT_FOUND}};
  for (const auto& [ids, code] : cases) {
    DBG::CLogCapture capture;
    CHookContentReceiver receiver(ids[0], ids[1], ids[2], ids[3]);
    EXPECT_EQ(Reports(capture), Codes{Code(code, kReceiverUnit)});
    EXPECT_EQ(receiver.Fail(), 1);
    EXPECT_EQ(receiver.GetContent(), nullptr);
    EXPECT_EQ(receiver.GetOutputHookContent(), nullptr);
    EXPECT_EQ(receiver.GetOutputHookHeaders(), nullptr);
    EXPECT_EQ(receiver.SetContent(nullptr), -1);
  }
  // Only the update-header id is missing: no reader, no header writer, but the content writer works.
  CHookContentReceiver receiver(kPool, kHeaderId, kContentId, 999);
  EXPECT_EQ(receiver.Fail(), 1);
  EXPECT_EQ(receiver.GetHeaders(), nullptr);
  EXPECT_EQ(receiver.GetOutputHookHeaders(), nullptr);
  COutputHookContent* writer = receiver.GetOutputHookContent();
  ASSERT_NE(writer, nullptr);
  uint64_t written = 0;
  ASSERT_EQ(writer->Write(const_cast<char*>("new body"), 8, written), 0);
  EXPECT_EQ(receiver.SetContent(writer), 0);
  EXPECT_EQ(m_message.content->GetDataSize(), 8);
}

// Two requests naming the same resource: the second must not renew (re-map) a view the first
// reads through, so it is refused as busy until the first receiver ends; so is a request that
// names one resource twice.
TEST_F(Receiver, AResourceIsHeldByOneReceiverAtATime) {
  {
    CHookContentReceiver first(kPool, kHeaderId, kContentId, kUpdateHeaderId);
    ASSERT_EQ(first.Fail(), 0);
    CHookContentReceiver second(kPool, kHeaderId, kContentId, kUpdateHeaderId);
    EXPECT_EQ(second.GetError(), HOOK_ERR_RESOURCE_BUSY);
    EXPECT_EQ(ReadAll(first.GetContent()), kHookContent);
  }
  {
    CHookContentReceiver twice(kPool, kHeaderId, kContentId, kHeaderId);
    EXPECT_EQ(twice.GetError(), HOOK_ERR_RESOURCE_BUSY);
  }
  CHookContentReceiver next(kPool, kHeaderId, kContentId, kUpdateHeaderId);  // the refused gave back theirs
  EXPECT_EQ(ReadAll(next.GetContent()), kHookContent);
}

TEST_F(Receiver, CommittedWritesAreWhatTheNextReceiverReads) {
  const std::string hookHeaders(static_cast<char*>(m_message.header->GetDataBaseAddr()),
                                static_cast<size_t>(m_message.header->GetDataSize()));
  const auto newContent = Pattern(11, 5000);
  {
    CHookContentReceiver receiver(kPool, kHeaderId, kContentId, kUpdateHeaderId);
    ASSERT_EQ(receiver.Fail(), 0);
    EXPECT_EQ(ReadAll(receiver.GetContent()), kHookContent);
    EXPECT_EQ(receiver.GetContent()->GetRawMemoryBlock(), m_message.content->GetDataBaseAddr());  // in place
    COutputHookContent* writer = receiver.GetOutputHookContent();
    COutputHookHeaders* headers = receiver.GetOutputHookHeaders();
    ASSERT_TRUE(writer && headers);
    EXPECT_EQ(headers->GetDataBlock(), m_message.update->GetDataBaseAddr());
    // Writers that are not the receiver's own are refused and change nothing.
    COutputHookContentMMapResourceImp foreignContent(m_message.content);
    COutputHookHeadersImp foreignHeaders(64);
    DBG::CLogCapture capture;
    EXPECT_EQ(receiver.SetContent(&foreignContent), -1);
    EXPECT_EQ(receiver.SetHeaders(&foreignHeaders), -1);
    EXPECT_EQ(Reports(capture), Codes(2, Code(HOOK_ERR_INVALID_ARG, kReceiverUnit)));
    EXPECT_EQ(receiver.NeedUpdateContent() + receiver.NeedUpdateHeader(), 0);

    // Written but not yet committed: the bytes change, the data sizes do not.
    uint64_t written = 0;
    ASSERT_EQ(writer->Write(const_cast<unsigned char*>(newContent.data()), 5000, written), 0);
    ASSERT_EQ(headers->SetHeader(2, 43) | headers->SetHeader(3, u"scanned: clean"), 0);
    EXPECT_EQ(m_message.content->GetDataSize(), static_cast<int>(kHookContent.size()));
    EXPECT_EQ(m_message.update->GetDataSize(), 0);
    EXPECT_EQ(receiver.SetContent(writer), 0);
    EXPECT_EQ(receiver.SetHeaders(headers), 0);
    EXPECT_EQ(receiver.NeedUpdateContent() + receiver.NeedUpdateHeader(), 2);
    EXPECT_EQ(m_message.update->GetDataSize(), static_cast<int>(headers->GetDataLength()));
    receiver.CloseMemResourceDependonFileSize();  // small files: every view stays
  }
  EXPECT_TRUE(m_message.header->IsMapped() && m_message.content->IsMapped() && m_message.update->IsMapped());
  EXPECT_EQ(m_message.pool->GetFreeCount(), 3u);
  EXPECT_EQ(std::string(static_cast<char*>(m_message.header->GetDataBaseAddr()), hookHeaders.size()),
            hookHeaders);
  CHookContentReceiver again(kPool, kHeaderId, kContentId, kUpdateHeaderId);
  const std::string read = ReadAll(again.GetContent());
  EXPECT_EQ(std::vector<unsigned char>(read.begin(), read.end()), newContent);
}

TEST_F(Receiver, ACorruptSharedHeaderIsRefusedAndTheContentSurvives) {
  const auto fileSize = std::filesystem::file_size(m_dir.File("content"));
  // {offset of the field in the shared header, value}: data size beyond the file, beyond the
  // maximum, negative; header size not 548.
  const std::pair<size_t, int32_t> cases[] = {{20, 500000}, {20, 0x7FFFFFF0}, {20, -5}, {0, 0}};
  for (auto [offset, value] : cases) {
    SCOPED_TRACE(std::to_string(offset) + "=" + std::to_string(value));
    auto* header =
        static_cast<unsigned char*>(m_message.content->GetDataBaseAddr()) - CMemMapResource::kHeaderSize;
    int32_t saved = 0;
    std::memcpy(&saved, header + offset, 4);
    std::memcpy(header + offset, &value, 4);
    {
      DBG::CLogCapture capture;
      CHookContentReceiver receiver(kPool, kHeaderId, kContentId, kUpdateHeaderId);
      EXPECT_EQ(receiver.Fail(), 1);
      EXPECT_EQ(receiver.GetContent(), nullptr);
      EXPECT_EQ(Reports(capture), (Codes{Code(HOOK_ERR_GENERAL, "hook_MemMapResourcePool.cpp"),
                                         Code(HOOK_ERR_RESOURCE_NOT_FOUND, kReceiverUnit)}));
    }
    // Nothing was mapped or extended after the corrupt size.
    EXPECT_EQ(std::filesystem::file_size(m_dir.File("content")), fileSize);
    std::memcpy(header + offset, &saved, 4);
    CHookContentReceiver receiver(kPool, kHeaderId, kContentId, kUpdateHeaderId);
    EXPECT_EQ(ReadAll(receiver.GetContent()), kHookContent);
  }
}
