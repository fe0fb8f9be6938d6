// Requests from a hostile hook, as the scanning service decodes them: the input is one or more
// request buffers (split at kNext), served in order by a fresh service that has adopted three
// real backing files as pool 1, so that registrations naming them can succeed and scans reach
// the handler. Every reply must be a known status and a count (a stats request: statistics that
// decode); nothing may crash or hang. The same bytes are also read as a stats reply, as the
// command's `stats` reads one from the service.
//
// MAILHOOK_SERVICE_FUZZ_SEEDS=DIR ./service_request_fuzz writes the seed corpus into DIR and exits.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include <mailhook/mh_Error.h>

#include "api/mh_Protocol.h"
#include "api/mh_ScanServiceRequests.h"
#include "api/mh_StatsRecorder.h"
#include "api/mh_Wire.h"
#include "headers/hook_HookHeadersImp.h"
#include "memmap/hook_MemMapResource.h"
#include "os/os_files.h"

using namespace mailhook;

namespace {

constexpr std::string_view kNext = "\xffNEXT\xff";
constexpr size_t kMostRequests = 16;
// Every request comes from the pool's own hook: one connection of one process.
constexpr CRPCPeer kHook{1, 1};
// The backing files, named relative to the scratch folder, which is the working folder.
const char16_t* const kFiles[] = {u"small-1.mmf", u"small-2.mmf", u"large-3.mmf"};

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

CIPCMsgBuffer Registration(int32_t pool, uint32_t generation) {
  CRegisterRequest r{pool, {}, generation};
  for (int32_t id = 1; id <= 3; ++id) r.entries.push_back({pool, id, kFiles[id - 1]});
  CIPCMsgBuffer b;
  Encode(r, b);
  return b;
}

CIPCMsgBuffer Scan(int32_t pool, int32_t sequence, const uint32_t* generation) {
  CIPCMsgBuffer b;
  Encode(CScanRequest{pool, 1, 2, 3, sequence, generation ? std::optional(*generation) : std::nullopt}, b);
  return b;
}

CIPCMsgBuffer Fence(int32_t pool, uint32_t generation) {
  CIPCMsgBuffer b;
  Encode(CFenceRequest{pool, generation, {1, 2, 3}}, b);
  return b;
}

void WriteSeed(const std::filesystem::path& dir, const char* name, std::vector<CIPCMsgBuffer> requests) {
  std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
  for (size_t i = 0; i < requests.size(); ++i) {
    if (i > 0) out << kNext;
    out.write(reinterpret_cast<const char*>(requests[i].GetData()),
              static_cast<std::streamsize>(requests[i].GetSize()));
  }
}

void WriteSeeds(const std::filesystem::path& dir) {
  const uint32_t early = 50, late = 150, later = 300;
  CIPCMsgBuffer unknown, outside, stats;
  unknown << int32_t{9} << int32_t{1};
  stats << int32_t{kCmdStats};
  Encode(CRegisterRequest{4, {{4, 1, u"../outside.mmf"}}, 0}, outside);
  WriteSeed(dir, "register", {Registration(1, later)});
  WriteSeed(dir, "register_scan", {Registration(2, late), Scan(2, 7, &later), Scan(1, 8, nullptr)});
  WriteSeed(dir, "scan", {Scan(1, 5, &late)});
  WriteSeed(dir, "scan_stale", {Scan(1, 6, &early)});
  WriteSeed(dir, "fence_scan", {Fence(1, later), Scan(1, 5, &late), Fence(3, later)});
  WriteSeed(dir, "unknown_outside", {unknown, outside});
  WriteSeed(dir, "stats_scan", {stats, Scan(1, 5, &late), stats});
}

// Touches what a scanning handler reads; the sequence's low bits choose its answer.
bool Handler(CScanMessage& message) {
  unsigned sum = 0;
  for (char c : message.Content()) sum += static_cast<unsigned char>(c);
  const CHeaderList& headers = message.Headers();
  if (const CHeaderValue* from = headers.Find(1); from != nullptr && !from->text.empty())
    sum += static_cast<unsigned char>(from->text[0]);
  sum += static_cast<unsigned>(headers.size());
  // Read in place, the list is the same records in the same order as its copy.
  size_t at = 0;
  message.ForEachHeader([&](const CHeaderField& field) {
    if (at >= headers.size() || !(field.Copy() == headers[at])) std::abort();
    ++at;
  });
  if (at != headers.size()) std::abort();
  message.SetAnswer(static_cast<int32_t>(sum));
  // The update list fills the room the hook's file has, and no more.
  try {
    for (int i = 0; i < 4; ++i) message.UpdateHeaders().AddText(200 + i, "verdict");
  } catch (const CMailhookError&) {
    return false;
  }
  if (message.Sequence() & 2) message.MarkInfected();
  return (message.Sequence() & 1) == 0;
}

void MakeBackingFiles() {
  for (int id = 1; id <= 3; ++id) {
    CMemMapResource r(kDefaultPoolId);
    Check(r.Open(id, id == 3 ? 1 : 0, kFiles[id - 1], 64 << 10, 1 << 20) == 0);
    if (id == 1) {
      COutputHookHeadersImp out(r.GetDataBaseAddr(), r.GetDataStorageSize());
      Check(out.SetHeader(1, "From: a@example.org") == 0 && out.SetHeader(2, int64_t{42}) == 0);
      Check(r.SetDataSize(static_cast<int>(out.GetDataLength())) == 0);
    }
    if (id == 2) {
      const std::string_view body = "Hello,\r\nthis is the content.\r\n";
      Check(r.Grow(static_cast<int>(body.size())) == 0);
      std::memcpy(r.GetDataBaseAddr(), body.data(), body.size());
      Check(r.SetDataSize(static_cast<int>(body.size())) == 0);
    }
    r.Close();
  }
}

bool KnownStatus(int32_t status) {
  switch (status) {
    case kStatusOk:
    case kStatusBadRequest:
    case kStatusFailed:
    case kStatusPoolUnknown:
    case kStatusResourceUnknown:
    case kStatusResourceBusy:
    case kStatusStale:
    case kStatusRefused:
    case kStatusTooManyPools:
    case kStatusNotOwner:
      return true;
    default:
      return false;
  }
}

void Serve(CScanService& service, const uint8_t* data, size_t size) {
  CIPCMsgBuffer request, reply;
  request.Load(data, size);
  int32_t command = 0;
  PeekCommand(request, command);
  request.Rewind();
  CScanServiceRequests::Handle(service, kHook, request, reply);
  // Whatever came in, the reply is one of the service's own, whole.
  if (command == kCmdScan) {
    CScanReply scan;
    Check(Decode(reply, scan) && KnownStatus(scan.status) &&
          (scan.status == kStatusOk || (scan.flags == 0 && scan.answer == 0)));
  } else if (command == kCmdRegisterPool) {
    CRegisterReply registration;
    Check(Decode(reply, registration) && KnownStatus(registration.status) && registration.adopted >= 0 &&
          registration.adopted <= static_cast<int32_t>(kMaxWireEntries) &&
          (registration.status == kStatusOk || registration.adopted == 0));
  } else if (command == kCmdStats) {
    CServiceStats stats;
    Check(DecodeStats(reply, stats));
  } else {
    CFenceReply other;
    Check(Decode(reply, other) && KnownStatus(other.status));
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  if (const char* seeds = std::getenv("MAILHOOK_SERVICE_FUZZ_SEEDS")) {
    WriteSeeds(seeds);
    std::exit(0);
  }
  // The working folder changes below: corpus folders and crash files stay where they were named.
  static std::vector<std::string> args;
  static std::vector<char*> pointers;
  const auto here = std::filesystem::current_path();
  bool prefixed = false;
  for (int i = 0; i < *argc; ++i) {
    std::string arg = (*argv)[i];
    if (i > 0 && !arg.empty() && arg[0] != '-') arg = (here / arg).string();
    prefixed = prefixed || arg.rfind("-artifact_prefix=", 0) == 0;
    args.push_back(arg);
  }
  if (!prefixed) args.push_back("-artifact_prefix=" + (here / "").string());
  for (auto& arg : args) pointers.push_back(arg.data());
  pointers.push_back(nullptr);
  *argc = static_cast<int>(args.size());
  *argv = pointers.data();
  const auto dir = std::filesystem::temp_directory_path() /
                   ("mailhook-service-fuzz-" + std::to_string(GetCurrentProcessId()));
  EnsurePrivateDir(dir);
  // Registrations name the files as the seeds do, relative to here.
  std::filesystem::current_path(dir);
  MakeBackingFiles();
  std::atexit([] {
    std::error_code ec;
    std::filesystem::remove_all(std::filesystem::temp_directory_path() /
                                    ("mailhook-service-fuzz-" + std::to_string(GetCurrentProcessId())),
                                ec);
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A fresh service per input: what one input registers or fences cannot leak into the next.
  CScanServiceOptions options;
  options.folder = std::filesystem::current_path();
  CScanService service(options, Handler);
  {
    CIPCMsgBuffer reply;
    CScanServiceRequests::Handle(service, kHook, Registration(kDefaultPoolId, 100), reply);
    CRegisterReply registered;
    Check(Decode(reply, registered) && registered.status == kStatusOk);
  }
  {
    // The same bytes as a stats reply, as `mailhook stats` reads one from the service's link.
    CIPCMsgBuffer foreign;
    foreign.Load(data, size);
    CServiceStats stats;
    (void)DecodeStats(foreign, stats);
  }
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  size_t start = 0;
  for (size_t n = 0; n < kMostRequests && start <= input.size(); ++n) {
    size_t end = input.find(kNext, start);
    if (end == std::string_view::npos) end = input.size();
    Serve(service, data + start, end - start);
    start = end + kNext.size();
  }
  return 0;
}
