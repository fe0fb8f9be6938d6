// One message carried between two real processes: this test plays the hook (creates the pool,
// writes headers and 20 MiB of content, records the data sizes), a child process plays the
// service (adopts the resources from the pool's export record, opens a receiver from the four
// numbers, reads, writes back 24 MiB and new headers, commits); the hook then renews its views
// and reads what the service wrote.
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "content/hook_HookContent.h"
#include "content/hook_HookContentReceiver.h"
#include "content_support.h"
#include "headers/hook_HookHeadersImp.h"
#include "pool/adopt_record.h"
#include "pool/hook_MemMapResourcePoolMgr.h"

using namespace contenttest;
using mhtest::TempDir;
namespace fs = std::filesystem;

namespace {

constexpr int kPoolId = 301;
constexpr size_t kChunk = 1u << 20, kSize = 20u << 20, kNewSize = 24u << 20;
constexpr uint32_t kSeed = 22, kNewSeed = 23;

// Empty when the list is the hook's (service: false) or the service's (true).
std::string CheckHeaders(CInputHookHeaders& in, bool service) {
  int value = 0;
  const char* text = nullptr;
  const char16_t* wide = nullptr;
  if (in.GetHeader(2, &value) != 0 || value != (service ? 102 : 2)) return "header 2";
  if (service) return in.GetHeader(5, &text) == 0 && in.GetHeaderCount() == 2 ? "" : "service headers";
  if (in.GetHeader(1, &text) != 0 || std::string(text) != "sender@example.org") return "header 1";
  if (in.GetHeader(3, &wide) != 0 || Wide(wide) != u"Subject: r\u00e9sum\u00e9") return "header 3";
  return in.GetHeaderCount() == 3 ? "" : "hook header count";
}

#define CHILD_CHECK(cond, what)                         \
  do {                                                  \
    if (!(cond)) {                                      \
      mhtest::TellParent(std::string("FAIL: ") + what); \
      return 1;                                         \
    }                                                   \
  } while (0)

}  // namespace

// The service: args[0] is the export record file.
MHTEST_CHILD(content_service) {
  CHILD_CHECK(AdoptFromRecord(args.at(0), *CMemMapResourcePoolMgr::Instance()->CreateResourcePool(kPoolId)),
              "adopting the resources");
  CMemMapResource* content =
      CMemMapResourcePoolMgr::Instance()->GetResourcePool(kPoolId)->FindResourceW(kContentId);
  auto receiver = std::make_unique<CHookContentReceiver>(kPoolId, kHeaderId, kContentId, kUpdateHeaderId);
  CHILD_CHECK(receiver->Fail() == 0, "receiver failed");
  CHILD_CHECK(CheckHeaders(*receiver->GetHeaders(), false).empty(), "hook headers");
  CInputHookContent* reader = receiver->GetContent();
  CHILD_CHECK(reader->GetRawMemoryBlock() == content->GetDataBaseAddr(), "content not read in place");
  CHILD_CHECK(reader->GetContentSize() == kSize, "content size");
  std::vector<unsigned char> in(kSize);
  uint64_t total = 0, read = 0;
  while (total < kSize && reader->Read(in.data() + total, kChunk, read) == 0) total += read;
  CHILD_CHECK(total == kSize && FirstMismatch(in.data(), kSize, kSeed) == kSize, "content bytes");

  COutputHookHeaders* out = receiver->GetOutputHookHeaders();
  CHILD_CHECK(out->SetHeader(2, 102) == 0 && out->SetHeader(5, "X-Scanned: clean") == 0, "writing headers");
  CHILD_CHECK(receiver->SetHeaders(out) == 0, "SetHeaders");
  // All but the last chunk copied in; the last produced in place.
  COutputHookContent* writer = receiver->GetOutputHookContent();
  const auto bytes = Pattern(kNewSeed, kNewSize);
  uint64_t written = 0;
  size_t done = 0;
  for (; kNewSize - done > kChunk; done += kChunk)
    CHILD_CHECK(writer->Write(const_cast<unsigned char*>(bytes.data()) + done, kChunk, written) == 0,
                "write");
  void* room = writer->ReserveWrite(kNewSize - done);
  CHILD_CHECK(room != nullptr, "ReserveWrite");
  std::memcpy(room, bytes.data() + done, kNewSize - done);
  CHILD_CHECK(receiver->SetContent(writer) == 0, "SetContent");
  receiver->CloseMemResourceDependonFileSize();
  mhtest::TellParent("committed " + std::to_string(out->GetDataLength()) + " mapped " +
                     std::to_string(content->IsMapped() ? 1 : 0));
  std::string line;
  CHILD_CHECK(mhtest::ReadParentLine(line) && line == "done", "parent line");

  // The next receiver on the same ids finds the closed resource again (its lookup renews it)
  // and reads what this one committed. The first ends first: it holds the ids.
  receiver.reset();
  receiver = std::make_unique<CHookContentReceiver>(kPoolId, kHeaderId, kContentId, kUpdateHeaderId);
  CHILD_CHECK(receiver->Fail() == 0 && content->IsMapped(), "receiver after the close");
  CHILD_CHECK(receiver->GetContent()->GetContentSize() == kNewSize &&
                  FirstMismatch(receiver->GetContent()->GetRawMemoryBlock(), kNewSize, kNewSeed) == kNewSize,
              "committed bytes");
  receiver.reset();
  CMemMapResourcePoolMgr::Instance()->Close();
  CMemMapResourcePoolMgr::CloseSingleton();
  return 0;
}

