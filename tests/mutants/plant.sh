#!/usr/bin/env bash
# Plants small realistic bugs one at a time and checks that the unit suites catch each one.
# usage: tests/mutants/plant.sh BUILD_DIR [NUMBER...]
# BUILD_DIR is a configured build of this tree (tests on): a native one, or the windows preset's
# for the bugs planted in *_win.cpp files (its tests then run under Wine). Every file is restored
# after its run.
set -u
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "$1" && pwd); shift
# The unit suites, the layer's process-level tests and the fuzz corpora's replays (MUTANT_UNITS to
# run others).
units=${MUTANT_UNITS:-"content_test foundation_test headers_test ipc_buffer_test rpc_transport_test memmap_test
platform_test pool_test rpc_link_test shared_test xdr_test api_unit_test api_test headers_reader_fuzz
xdr_decoder_fuzz ipc_buffer_fuzzer rpc_frame_fuzzer resource_fuzzer header_split_fuzz service_request_fuzz"}
limit=${MUTANT_TIME_LIMIT:-120}  # seconds per test binary (faults_test takes ~30 s): a planted bug may make a wait endless
windows=false
[ -f "$build/bin/xdr_test.exe" ] && windows=true

# number#file#sed program#what it breaks[#more test binaries to run, beside the units]
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
"20#platform/ipc/rpc_server.cpp#/^        inFrame = true;\$/d#rpc server: a frame is never marked begun, so its deadline starts again with each piece and a trickling peer is never cut off"
"21#platform/ipc/rpc_transport_win.cpp#/^    case ERROR_BROKEN_PIPE:\$/d#rpc transport (pipe): a broken pipe taken for a failure, not for the peer's end (a request is not sent again, a vanished server is a system error)"
"22#platform/ipc/rpc_client.cpp#s/const IPC::Clock::time_point deadline =/IPC::Clock::time_point deadline =/;s/switch (reader.Step(\*stream, decoder, deadline)) {/switch (reader.Step(*stream, decoder, deadline = IPC::After(timeoutMs))) {/#rpc client: the deadline for a reply in pieces starts again with each piece"
"23#platform/ipc/rpc_transport_win.cpp#s/WaitMs(deadline), got);/WaitMs(kForever), got);  (void)deadline;/#rpc transport (pipe): a read waits for ever whatever its deadline, so a peer that stops mid-frame keeps its connection and a reply that never ends holds its client"
"24#lib/headers/hook_HookHeadersImp.cpp#/^      if (left() < width) break;\$/d#header list reader: an integer cut short by the end of the list is taken"
"25#lib/headers/hook_HookHeadersImp.cpp#s/if (uint64_t{count} \\* unit > left()) break;/if (uint64_t{count} > left()) break;/#header list reader: a wide string's count checked as bytes, not units, against the bytes left"
"26#lib/headers/hook_HookHeadersImp.cpp#s/(unit == 2 \\&\\& last\\[1\\] != 0)/false/#header list reader: a wide string ending in half a terminator is taken"
"27#lib/headers/hook_HookHeadersImp.cpp#s/std::stable_sort(/std::sort(/#header list reader: values of one id no longer kept in write order (unstable sort)"
"28#lib/xdr/hook_XDR.cpp#s/if (uint64_t{count} \\* sizeof(T) > Length()) {/if (false) {/#xdr: a string's count not checked against the bytes left before reading and allocating"
"29#lib/memmap/hook_MemMapResource.cpp#s/if (dataSize + kHeaderSize < shrinkSize/if (dataSize + kHeaderSize <= shrinkSize/#resource: data needing exactly the shrink size shrinks the view (the wrong branch at the boundary)"
"30#platform/win32/win32_posix_error.cpp#/^    case ENOSPC:\$/d#posix errors: a full disk (ENOSPC) no longer reported as ERROR_DISK_FULL"
"31#platform/win32/win32_posix_file.cpp#/^      (void)Retry(\\[\\&\\] { return ftruncate(fd, static_cast<off_t>(fileSize)); });\$/d#posix mapping: a file grown part of the way by a failed extension keeps its new size"
"32#lib/api/mh_HookClient.cpp#s/throw CMailhookError(CMailhookError::DISK_FULL, \"the backing file could not grow to \"/throw CMailhookError(CMailhookError::SYSTEM, \"the backing file could not grow to \"/#hook client: content that cannot grow reported as a system error, not a full disk#faults_test"
"33#platform/win32/win32_posix_file.cpp#s/return pv.id == s.id \\&\\& pv.offset == offset \\&\\& pv.prot == prot;/return pv.id == s.id \\&\\& pv.prot == prot;/#posix views: a view kept for re-use handed out at another offset than asked"
"34#platform/win32/win32_posix_file.cpp#s/return pv.id == s.id \\&\\& pv.offset == offset \\&\\& pv.prot == prot;/return pv.id == s.id \\&\\& pv.offset == offset;/#posix views: a writable view kept for re-use handed out for a read-only request"
"35#lib/api/mh_HookClient.cpp#s/if (Clock::now() + pause >= deadline) return false;/if (Clock::now() + pause >= deadline + std::chrono::hours(24)) return false;/#hook client: waiting for a service that is down ignores retryFor#api_test faults_test e2e_test"
"36#tools/mailhook/stop_posix.cpp#s/signal == SIGHUP)/(signal == SIGHUP || signal == SIGTERM))/#command: a service that takes SIGTERM for a reload and never stops#e2e_test"
"37#tools/mailhook/stop_win.cpp#s/return WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0;/return WaitForMultipleObjects(1, waits + 1, FALSE, INFINITE) == WAIT_OBJECT_0;/#command (Windows): a service that never sees a stop request#e2e_test"
"41#lib/api/mh_ScanService.cpp#s/      if (Earlier(generation, p.FenceOf(id))) {/      if (false \&\& Earlier(generation, p.FenceOf(id))) {/#service: a scan older than its resources' fence is served"
"42#lib/api/mh_ScanService.cpp#s/    busy = busy || p.InUse(id);/    busy = false;/#service: a fence answers ok while a request still uses the resource"
"43#lib/api/mh_HookClient.cpp#s/holderQueue->HoldBack(holder, ++generation);/holderQueue->HoldBack(holder, generation.load());/#hook: the generation does not move on after a time-out"
"44#lib/api/mh_HookClient.cpp#s/    if (!held.GiveBack(mended, unanswered)) {/    if (!held.GiveBack(mended, false)) {/#hook: a holder whose request went unanswered goes straight back"
"45#lib/api/mh_HookClient.cpp#s/  return status == kStatusOk || status == kStatusPoolUnknown;/  return status != kStatusFailed;/#hook: a fence answered busy brings the holder back"
"46#lib/api/mh_BackingFiles.cpp#s/intact = intact \&\& now.headerSize == written.headerSize \&\& /intact = intact \&\& /#hook: a header size a service wrote over is taken on trust"
"47#platform/ipc/rpc_transport_posix.cpp#s/        if (left != m_iReceiveMs) {/        if (left < m_iReceiveMs) {/#rpc transport (socket): a receive time-out shortened for a reply in pieces is never lengthened again, so the next request on the connection gets what was left of the last one's"
)

