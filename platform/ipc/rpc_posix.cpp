// The RPC endpoint on POSIX: the owner-only runtime folder and the socket's name in it. The
// sockets themselves are rpc_transport_posix.cpp's.
#include <fcntl.h>
#include <pwd.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "ipc/rpc_internal.h"
#include "ipc/rpc_posix.h"
#include "os/os_eintr.h"

namespace IPC {

std::string ErrnoText(const char* what, int err) {
  return std::string(what) + ": " + std::strerror(err);
}

[[noreturn]] void ThrowSystem(const char* what, int err) {
  throw CRPCError(CRPCError::SYSTEM, ErrnoText(what, err));
}

void CheckRuntimeDir(const std::string& path) {
  // What to do about it: the same folder must serve the service and its hooks, so none other is
  // picked behind the administrator's back.
  const std::string remedy =
      "; set MAILHOOK_RUNTIME_DIR (or XDG_RUNTIME_DIR) to a folder of this user's own, the same for the "
      "service and its hooks, or have an administrator remove " +
      path;
  struct stat st;
  if (lstat(path.c_str(), &st) != 0)
    throw CRPCError(CRPCError::RUNTIME_DIR, ErrnoText(("RPC runtime folder " + path).c_str(), errno));
  if (!S_ISDIR(st.st_mode))
    throw CRPCError(CRPCError::RUNTIME_DIR, "RPC runtime folder " + path + " is not a directory" + remedy);
  if (st.st_uid != geteuid())
    throw CRPCError(CRPCError::RUNTIME_DIR, "RPC runtime folder " + path + " belongs to another user (uid " +
                                                std::to_string(st.st_uid) + ")" + remedy);
  if ((st.st_mode & 077) != 0)
    throw CRPCError(CRPCError::RUNTIME_DIR,
                    "RPC runtime folder " + path + " is open to other users" + remedy);
}

}  // namespace IPC

namespace {

using IPC::ErrnoText;
using IPC::ThrowSystem;
// Every call that can be interrupted goes through here, so EINTR never surfaces as a failure.
using OS::RetryOnEintr;

// The user's home folder: $HOME, else the one the user database names.
std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  if (home && home[0] == '/') return home;
  passwd entry{}, *found = nullptr;
  std::vector<char> buffer(16384);
  if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir)
    return found->pw_dir;
  return {};
}

// 32 hex digits from the system's random source; empty if it gives none.
std::string RandomKey() {
  unsigned char bytes[16];
  if (getrandom(bytes, sizeof(bytes), 0) != static_cast<ssize_t>(sizeof(bytes))) return {};
  static const char hex[] = "0123456789abcdef";
  std::string key;
  for (unsigned char b : bytes) key += {hex[b >> 4], hex[b & 15]};
  return key;
}

// The key in a file, if it is one (owner-only, ours, 32 hex digits); empty otherwise.
std::string ReadKey(const std::string& file) {
  int fd = RetryOnEintr([&] { return open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC); });
  if (fd < 0) return {};
  struct stat st;
  char text[33] = {};
  const bool mine =
      fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 077) == 0;
  const ssize_t n = mine ? RetryOnEintr([&] { return read(fd, text, 32); }) : -1;
  close(fd);
  if (n != 32) return {};
  for (char c : std::string_view(text, 32))
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return {};
  return std::string(text, 32);
}

// A folder name in /dev/shm that no other user can know, and so cannot take first:
// "mailhook-<uid>-<key>", the key a random number kept owner-only in ~/.mailhook/runtime-key.
// The first process of the user to look makes the key; every later one (the service and its
// hooks alike) reads the same. Throws CRPCError(RUNTIME_DIR) when the user has no home folder
// closed to others to keep it in.
std::string UnguessableShmDir(const std::string& uid) {
  const std::string remedy =
      "; set MAILHOOK_RUNTIME_DIR to a folder of this user's own, the same for the "
      "service and its hooks";
  const std::string home = HomeFolder();
  struct stat st;
  // Others who may write the home folder could put their own key (or a link) in our place.
  if (home.empty() || lstat(home.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
      (st.st_uid != geteuid() && st.st_uid != 0) || (st.st_mode & 022) != 0)
    throw CRPCError(CRPCError::RUNTIME_DIR, "no runtime folder: there is no /run/user/" + uid +
                                                ", and no home folder closed to other users (" + home +
                                                ") to keep the key of one in /dev/shm" + remedy);
  const std::string folder = home + "/.mailhook", file = folder + "/runtime-key";
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
    throw CRPCError(CRPCError::RUNTIME_DIR, ErrnoText(("create " + folder).c_str(), errno) + remedy);
  if (lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid() ||
      (st.st_mode & 077) != 0)
    throw CRPCError(CRPCError::RUNTIME_DIR,
                    folder + " must be a folder of this user's own, mode 0700" + remedy);
  std::string key = ReadKey(file);
  if (key.empty()) {
    // Written whole under a name of its own, then linked into place: a racing process either
    // links first or reads the winner's key, never half a key.
    const std::string fresh = RandomKey(),
                      draft = file + "." + std::to_string(getpid()) + "." + std::to_string(gettid());
    int fd = RetryOnEintr(
        [&] { return open(draft.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600); });
    const bool written = fd >= 0 && fresh.size() == 32 &&
                         RetryOnEintr([&] { return write(fd, fresh.data(), fresh.size()); }) == 32;
    if (fd >= 0) close(fd);
    if (written && link(draft.c_str(), file.c_str()) != 0 && errno != EEXIST) {
      unlink(draft.c_str());
      throw CRPCError(CRPCError::RUNTIME_DIR, ErrnoText(("create " + file).c_str(), errno) + remedy);
    }
    unlink(draft.c_str());
    key = ReadKey(file);
  }
  if (key.empty())
    throw CRPCError(
        CRPCError::RUNTIME_DIR,
        file + " is not a key of this user's own (32 hex digits, mode 0600)" + remedy + ", or remove it");
  return "/dev/shm/mailhook-" + uid + "-" + key;
}

}  // namespace

namespace IPC {

std::string GetRuntimeDir() {
  const char* dir = std::getenv("MAILHOOK_RUNTIME_DIR");
  if (dir && *dir) return dir;
  const char* xdg = std::getenv("XDG_RUNTIME_DIR");
  if (xdg && *xdg) return std::string(xdg) + "/mailhook";
  // A service started outside a login session has no XDG_RUNTIME_DIR, but the per-user folder
  // the system keeps in /run/user may still be there, and nobody else can make names in it.
  const std::string uid = std::to_string(geteuid());
  struct stat st;
  const std::string user = "/run/user/" + uid;
  if (lstat(user.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
      (st.st_mode & 022) == 0)
    return user + "/mailhook";
  // Every user can make names in /dev/shm: a name others can work out (the uid alone) could be
  // taken first, and the service could never start.
  return UnguessableShmDir(uid);
}

std::string PrepareRuntimeDir() {
  std::string path = GetRuntimeDir();
  if (mkdir(path.c_str(), 0700) == 0) {
    // The umask may have taken bits away; the folder must be exactly owner-only.
    if (chmod(path.c_str(), 0700) != 0) ThrowSystem("chmod runtime folder", errno);
  } else if (errno != EEXIST) {
    throw CRPCError(CRPCError::RUNTIME_DIR, ErrnoText(("create RPC runtime folder " + path).c_str(), errno));
  }
  CheckRuntimeDir(path);
  return path;
}

std::string SocketPath(const CComponentID& component) {
  return GetRuntimeDir() + "/" + ComponentFileName(component) + ".sock";
}

}  // namespace IPC
