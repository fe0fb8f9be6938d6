// The demo's service: this same program run as `service --dir DIR --quiet ...` in a child process,
// its standard output on a pipe for the "ready" line, stopped as the user would stop it
// (SIGTERM on POSIX, RequestStop on Windows). One implementation per platform.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace mailhook {

class ServiceChild {
 public:
  // serviceArgs go after the service's own; throws std::runtime_error if the child cannot be
  // started.
  explicit ServiceChild(const std::filesystem::path& workDir,
                        const std::vector<std::string>& serviceArgs = {});
  ~ServiceChild();  // stops the child if it still runs
  ServiceChild(const ServiceChild&) = delete;
  ServiceChild& operator=(const ServiceChild&) = delete;

  // Waits for the service's "ready" line; false if it exited first.
  bool WaitReady();
  // Stops the child and returns its exit code (-1 if it did not exit normally).
  int Stop();

  struct Impl;

 private:
  Impl* m_pImpl;
};

}  // namespace mailhook
