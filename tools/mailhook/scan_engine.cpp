// What both builds share: the verdict's header text, the built-in scan and where our own test
// signatures are.
#include "scan_engine.h"

#include <unistd.h>

#include <string_view>
#include <utility>

#include "messages.h"

namespace mailhook {

std::string ScanVerdict::HeaderText() const {
  std::string text = kind == kClean      ? "clean"
                     : kind == kInfected ? "infected: " + name
                                         : "not scanned: " + name;
  if (builtin) text += " (builtin)";
  return text;
}

namespace {

// A search of the raw bytes for the test string: it sees nothing that is encoded, packed or
// nested, which is why every verdict it gives says it came from here.
class CBuiltinScanEngine : public CScanEngine {
 public:
  explicit CBuiltinScanEngine(std::string why) : m_why(std::move(why)) {}
  ScanVerdict Scan(const void* data, size_t size) const override {
    ScanVerdict v;
    v.builtin = true;
    std::string_view haystack(static_cast<const char*>(data), size);
    if (size > 0 && haystack.find(TestVirusString()) != std::string_view::npos) {
      v.kind = ScanVerdict::kInfected;
      v.name = "EICAR-Test-File";
    }
    return v;
  }
  bool Reload(const ScanEngineOptions&, std::string&) override { return true; }
  std::string Describe() const override {
    return "built-in scan (" + m_why +
           "): the anti-virus test string in the raw bytes only, nothing encoded, packed or nested";
  }
  std::string Version() const override { return "built-in scan"; }

 private:
  std::string m_why;
};

}  // namespace

std::unique_ptr<CScanEngine> MakeBuiltinScanEngine(const std::string& why) {
  return std::make_unique<CBuiltinScanEngine>(why);
}

std::filesystem::path OwnSignatureDir() {
  std::error_code ec;
  auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    auto installed = self.parent_path().parent_path() / "share" / "mailhook" / "signatures";
    if (std::filesystem::is_directory(installed, ec)) return installed;
  }
  return MAILHOOK_SIGNATURE_DIR;
}

}  // namespace mailhook
