// The message a service's handler reads: where its parts live while the handler runs (the
// receiver over the hook's three files, the content's view, the copies and the update writer made
// on the first call), shared by the service, which fills them in, and the message's accessors.
#pragma once

#include <mailhook/mh_HeaderList.h>
#include <mailhook/mh_ScanService.h>

#include <cstdint>
#include <optional>
#include <string_view>

#include "api/mh_HeaderListSink.h"
#include "content/hook_HookContentReceiver.h"

namespace mailhook {

// The update list goes into the room the hook's update file has: the receiver's writer over it.
class CUpdateSink final : public CHeaderListSink {
 public:
  explicit CUpdateSink(CHookContentReceiver& receiver) : m_Receiver(receiver) {}
  COutputHookHeaders* Writer() const { return m_pUpdates; }

 protected:
  bool Grow(uint64_t) override {
    if (m_pUpdates != nullptr) return false;  // full
    m_pUpdates = m_Receiver.GetOutputHookHeaders();
    if (m_pUpdates == nullptr) return false;
    SetWriter(static_cast<COutputHookHeadersImp*>(m_pUpdates), 0, false);
    return true;
  }

 private:
  CHookContentReceiver& m_Receiver;
  COutputHookHeaders* m_pUpdates = nullptr;  // the receiver's, made on the first record
};

struct CScanMessage::Parts {
  CHookContentReceiver* receiver = nullptr;
  std::string_view content;
  int32_t sequence = 0;
  int32_t answer = 0;
  bool infected = false;
  std::optional<CHeaderList> headers;  // parsed on the first look
  std::optional<CUpdateSink> updateSink;
  std::optional<CHeaderListWriter> updates;
};

}  // namespace mailhook
