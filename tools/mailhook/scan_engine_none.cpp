// A build without libclamav: every scan is the built-in one.
#include "scan_engine.h"

namespace mailhook {

std::unique_ptr<CScanEngine> MakeScanEngine(const ScanEngineOptions&) {
  return MakeBuiltinScanEngine("this build has no libclamav");
}

}  // namespace mailhook
