// The scanning engine of the mailhook service: one interface, a real engine (libclamav) where
// this build has one and the built-in search for the anti-virus test string where it does not.
// The engine belongs to the command, not to the library: a later service layer takes it as its
// handler.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

namespace mailhook {

struct ScanVerdict {
  enum Kind { kClean, kInfected, kUnscanned };
  Kind kind = kClean;
  std::string name;      // the signature (infected) or why the engine gave up (unscanned)
  bool builtin = false;  // decided by the built-in scan, not by the engine

  // The verdict header: "clean", "infected: <name>" or "not scanned: <why>", followed by
  // " (builtin)" for the built-in scan.
  std::string HeaderText() const;
};

struct ScanEngineOptions {
  // Signature folder. Empty: the system's folder when it holds databases, else our own test
  // signatures.
  std::filesystem::path db;
  // Engine limits; 0 keeps the engine's default.
  uint64_t maxScanSize = 0;  // bytes read in all, a message's inner files counted in
  uint64_t maxFileSize = 0;  // largest single file (a message or one of its parts)
  uint32_t maxRecursion = 0;
  uint32_t maxFiles = 0;
  // Milliseconds one scan may take. The service keeps it under the hooks' RPC time-out: a hook
  // that gave up on a reply hands the message's files to the next message while they are read.
  uint32_t maxScanTimeMs = 0;
  bool builtin = false;  // the built-in scan even where the engine is present
  // Where the engine writes the parts it decodes (it does, for mail): the service gives it an
  // owner-only folder in its runtime folder, a tmpfs, instead of the shared /tmp. Empty: /tmp.
  std::filesystem::path tempDir;
};

// Scans whole messages in place. Thread-safe: any number of threads scan at once, and Reload may
// run while they do; a scan under way finishes on the engine it started with, which is freed
// when the last such scan ends.
class CScanEngine {
 public:
  virtual ~CScanEngine() = default;
  // data is the message's raw bytes, read where they lie and never written.
  virtual ScanVerdict Scan(const void* data, size_t size) const = 0;
  // Loads the signature folder again, with options' folder and limits (an empty db: the one
  // chosen at start), and swaps the new engine in. False with the reason in error when the
  // databases do not load; the engine in use then stays, with its limits.
  virtual bool Reload(const ScanEngineOptions& options, std::string& error) = 0;
  // One line for the start-up and reload messages: what scans, with what signatures.
  virtual std::string Describe() const = 0;
  // What scanned, short, for the scan header: "libclamav 1.4.2, 27 signatures", "built-in scan".
  virtual std::string Version() const = 0;
};

// The real engine where this build has one and options.builtin is off, else the built-in scan.
// Throws std::runtime_error saying why when the signature databases cannot be loaded.
std::unique_ptr<CScanEngine> MakeScanEngine(const ScanEngineOptions& options);
// why says why the engine is not used, for the start-up line.
std::unique_ptr<CScanEngine> MakeBuiltinScanEngine(const std::string& why);
// The test signatures shipped with the command: installed beside it, else in the source tree.
std::filesystem::path OwnSignatureDir();

}  // namespace mailhook
