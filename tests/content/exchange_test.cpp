// One message carried between two real processes: this test plays the hook (creates the pool,
// writes headers and content, records the data sizes), a child process plays the service (adopts
// the resources from the pool's export record, opens a receiver from the four numbers, reads,
// writes back and commits); the hook then renews its views and reads what the service wrote.
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "content/hook_HookContent.h"
#include "content/hook_HookContentReceiver.h"
#include "content_support.h"
#include "foundation/hook_Log.h"
#include "headers/hook_HookHeadersImp.h"
#include "pool/hook_MemMapResourcePoolMgr.h"

using namespace contenttest;
using mhtest::TempDir;
namespace fs = std::filesystem;

namespace {

constexpr int kPoolId = 301;
constexpr size_t kChunk = 1u << 20;

// The header list each side writes for message n; the service's list changes header 2 and
// adds header 5.
int WriteHookHeaders(COutputHookHeaders& out, int n) {
  return out.SetHeader(1, "sender@example.org") | out.SetHeader(2, n) |
         out.SetHeader(3, u"Subject: r\u00e9sum\u00e9");
}
int WriteServiceHeaders(COutputHookHeaders& out, int n) {
  return out.SetHeader(2, n + 100) | out.SetHeader(5, "X-Scanned: clean");
}
// Empty when the list is the hook's (service: false) or the service's (true) for message n.
std::string CheckHeaders(CInputHookHeaders& in, int n, bool service) {
  int value = 0;
  const char* text = nullptr;
  const char16_t* wide = nullptr;
  if (in.GetHeader(2, &value) != 0 || value != (service ? n + 100 : n)) return "header 2";
  if (service) {
    if (in.GetHeader(5, &text) != 0 || std::string(text) != "X-Scanned: clean") return "header 5";
    if (in.GetHeaderCount() != 2) return "service header count";
    return "";
  }
  if (in.GetHeader(1, &text) != 0 || std::string(text) != "sender@example.org") return "header 1";
  if (in.GetHeader(3, &wide) != 0 || Wide(wide) != u"Subject: r\u00e9sum\u00e9") return "header 3";
  if (in.GetHeaderCount() != 3) return "hook header count";
  return "";
}

std::vector<std::string> Split(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> out;
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

// Adopts every resource listed in the export record file into this process's pool.
bool AdoptFromRecord(const std::string& path, int poolId) {
  std::error_code ec;
  const auto length = fs::file_size(path, ec);
  if (ec || length > (1u << 20)) return false;
  std::string bytes(static_cast<size_t>(length), '\0');
  std::ifstream(path, std::ios::binary).read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  int32_t head[2] = {};
  if (bytes.size() < 8) return false;
  std::memcpy(head, bytes.data(), 8);
  if (head[1] < 1 || static_cast<size_t>(head[0]) != bytes.size() ||
      CMemMapResourcePool::CResPoolRegisterInfo::BlockSize(static_cast<size_t>(head[1])) != bytes.size())
    return false;
  CMemMapResourcePool* pool = CMemMapResourcePoolMgr::Instance()->CreateResourcePool(poolId);
  for (int i = 0; i < head[1]; ++i) {
    CMemMapResourcePool::CResRegisterEntry entry{};
    std::memcpy(static_cast<void*>(&entry), bytes.data() + 8 + sizeof(entry) * static_cast<size_t>(i),
                sizeof(entry));
    CMemMapResource* r = pool->CreateResource();
    if (entry.iResourcePoolId != poolId ||
        r->OpenExisting(entry.iResourceId, entry.szBackingStoreName) != 0 || pool->AddResource(r) != 0)
      return false;
  }
  return true;
}

#define CHILD_CHECK(cond, ...)                                   \
  do {                                                           \
    if (!(cond)) {                                               \
      mhtest::TellParent(std::string("FAIL: ") + (__VA_ARGS__)); \
      return 1;                                                  \
    }                                                            \
  } while (0)

}  // namespace

// The service. args: record file, pool id, header id, content id, update-header id, message
// number, content size and seed written by the hook, new content size and seed (size 0: the
// content is left alone).
MHTEST_CHILD(content_service) {
  CHILD_CHECK(args.size() == 10, "arguments");
  const int poolId = std::stoi(args[1]);
  const int n = std::stoi(args[5]);
  const size_t size = std::stoul(args[6]), newSize = std::stoul(args[8]);
  const auto seed = static_cast<uint32_t>(std::stoul(args[7])),
             newSeed = static_cast<uint32_t>(std::stoul(args[9]));
  CHILD_CHECK(AdoptFromRecord(args[0], poolId), "adopting the resources");
  {
    auto receiver = std::make_unique<CHookContentReceiver>(poolId, std::stoi(args[2]), std::stoi(args[3]),
                                                           std::stoi(args[4]));
    CHILD_CHECK(receiver->Fail() == 0, "receiver failed");
    const std::string headers = CheckHeaders(*receiver->GetHeaders(), n, false);
    CHILD_CHECK(headers.empty(), "hook headers: " + headers);

    CInputHookContent* reader = receiver->GetContent();
    CMemMapResource* content =
        CMemMapResourcePoolMgr::Instance()->GetResourcePool(poolId)->FindResourceW(std::stoi(args[3]));
    CHILD_CHECK(reader->GetRawMemoryBlock() == content->GetDataBaseAddr(), "content not read in place");
    CHILD_CHECK(reader->GetContentSize() == size, "content size " + std::to_string(reader->GetContentSize()));
    std::vector<unsigned char> in(size);
    uint64_t total = 0, read = 0;
    while (total < size) {
      CHILD_CHECK(reader->Read(in.data() + total, kChunk, read) == 0, "read");
      total += read;
    }
    CHILD_CHECK(FirstMismatch(in.data(), size, seed) == size, "content bytes");

    COutputHookHeaders* out = receiver->GetOutputHookHeaders();
    CHILD_CHECK(out != nullptr && WriteServiceHeaders(*out, n) == 0, "writing headers");
    CHILD_CHECK(receiver->SetHeaders(out) == 0, "SetHeaders");

    if (newSize > 0) {
      COutputHookContent* writer = receiver->GetOutputHookContent();
      const auto bytes = Pattern(newSeed, newSize);
      uint64_t written = 0;
      // All but the last chunk copied in; the last produced in place.
      size_t done = 0;
      for (; newSize - done > kChunk; done += kChunk)
        CHILD_CHECK(writer->Write(const_cast<unsigned char*>(bytes.data()) + done, kChunk, written) == 0,
                    "write");
      void* room = writer->ReserveWrite(newSize - done);
      CHILD_CHECK(room != nullptr, "ReserveWrite");
      std::memcpy(room, bytes.data() + done, newSize - done);
      CHILD_CHECK(receiver->SetContent(writer) == 0, "SetContent");
    }
    mhtest::TellParent("committed " + std::to_string(receiver->NeedUpdateHeader()) + " " +
                       std::to_string(receiver->NeedUpdateContent()) + " " +
                       std::to_string(receiver->GetOutputHookHeaders()->GetDataLength()));
    receiver->CloseMemResourceDependonFileSize();
    mhtest::TellParent("content mapped " + std::to_string(content->IsMapped() ? 1 : 0));
    std::string line;
    CHILD_CHECK(mhtest::ReadParentLine(line) && line == "done", "parent line");

    // The next receiver on the same ids finds a closed resource again (its lookup re-opens and
    // renews it) and reads what this one committed. The first ends first: it holds the ids.
    receiver.reset();
    receiver = std::make_unique<CHookContentReceiver>(poolId, std::stoi(args[2]), std::stoi(args[3]),
                                                      std::stoi(args[4]));
    CHILD_CHECK(receiver->Fail() == 0 && content->IsMapped(), "receiver after the close");
    const size_t committed = newSize > 0 ? newSize : size;
    CHILD_CHECK(receiver->GetContent()->GetContentSize() == committed, "committed size");
    CHILD_CHECK(FirstMismatch(receiver->GetContent()->GetRawMemoryBlock(), committed,
                              newSize > 0 ? newSeed : seed) == committed,
                "committed bytes");
    const std::string again = CheckHeaders(*receiver->GetHeaders(), n, false);
    CHILD_CHECK(again.empty(), "hook headers after the close: " + again);
  }
  CMemMapResourcePoolMgr::Instance()->Close();
  CMemMapResourcePoolMgr::CloseSingleton();
  return 0;
}

namespace {

// The hook's side of one message: resources acquired from the pool, headers and content
// written, each length recorded as the data size.
struct HookMessage {
  CMemMapResource* header = nullptr;
  CMemMapResource* content = nullptr;
  CMemMapResource* update = nullptr;
  int growLines = 0;
};

void WriteMessage(CMemMapResourcePool* pool, int n, size_t size, uint32_t seed, HookMessage& m) {
  m.header = pool->AcquireResource(SIZE_TYPE_SMALL);
  m.content = pool->AcquireResource(SIZE_TYPE_LARGE);
  m.update = pool->AcquireResource(SIZE_TYPE_SMALL);
  ASSERT_TRUE(m.header && m.content && m.update);
  ASSERT_EQ(m.content->GetResourceId(), kContentId);
  COutputHookHeadersImp headers(m.header->GetDataBaseAddr(), m.header->GetDataStorageSize());
  ASSERT_EQ(WriteHookHeaders(headers, n), 0);
  m.header->SetDataSize(static_cast<int>(headers.GetDataLength()));

  const auto bytes = Pattern(seed, size);
  DBG::CLogCapture capture;
  COutputHookContentMMapResourceImp writer(m.content);
  uint64_t written = 0;
  for (size_t done = 0; done < size; done += written)
    ASSERT_EQ(
        writer.Write(const_cast<unsigned char*>(bytes.data()) + done, std::min(kChunk, size - done), written),
        0);
  for (const auto& text : capture.Texts(LOG_TRACE_DETAIL))
    if (text.rfind("CMemMapResource::Grow(), ", 0) == 0) ++m.growLines;
  m.content->SetDataSize(static_cast<int>(writer.GetContentSize()));
  ASSERT_EQ(m.content->GetDataSize(), static_cast<int>(size));
}

void Release(CMemMapResourcePool* pool, HookMessage& m) {
  for (CMemMapResource* r : {m.header, m.content, m.update}) pool->ReleaseResource(r);
}

std::vector<std::string> ServiceArgs(const TempDir& dir, const HookMessage& m, int n, size_t size,
                                     uint32_t seed, size_t newSize, uint32_t newSeed) {
  return {dir.File("pool.rec").string(),
          std::to_string(kPoolId),
          std::to_string(m.header->GetResourceId()),
          std::to_string(m.content->GetResourceId()),
          std::to_string(m.update->GetResourceId()),
          std::to_string(n),
          std::to_string(size),
          std::to_string(seed),
          std::to_string(newSize),
          std::to_string(newSeed)};
}

std::string HeaderListCheck(CMemMapResource* r, int n, bool service) {
  CInputHookHeadersImp in(r->GetDataBaseAddr(), r->GetDataSize());
  return CheckHeaders(in, n, service);
}

}  // namespace

TEST(ContentExchange, TheServiceReadsAndRewritesAMessageInAnotherProcess) {
  TempDir dir;
  CMemMapResourcePool* pool = CMemMapResourcePoolMgr::Instance()->CreateResourcePool(kPoolId);
  CMemMapResource* made[] = {OpenResource(pool, dir, "header", kHeaderId, SIZE_TYPE_SMALL, 1u << 20),
                             OpenResource(pool, dir, "content", kContentId, SIZE_TYPE_LARGE, 32u << 20),
                             OpenResource(pool, dir, "update", kUpdateHeaderId, SIZE_TYPE_SMALL, 1u << 20)};
  for (CMemMapResource* r : made) ASSERT_EQ(pool->AddResource(r), 0);
  ASSERT_EQ(pool->SetupSync(), 0);
  auto* info = pool->ExportPoolRegisterInfo();
  ASSERT_NE(info, nullptr);
  std::ofstream(dir.File("pool.rec"), std::ios::binary)
      .write(reinterpret_cast<const char*>(info), info->iInfoSize);
  pool->FreePoolRegisterInfo(info);
  std::string line;

  // Message 1: a few bytes; the service changes only the headers.
  {
    HookMessage m;
    WriteMessage(pool, 1, 5, 21, m);
    mhtest::ChildProcess service("content_service", ServiceArgs(dir, m, 1, 5, 21, 0, 0));
    ASSERT_TRUE(service.ReadLine(line));
    const auto words = Split(line);
    ASSERT_EQ(words.size(), 4u) << line << service.ReadAllOutput();
    EXPECT_EQ(words[1] + words[2], "10");  // headers committed, content not
    for (CMemMapResource* r : {m.header, m.content, m.update}) ASSERT_EQ(r->RenewMemMap(), 0);
    EXPECT_EQ(m.update->GetDataSize(), std::stoi(words[3]));
    EXPECT_EQ(HeaderListCheck(m.update, 1, true), "");
    EXPECT_EQ(HeaderListCheck(m.header, 1, false), "");
    EXPECT_EQ(m.content->GetDataSize(), 5);
    EXPECT_EQ(FirstMismatch(m.content->GetDataBaseAddr(), 5, 21), 5u);
    ASSERT_TRUE(service.WaitForLine("content mapped 1"));
    ASSERT_TRUE(service.WriteLine("done"));
    EXPECT_EQ(service.Wait(), 0) << service.ReadAllOutput();
    Release(pool, m);
  }

  // Message 2: 20 MiB, grown several times on the way; the service writes back 24 MiB.
  {
    const size_t size = 20u << 20, newSize = 24u << 20;
    HookMessage m;
    WriteMessage(pool, 2, size, 22, m);
    EXPECT_GE(m.growLines, 3);
    const int hookView = m.content->GetCurrentMapSize();
    mhtest::ChildProcess service("content_service", ServiceArgs(dir, m, 2, size, 22, newSize, 23));
    ASSERT_TRUE(service.ReadLine(line));
    const auto words = Split(line);
    ASSERT_EQ(words.size(), 4u) << line << service.ReadAllOutput();
    EXPECT_EQ(words[1] + words[2], "11");
    // The service's file is past the size limit: its close by file size dropped the view.
    const bool pastLimit = fs::file_size(dir.File("content")) > pool->GetMaxAllowedMemMapFileSize();
    ASSERT_TRUE(service.WaitForLine(pastLimit ? "content mapped 0" : "content mapped 1"));

    for (CMemMapResource* r : {m.header, m.content, m.update}) ASSERT_EQ(r->RenewMemMap(), 0);
    EXPECT_EQ(m.update->GetDataSize(), std::stoi(words[3]));
    EXPECT_EQ(HeaderListCheck(m.update, 2, true), "");
    EXPECT_EQ(HeaderListCheck(m.header, 2, false), "");
    // The data outgrew the hook's view: it maps exactly data + header now.
    EXPECT_LT(hookView, static_cast<int>(newSize));
    EXPECT_EQ(m.content->GetCurrentMapSize(), static_cast<int>(newSize) + CMemMapResource::kHeaderSize);
    ASSERT_EQ(m.content->GetDataSize(), static_cast<int>(newSize));
    EXPECT_EQ(FirstMismatch(m.content->GetDataBaseAddr(), newSize, 23), newSize);
    ASSERT_TRUE(service.WriteLine("done"));
    EXPECT_EQ(service.Wait(), 0) << service.ReadAllOutput();
    Release(pool, m);
  }
  CMemMapResourcePoolMgr::Instance()->CloseResourcePool(kPoolId);
}
