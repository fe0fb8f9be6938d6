#!/usr/bin/env bash
# Plants small realistic bugs one at a time and checks that the unit suites catch each one.
# usage: tests/mutants/plant.sh BUILD_DIR [NUMBER...]
# BUILD_DIR is a configured build of this tree (tests on). Every file is restored after its run.
set -u
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$1; shift
units="content_test foundation_test headers_test ipc_buffer_test rpc_transport_test memmap_test
platform_test pool_test rpc_link_test shared_test xdr_test api_unit_test api_test"
limit=${MUTANT_TIME_LIMIT:-30}  # seconds per test binary: a planted bug may make a wait endless

# number#file#sed program#what it breaks
mutants=(
"1#lib/memmap/hook_MemMapResource.cpp#s/if (need > m_iMaxSize) return -1;/if (need >= m_iMaxSize) return -1;/#resource: growth to exactly the maximum refused (bound off by one)"
"2#lib/pool/hook_MemMapResourcePool.cpp#s/to.splice(to.begin(), m_InUseResources, in->at);/to.splice(to.end(), m_InUseResources, in->at);/#pool: free list FIFO instead of LIFO"
"3#lib/pool/hook_MemMapResourcePool.cpp#/^    resource->SetDataSize(0);\$/d#pool: data size not reset on release"
"4#lib/pool/hook_MemMapResourcePool.cpp#/^    ::ReleaseSemaphore(m_hSemaphore.load(std::memory_order_acquire), 1, nullptr);$/d#pool: semaphore unit not given back on release"
"5#lib/xdr/hook_XDR.cpp#/^bool OutputXDR::WriteValue(T v) {\$/a\\  if constexpr (std::is_same_v<T, int32_t>) v = static_cast<T>(__builtin_bswap32(static_cast<uint32_t>(v)));#xdr: int32 written big-endian"
"6#lib/rpc/hook_CmdHookKetra.cpp#s/buffer << m_iValue1 << m_iValue2 << m_strValue/buffer << m_iValue2 << m_iValue1 << m_strValue/#command message: two fields written in swapped order"
"7#lib/content/hook_HookContentReceiver.cpp#s/HOOK_ERROR(HOOK_ERR_POOL_NOT_FOUND)/HOOK_ERROR(HOOK_ERR_RESOURCE_NOT_FOUND)/#receiver: a missing pool reported with the missing-resource code"
"8#lib/memmap/hook_MemMapResource.cpp#s/static_cast<uint64_t>(s.dataSize) + kHeaderSize <= fileSize;/fileSize + 1 > 0;/#resource: adopting a file, the data size in its shared header not checked against the file size"
"9#platform/win32/win32_posix_file.cpp#s/(creationDisposition == CREATE_ALWAYS || creationDisposition == TRUNCATE_EXISTING)/(creationDisposition == TRUNCATE_EXISTING)/#posix file: CREATE_ALWAYS keeps the old bytes"
"10#platform/win32/win32_posix_sync.cpp#s/if (releaseCount > s->max - s->count)/if (releaseCount > s->max - s->count + 1)/#posix sync: semaphore released one past its maximum"
"11#platform/ipc/rpc_frame.cpp#s/if (m_uLength > m_uMaxPayload) {/if (m_uLength > m_uMaxPayload + 1) {/#frame decoder: payload one byte over the limit accepted"
"12#platform/ipc/ipc_buffer.cpp#s/if (count > (m_Bytes.size() - pos) \/ kU32Size)/if (false)/#ipc buffer: u32 array count not checked against the bytes left"
"13#platform/win32/win32_posix_file.cpp#s/return mode | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;/return mode | O_CLOEXEC | O_NONBLOCK;/#posix file: a symbolic link at the path is followed"
"41#lib/api/mh_ScanService.cpp#s/      if (Earlier(generation, p.FenceOf(id))) {/      if (false \&\& Earlier(generation, p.FenceOf(id))) {/#service: a scan older than its resources' fence is served"
"42#lib/api/mh_ScanService.cpp#s/    busy = busy || p.InUse(id);/    busy = false;/#service: a fence answers ok while a request still uses the resource"
"43#lib/api/mh_HookClient.cpp#s/heldBack.push_back({holder, ++generation,/heldBack.push_back({holder, generation.load(),/#hook: the generation does not move on after a time-out"
"44#lib/api/mh_HookClient.cpp#s/    if (!held.GiveBack(mended, unanswered)) {/    if (!held.GiveBack(mended, false)) {/#hook: a holder whose request went unanswered goes straight back"
"45#lib/api/mh_HookClient.cpp#s/  const bool done = status == kStatusOk || status == kStatusPoolUnknown;/  const bool done = status != kStatusFailed;/#hook: a fence answered busy brings the holder back"
)

want=" $* "
for m in "${mutants[@]}"; do
  IFS='#' read -r num file prog what <<<"$m"
  [ $# -gt 0 ] && [[ $want != *" $num "* ]] && continue
  f=$root/$file
  cp "$f" "$f.orig"
  sed -i -e "$prog" "$f"
  if cmp -s "$f" "$f.orig"; then
    echo "$num NOT-APPLIED $what"; mv "$f.orig" "$f"; continue
  fi
  if ! cmake --build "$build" -j2 --target $units >"$build/mutant$num.log" 2>&1; then
    echo "$num BUILD-FAILED $what"
  else
    failed=$(for t in $units; do echo "$t"; done | xargs -P2 -I{} sh -c \
      "timeout $limit '$build/bin/{}' >'$build/mutant$num.{}.log' 2>&1 || echo {}" | sort | tr '\n' ' ')
    if [ -n "$failed" ]; then echo "$num CAUGHT by: $failed| $what"; else echo "$num SURVIVED $what"; fi
  fi
  mv "$f.orig" "$f"
  touch "$f"
done
cmake --build "$build" -j2 --target $units >/dev/null 2>&1
