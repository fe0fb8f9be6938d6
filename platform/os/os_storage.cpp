#include "os/os_storage.h"

#if defined(__linux__)
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#elif defined(_WIN32)
#include <windows.h>

#include <filesystem>
#endif

namespace OS {

#if defined(__linux__)
namespace {

// The kilobytes of the mapping at addr that the kernel maps with huge pages, from smaps.
long PmdMappedKiB(const void* addr) {
  std::ifstream smaps("/proc/self/smaps");
  char start[32];
  std::snprintf(start, sizeof start, "%lx-", reinterpret_cast<unsigned long>(addr));
  std::string line;
  bool inside = false;
  while (std::getline(smaps, line)) {
    if (line.find('-') != std::string::npos && line.find(':') > line.find(' '))
      inside = line.rfind(start, 0) == 0;
    if (!inside) continue;
    for (const char* key : {"ShmemPmdMapped:", "FilePmdMapped:"})
      if (line.rfind(key, 0) == 0) {
        long kib = std::atol(line.c_str() + std::char_traits<char>::length(key));
        if (kib > 0) return kib;
      }
  }
  return 0;
}

bool NewFilesGetHugePages(const std::string& folder) {
  std::string path = folder + "/.mailhook-pagecheck-XXXXXX";
  int fd = mkostemp(path.data(), O_CLOEXEC);
  if (fd < 0) return false;
  unlink(path.c_str());
  constexpr size_t kSize = 4u << 20;
  bool huge = false;
  if (fallocate(fd, 0, 0, kSize) == 0) {
    void* view = mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (view != MAP_FAILED) {
      for (size_t at = 0; at < kSize; at += 4096) static_cast<volatile char*>(view)[at] = 0;
      huge = PmdMappedKiB(view) > 0;
      munmap(view, kSize);
    }
  }
  close(fd);
  return huge;
}

std::string FileSystemName(long type) {
  switch (type) {
    case TMPFS_MAGIC:
      return "tmpfs";
    case EXT4_SUPER_MAGIC:
      return "ext4";
    case XFS_SUPER_MAGIC:
      return "xfs";
    case BTRFS_SUPER_MAGIC:
      return "btrfs";
    case OVERLAYFS_SUPER_MAGIC:
      return "overlay";
    case NFS_SUPER_MAGIC:
      return "nfs";
    default: {
      std::ostringstream hex;
      hex << "file system 0x" << std::hex << type;
      return hex.str();
    }
  }
}

}  // namespace

CFolderStorage DescribeFolderStorage(const std::string& folder) {
  CFolderStorage result;
  struct statfs fs {};
  if (statfs(folder.c_str(), &fs) != 0) {
    result.m_strFileSystem = "unknown";
    return result;
  }
  result.m_strFileSystem = FileSystemName(static_cast<long>(fs.f_type));
  result.m_bInMemory = fs.f_type == TMPFS_MAGIC;
  result.m_bHugePages = result.m_bInMemory && NewFilesGetHugePages(folder);
  return result;
}
#elif defined(_WIN32)
CFolderStorage DescribeFolderStorage(const std::string& folder) {
  CFolderStorage result;
  result.m_strFileSystem = "unknown";
  std::error_code ec;
  const std::wstring wide = std::filesystem::absolute(std::filesystem::path(folder), ec).wstring();
  wchar_t root[MAX_PATH + 1];
  wchar_t name[MAX_PATH + 1];
  if (ec || !GetVolumePathNameW(wide.c_str(), root, MAX_PATH + 1) ||
      !GetVolumeInformationW(root, nullptr, 0, nullptr, nullptr, nullptr, name, MAX_PATH + 1))
    return result;
  // File system names ("NTFS", "ReFS", "FAT32") are ASCII.
  std::string ascii;
  for (const wchar_t* c = name; *c; ++c) ascii += *c < 0x80 ? static_cast<char>(*c) : '?';
  result.m_strFileSystem = ascii;
  result.m_bInMemory = GetDriveTypeW(root) == DRIVE_RAMDISK;
  return result;
}
#else
CFolderStorage DescribeFolderStorage(const std::string&) {
  CFolderStorage result;
  result.m_strFileSystem = "unknown";
  return result;
}
#endif

std::string FolderStorageSummary(const std::string& folder) {
  const CFolderStorage s = DescribeFolderStorage(folder);
  std::string line = "backing files in " + folder + ": " + s.m_strFileSystem;
  if (s.m_strFileSystem == "unknown") return line;
#if defined(_WIN32)
  return line + (s.m_bInMemory ? ", a RAM disk" : ", on disk");
#else
  if (s.m_bHugePages) return line + ", 2 MiB pages";
  if (s.m_bInMemory)
    return line +
           ", 4 KiB pages (large messages map several times faster from a tmpfs mounted with "
           "huge=within_size: see packaging/)";
  return line + ", on disk (a tmpfs is faster and writes nothing back: see packaging/)";
#endif
}

}  // namespace OS
