// The POSIX side of owner-only folders and files and of the SIGBUS guard.
#include "os/os_files.h"

#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <mutex>

namespace OS {

CFolderProblem PreparePrivateFolder(const std::filesystem::path& dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir.parent_path(), ec);
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
    return {CFolderProblem::CANNOT_CREATE, "cannot create " + dir.string()};
  struct stat st {};
  if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    return {CFolderProblem::UNSAFE, dir.string() + " is not a folder"};
  if (st.st_uid != geteuid() || (st.st_mode & 077) != 0)
    return {CFolderProblem::UNSAFE, dir.string() +
                                        " must be owned by this user with mode 0700 (it is owned by uid " +
                                        std::to_string(st.st_uid) + ")"};
  return {};
}

std::string PrivateFileProblem(const std::filesystem::path& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return path.string() + " cannot be examined";
  if (!S_ISREG(st.st_mode)) return path.string() + " is not a regular file";
  if (st.st_uid != geteuid()) return path.string() + " belongs to another user";
  if ((st.st_mode & 077) != 0) return path.string() + " is open to other users (mode must be 0600)";
  // Another name of the same file may lie outside the working folder (checking the name given
  // says nothing about it) and outlive this one.
  if (st.st_nlink > 1) return path.string() + " has other hard links";
  return {};
}

namespace {

thread_local volatile sig_atomic_t t_busGuards = 0;
thread_local volatile sig_atomic_t t_busFaulted = 0;
uintptr_t g_pageMask = 0;

void OnBusError(int, siginfo_t* info, void*) {
  if (t_busGuards > 0) {
    void* page = reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(info->si_addr) & g_pageMask);
    // Over the lost page only: the rest of the view stays as it was until its owner drops it.
    if (mmap(page, ~g_pageMask + 1, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) !=
        MAP_FAILED) {
      t_busFaulted = 1;
      return;
    }
  }
  // Not ours to mend: the faulting access runs again and the default action ends the process.
  signal(SIGBUS, SIG_DFL);
}

void InstallBusHandler() {
  static std::once_flag once;
  std::call_once(once, [] {
    g_pageMask = ~(static_cast<uintptr_t>(sysconf(_SC_PAGESIZE)) - 1);
    struct sigaction sa {};
    sa.sa_sigaction = OnBusError;
    sa.sa_flags = SA_SIGINFO;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGBUS, &sa, nullptr);
  });
}

}  // namespace

CBusGuard::CBusGuard() {
  InstallBusHandler();
  if (t_busGuards == 0) t_busFaulted = 0;
  t_busGuards = t_busGuards + 1;
}

CBusGuard::~CBusGuard() {
  t_busGuards = t_busGuards - 1;
}

bool CBusGuard::Faulted() const {
  return t_busFaulted != 0;
}

bool DescriptorsLeftFor(size_t resources) {
  constexpr size_t kReserve = 64;
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return true;
  size_t open = 0;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator("/proc/self/fd", ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
    ++open;
  return open + 3 * resources + kReserve <= static_cast<size_t>(limit.rlim_cur);
}

}  // namespace OS
