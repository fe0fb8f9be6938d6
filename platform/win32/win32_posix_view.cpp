// Views of file mappings on POSIX with Windows' semantics, and the views kept for re-use.

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "win32/win32_posix_file_internal.h"

using mhwin::Fail;
using mhwin::FailErrno;
using mhwin::FileId;
using mhwin::Mapping;
using mhwin::Section;

namespace {

struct View {
  std::size_t length;
  std::uint64_t offset;
  int prot;
  std::shared_ptr<Section> section;
};

// A view just unmapped, kept in memory for the next view of the same file: re-mapping a view to
// a new length (a resource's view follows its data, so the message road does it for every large
// message) then keeps the pages both lengths share instead of faulting them all in again, which
// on a plain tmpfs costs microseconds a page. Its memory is never touched while parked, and it
// holds no lock: the file may be shrunk or deleted under it as under no view at all (shrinking
// drops its pages; a later view is made only after its section has allocated the file as far as
// it reaches). It is dropped for good when the last handle of the file here closes, and when
// newer views push it out.
struct ParkedView {
  void* addr;
  std::size_t length;
  std::uint64_t offset;
  int prot;
  FileId id;
};

constexpr std::size_t kMaxParkedViews = 4;

struct Views {
  std::mutex mutex;
  std::map<const void*, View> byAddress;
  std::vector<ParkedView> parked;  // oldest first
  // Handles open per file: a view is parked only while the file is open here, since only then
  // can a view of it be made again.
  std::map<std::pair<dev_t, ino_t>, int> openFiles;
};

Views& TheViews() {
  static Views* views = new Views;
  return *views;
}

void DropParkedViews(FileId id);

}  // namespace

void mhwin::FileOpened(FileId id) {
  Views& v = TheViews();
  std::lock_guard lock(v.mutex);
  ++v.openFiles[{id.dev, id.ino}];
}

// The last handle of a file closes: nothing of this process holds the file mapped any more, as
// on Windows, where a closed view is gone for good.
void mhwin::FileClosed(FileId id) {
  {
    Views& v = TheViews();
    std::lock_guard lock(v.mutex);
    auto it = v.openFiles.find({id.dev, id.ino});
    if (it == v.openFiles.end() || --it->second > 0) return;
    v.openFiles.erase(it);
  }
  DropParkedViews(id);
}

namespace {

// Drops every parked view of the file.
void DropParkedViews(FileId id) {
  Views& v = TheViews();
  std::lock_guard lock(v.mutex);
  std::erase_if(v.parked, [&](const ParkedView& pv) {
    if (!(pv.id == id)) return false;
    munmap(pv.addr, pv.length);
    return true;
  });
}

// Fills the page tables of [from, to) of a view in one pass; where the kernel cannot, the pages
// fault in as they are touched.
void Populate(void* view, std::size_t from, std::size_t to, bool write) {
#if defined(MADV_POPULATE_WRITE)
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  from = (from + page - 1) / page * page;
  if (from >= to) return;
  (void)madvise(static_cast<char*>(view) + from, to - from, write ? MADV_POPULATE_WRITE : MADV_POPULATE_READ);
#else
  (void)view, (void)from, (void)to, (void)write;
#endif
}

}  // namespace

