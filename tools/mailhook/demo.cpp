// `mailhook demo`: a service as a child process and a hook in this one, over the built-in
// messages (or an input), one line per message and a summary; both torn down at the end.
#include "demo.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "common.h"
#include "hook.h"

extern char** environ;

namespace mailhook {

namespace {

// The service child: started from this same executable, stopped with SIGTERM.
class ServiceChild {
 public:
  ServiceChild(const std::filesystem::path& workDir, const ScanEngineOptions& scan) {
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) throw std::runtime_error("cannot find this program");
    self[n] = 0;
    std::vector<std::string> args{self, "service", "--dir", workDir.string(), "--quiet"};
    auto limit = [&](const char* option, uint64_t value) {
      if (value != 0) args.insert(args.end(), {option, std::to_string(value)});
    };
    if (!scan.db.empty()) args.insert(args.end(), {"--db", scan.db.string()});
    limit("--max-scan-size", scan.maxScanSize);
    limit("--max-file-size", scan.maxFileSize);
    limit("--max-recursion", scan.maxRecursion);
    limit("--max-files", scan.maxFiles);
    limit("--max-scan-time", scan.maxScanTimeMs);
    if (scan.builtin) args.push_back("--builtin");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    int rc = posix_spawn(&m_pid, self, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (rc != 0) {
      close(fds[0]);
      throw std::runtime_error("cannot start the service");
    }
    m_out = fds[0];
  }
  ~ServiceChild() {
    Stop();
    if (m_out >= 0) close(m_out);
  }
  // Waits for the service's "ready" line; false if it exited first.
  bool WaitReady() {
    std::string line;
    char c;
    for (;;) {
      ssize_t n = read(m_out, &c, 1);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      if (c == '\n') {
        if (line == "ready") return true;
        line.clear();
      } else {
        line.push_back(c);
      }
    }
  }
  int Stop() {
    if (m_pid <= 0) return m_status;
    kill(m_pid, SIGTERM);
    int status = 0;
    while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
    m_pid = -1;
    m_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return m_status;
  }

 private:
  pid_t m_pid = -1;
  int m_out = -1;
  int m_status = -1;
};

}  // namespace

int RunDemo(const DemoOptions& options) {
  std::vector<Message> messages;
  try {
    messages = options.input.empty() ? BuiltinMessages() : LoadMessages(options.input);
    EnsurePrivateDir(RuntimeDir());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "mailhook demo: %s\n", e.what());
    return 2;
  }
  std::printf("mailhook demo: service and hook over %zu messages, %d hook threads, %s\n", messages.size(),
              options.hook.threads, StorageSummary(options.hook.workDir).c_str());
  std::fflush(stdout);

  RunSummary summary;
  int serviceStatus;
  {
    ServiceChild service(options.hook.workDir, options.scan);
    if (!service.WaitReady()) {
      std::fprintf(stderr,
                   "mailhook demo: the service did not start (another one running? signatures that do "
                   "not load?)\n");
      return 2;
    }
    {
      HookRunner hook(options.hook);
      try {
        hook.Setup();
      } catch (const std::exception& e) {
        std::fprintf(stderr, "mailhook demo: %s\n", e.what());
        return 2;
      }
      std::printf("%5s  %-24s %10s  %11s  %-38s %s\n", "#", "message", "size", "", "verdict", "change");
      summary = hook.Run(messages, [](const MessageResult& r) { PrintResult(r); });
    }
    serviceStatus = service.Stop();
  }
  PrintSummary(summary);
  if (serviceStatus != 0) std::fprintf(stderr, "mailhook demo: the service exited with %d\n", serviceStatus);
  return summary.failed == 0 && serviceStatus == 0 ? 0 : 1;
}

}  // namespace mailhook