TEST(ContentExchange, TheServiceReadsAndRewritesAMessageInAnotherProcess) {
  TempDir dir;
  MessagePool mp(kPoolId, dir, 32u << 20);
  ASSERT_EQ(mp.pool->SetupSync(), 0);
  auto* info = mp.pool->ExportPoolRegisterInfo();
  ASSERT_NE(info, nullptr);
  std::ofstream(dir.File("pool.rec"), std::ios::binary)
      .write(reinterpret_cast<const char*>(info), info->iInfoSize);
  mp.pool->FreePoolRegisterInfo(info);

  COutputHookHeadersImp headers(mp.header->GetDataBaseAddr(), mp.header->GetDataStorageSize());
  ASSERT_EQ(headers.SetHeader(1, "sender@example.org") | headers.SetHeader(2, 2) |
                headers.SetHeader(3, u"Subject: r\u00e9sum\u00e9"),
            0);
  mp.header->SetDataSize(static_cast<int>(headers.GetDataLength()));
  const auto bytes = Pattern(kSeed, kSize);
  COutputHookContentMMapResourceImp writer(mp.content);
  uint64_t written = 0;
  for (size_t done = 0; done < kSize; done += written)
    ASSERT_EQ(writer.Write(const_cast<unsigned char*>(bytes.data()) + done, kChunk, written), 0);
  mp.content->SetDataSize(static_cast<int>(writer.GetContentSize()));
  const int hookView = mp.content->GetCurrentMapSize();

  mhtest::ChildProcess service("content_service", {dir.File("pool.rec").string()});
  std::string line;
  ASSERT_TRUE(service.ReadLine(line));
  ASSERT_EQ(line.rfind("committed ", 0), 0u) << line << service.ReadAllOutput();
  // Past the size limit the service's close by file size dropped its view.
  const bool pastLimit = fs::file_size(dir.File("content")) > mp.pool->GetMaxAllowedMemMapFileSize();
  EXPECT_EQ(line.substr(line.size() - 1), pastLimit ? "0" : "1");
  for (CMemMapResource* r : {mp.header, mp.content, mp.update}) ASSERT_EQ(r->RenewMemMap(), 0);
  EXPECT_EQ("committed " + std::to_string(mp.update->GetDataSize()), line.substr(0, line.find(" mapped")));
  CInputHookHeadersImp update(mp.update->GetDataBaseAddr(), mp.update->GetDataSize());
  CInputHookHeadersImp hook(mp.header->GetDataBaseAddr(), mp.header->GetDataSize());
  EXPECT_EQ(CheckHeaders(update, true), "");
  EXPECT_EQ(CheckHeaders(hook, false), "");
  // The data outgrew the hook's view: it maps exactly data + header now.
  EXPECT_LT(hookView, static_cast<int>(kNewSize));
  EXPECT_EQ(mp.content->GetCurrentMapSize(), static_cast<int>(kNewSize) + CMemMapResource::kHeaderSize);
  ASSERT_EQ(mp.content->GetDataSize(), static_cast<int>(kNewSize));
  EXPECT_EQ(FirstMismatch(mp.content->GetDataBaseAddr(), kNewSize, kNewSeed), kNewSize);
  ASSERT_TRUE(service.WriteLine("done"));
  EXPECT_EQ(service.Wait(), 0) << service.ReadAllOutput();
}