LPVOID MapViewOfFileEx(HANDLE fileMapping, DWORD desiredAccess, DWORD fileOffsetHigh, DWORD fileOffsetLow,
                       SIZE_T numberOfBytesToMap, LPVOID baseAddress) {
  LPVOID none = nullptr;
  auto m = mhwin::Lookup<Mapping>(fileMapping, mhwin::Kind::Mapping);
  if (!m) return Fail(ERROR_INVALID_HANDLE, none);
  const Section& s = *m->section;
  std::uint64_t offset = (static_cast<std::uint64_t>(fileOffsetHigh) << 32) | fileOffsetLow;
  SYSTEM_INFO si;
  GetSystemInfo(&si);
  if (offset % si.dwAllocationGranularity != 0) return Fail(mhwin::ERROR_MAPPED_ALIGNMENT, none);
  if (offset >= s.size) return Fail(ERROR_ACCESS_DENIED, none);
  std::uint64_t length = numberOfBytesToMap == 0 ? s.size - offset : numberOfBytesToMap;
  // A view never reaches past its section.
  if (length > s.size - offset) return Fail(ERROR_ACCESS_DENIED, none);
  bool write = (desiredAccess & FILE_MAP_WRITE) != 0;
  if (write && !s.writable) return Fail(ERROR_ACCESS_DENIED, none);
  int prot = PROT_READ | (write ? PROT_WRITE : 0);
  Views& v = TheViews();
  std::unique_lock lock(v.mutex);
  void* p = MAP_FAILED;
  if (baseAddress == nullptr) {
    auto it = std::find_if(v.parked.rbegin(), v.parked.rend(), [&](const ParkedView& pv) {
      return pv.id == s.id && pv.offset == offset && pv.prot == prot;
    });
    if (it != v.parked.rend()) {
      ParkedView pv = *it;
      v.parked.erase(std::next(it).base());
      // The pages of the shared length stay mapped; the new section has allocated the file
      // as far as the new length reaches.
      p = pv.length == length ? pv.addr
                              : mremap(pv.addr, pv.length, static_cast<size_t>(length), MREMAP_MAYMOVE);
      if (p == MAP_FAILED)
        munmap(pv.addr, pv.length);
      else if (s.prefault && length > pv.length)
        Populate(p, pv.length, static_cast<std::size_t>(length), write);
    }
  }
  if (p == MAP_FAILED) {
    lock.unlock();
    int flags = MAP_SHARED | (baseAddress ? MAP_FIXED_NOREPLACE : 0) | (s.prefault ? MAP_POPULATE : 0);
    p = mmap(baseAddress, static_cast<size_t>(length), prot, flags, s.source->fd, static_cast<off_t>(offset));
    if (p == MAP_FAILED) {
      if (errno == EEXIST) return Fail(ERROR_INVALID_ADDRESS, none);
      return FailErrno(none);
    }
    if (baseAddress && p != baseAddress) {
      munmap(p, static_cast<size_t>(length));
      return Fail(ERROR_INVALID_ADDRESS, none);
    }
    lock.lock();
  }
  v.byAddress[p] = View{static_cast<std::size_t>(length), offset, prot, m->section};
  return p;
}

LPVOID MapViewOfFile(HANDLE fileMapping, DWORD desiredAccess, DWORD fileOffsetHigh, DWORD fileOffsetLow,
                     SIZE_T numberOfBytesToMap) {
  return MapViewOfFileEx(fileMapping, desiredAccess, fileOffsetHigh, fileOffsetLow, numberOfBytesToMap,
                         nullptr);
}

BOOL UnmapViewOfFile(LPCVOID baseAddress) {
  std::shared_ptr<Section> keep;  // released after the view's lock is dropped
  Views& v = TheViews();
  std::lock_guard lock(v.mutex);
  auto it = v.byAddress.find(baseAddress);
  if (it == v.byAddress.end()) return Fail(ERROR_INVALID_ADDRESS, FALSE);
  View& view = it->second;
  const FileId id = view.section->id;
  // Only a file still open here can be mapped again.
  if (v.openFiles.count({id.dev, id.ino}) == 0) {
    if (munmap(const_cast<void*>(baseAddress), view.length) != 0) return FailErrno(FALSE);
  } else {
    if (v.parked.size() == kMaxParkedViews) {
      munmap(v.parked.front().addr, v.parked.front().length);
      v.parked.erase(v.parked.begin());
    }
    v.parked.push_back(ParkedView{const_cast<void*>(baseAddress), view.length, view.offset, view.prot, id});
  }
  keep = std::move(view.section);
  v.byAddress.erase(it);
  return TRUE;
}

BOOL FlushViewOfFile(LPCVOID baseAddress, SIZE_T numberOfBytesToFlush) {
  Views& v = TheViews();
  std::lock_guard lock(v.mutex);
  auto it = v.byAddress.upper_bound(baseAddress);
  if (it == v.byAddress.begin()) return Fail(ERROR_INVALID_ADDRESS, FALSE);
  --it;
  auto start = reinterpret_cast<std::uintptr_t>(it->first);
  auto addr = reinterpret_cast<std::uintptr_t>(baseAddress);
  if (addr >= start + it->second.length) return Fail(ERROR_INVALID_ADDRESS, FALSE);
  std::size_t length = numberOfBytesToFlush == 0 ? start + it->second.length - addr : numberOfBytesToFlush;
  long page = sysconf(_SC_PAGESIZE);
  std::uintptr_t aligned = addr & ~static_cast<std::uintptr_t>(page - 1);
  if (msync(reinterpret_cast<void*>(aligned), length + (addr - aligned), MS_SYNC) != 0)
    return FailErrno(FALSE);
  return TRUE;
}