run_test() {  # NAME LOG: the test binary's exit code, killed after $limit seconds
  if $windows; then
    [ -f "$build/bin/$1.exe" ] || return 0  # a POSIX-only suite
    timeout "$limit" "$root/cmake/wine-run.sh" "$build/wineprefix" "$build/bin/$1.exe" >"$2" 2>&1
  else
    timeout "$limit" "$build/bin/$1" >"$2" 2>&1
  fi
}
export -f run_test
export build root limit windows

want=" $* "
for m in "${mutants[@]}"; do
  IFS='#' read -r num file prog what more <<<"$m"
  [ $# -gt 0 ] && [[ $want != *" $num "* ]] && continue
  if [[ $file == *_win.cpp ]] && ! $windows; then
    echo "$num SKIPPED (needs the windows build) $what"; continue
  fi
  if [[ $file == *_posix* ]] && $windows; then
    echo "$num SKIPPED (needs a native build) $what"; continue
  fi
  tests="$units $more"
  # The POSIX-only suites have no Windows target to build.
  $windows && tests=$(for t in $tests; do [ -f "$build/bin/$t.exe" ] && echo "$t"; done | tr '\n' ' ')
  f=$root/$file
  cp "$f" "$f.orig"
  sed -i -e "$prog" "$f"
  if cmp -s "$f" "$f.orig"; then
    echo "$num NOT-APPLIED $what"; mv "$f.orig" "$f"; continue
  fi
  if ! cmake --build "$build" -j2 --target $tests >"$build/mutant$num.log" 2>&1; then
    echo "$num BUILD-FAILED $what"
  else
    failed=$(for t in $tests; do echo "$t"; done | xargs -P2 -I{} bash -c \
      "run_test {} '$build/mutant$num.{}.log' || echo {}" | sort | tr '\n' ' ')
    if [ -n "$failed" ]; then echo "$num CAUGHT by: $failed| $what"; else echo "$num SURVIVED $what"; fi
  fi
  mv "$f.orig" "$f"
  touch "$f"
done
cmake --build "$build" -j2 >/dev/null 2>&1
