// What kind of storage a folder of backing files is on, for the tools to say at start-up.
//
// Views of files in memory (tmpfs) cost no disk writes; on a tmpfs mounted with huge pages
// (huge=within_size or always) new views of large files are made of 2 MiB pages, which makes a
// fresh view of a large message many times cheaper to fill in than with 4 KiB pages.
#pragma once

#include <string>

#include "mh_os_export.h"

namespace OS {

struct CFolderStorage {
  std::string m_strFileSystem;  // "tmpfs", "ext4", "NTFS", … or "unknown"
  bool m_bInMemory = false;     // a tmpfs or a RAM disk: views never reach a disk
  bool m_bHugePages = false;    // a new file's view there was seen mapped with 2 MiB pages
};

// Looks at the folder (it must exist): its file system and, on a tmpfs, whether a new 4 MiB file
// there is mapped with huge pages (a scratch file is made, mapped and removed). Never throws.
MH_OS_API CFolderStorage DescribeFolderStorage(const std::string& folder);

// One line for a log or a terminal: what the folder is and, where large messages would gain from
// another folder, how to get one.
MH_OS_API std::string FolderStorageSummary(const std::string& folder);

}  // namespace OS
