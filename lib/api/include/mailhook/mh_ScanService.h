// The service's side of the layer: listens for hooks, adopts their pools (only owner-only files
// inside its folder, within its descriptors, read under the guard against files cut short) and
// calls a handler for each message with the header list and a view of the content, where it lies
// in the hook's backing files, and a way to write update headers and new content back.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include <mailhook/mailhook_export.h>
#include <mailhook/mh_HeaderList.h>
#include <mailhook/mh_Stats.h>

namespace mailhook {

// One message as the handler sees it. Valid during the handler's call only.
class MAILHOOK_API CScanMessage {
 public:
  // The hook's header list, read once from its file on the first call and copied out.
  const CHeaderList& Headers() const;
  // Calls visit(const CHeaderField&) for each record of the hook's header list, in the order
  // Headers() has them, read in place: no copy and no allocation per record (a handler that reads
  // every header of every message pays for nothing else).
  template <typename Visit>
  void ForEachHeader(Visit&& visit) const {
    VisitHeaders(
        [](void* context, const CHeaderField& field) {
          (*static_cast<std::remove_reference_t<Visit>*>(context))(field);
        },
        &visit);
  }
  std::string_view Content() const;  // the content, read in place
  int32_t Sequence() const;          // as the hook sent it
  // The update header list the hook reads back, written in place into its file (TOO_LARGE past
  // the room the file has); sent to the hook when the handler returns true.
  CHeaderListWriter& UpdateHeaders();
  // Replaces the content; false when it cannot be written (the hook's file cannot grow so far).
  bool ReplaceContent(std::string_view content);
  // Sets kInfected in the reply's flags.
  void MarkInfected();
  // A number of the handler's own sent back with the reply (a checksum, a verdict code); 0 unless set.
  void SetAnswer(int32_t value);

 private:
  friend class CScanService;
  struct Parts;
  void VisitHeaders(void (*visit)(void* context, const CHeaderField& field), void* context) const;
  explicit CScanMessage(Parts& parts) : m_parts(parts) {}
  Parts& m_parts;
};

struct CScanServiceOptions {
  std::filesystem::path folder;  // backing files named by a registration must lie inside it
  // Where the service says what it refused or dropped (one line each, no newline); null: nowhere.
  std::function<void(const std::string&)> log;
  // Called after each step ("adopted", "receiver"), for tests that stop the service between them.
  std::function<void(const char*)> onStep;
  // The handler's own counters (by name: lower case, digits and '_'), added to every statistics
  // snapshot (Stats(), QueryServiceStats()); null: none.
  std::function<std::vector<std::pair<std::string, uint64_t>>()> counters;
};

class MAILHOOK_API CScanService {
 public:
  // False when the message could not be scanned: the hook gets kStatusFailed. Called from many
  // connection threads at once.
  using Handler = std::function<bool(CScanMessage&)>;

  CScanService(const CScanServiceOptions& options, Handler handler);
  ~CScanService();  // stops listening and drops the adopted pools
  CScanService(const CScanService&) = delete;
  CScanService& operator=(const CScanService&) = delete;

  // Listens as the scanning service. Throws CMailhookError (REFUSED: another service listens).
  void Start();
  // Start, then serve until Stop is called from another thread.
  void Run();
  void Stop();

  // Requests that failed for the layer's reasons (unknown or busy resources, files cut short)
  // or the handler's.
  uint64_t Failed() const;
  // What the service has done since it started (mh_Stats.h); any thread, any time.
  CServiceStats Stats() const;

 private:
  friend class CScanServiceRequests;  // internal: serves requests without a link
  struct Serving;
  Serving* m_pServing;
};

}  // namespace mailhook
