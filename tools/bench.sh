#!/usr/bin/env bash
# Builds the benchmarks (preset ci) and runs them all on this machine, writing into
# bench-results/<date>/:
#   e2e.md, e2e.json, e2e.png  the library's road against copying through the socket and the floor
#   e2e-onecore.md             the 8-thread 1 and 64 KiB cells with both processes on one core
#   e2e-huge.md, e2e-huge.json 10 and 50 MiB messages with backing files on a tmpfs with 2 MiB pages
#                              (a private mount when run as root, else --huge-dir FOLDER), the 50 MiB
#                              ones also with the kept-mapped limit raised above the message
#   disk.md                    the same road with backing files in a folder on a disk (--disk-dir)
#   memory.txt                 resident memory over 50,000 messages, and a large view shrinking back
#   trace.txt                  what trace lines cost with logging off (compiled in against out)
#   micro/*.json + micro.txt   XDR, header lists, pool, content, RPC round trip
#   scan.md                    the service's scanning engine against carrying (tools/bench_scan.py)
#   mta.md, mta.json, mta.png  a real Postfix end to end: no milter, a do-nothing milter, the
#                              reference scanner's milter and daemon, mailhook's milter and service
#                              (bench/mta/mta_bench.py; as root only; --mta-quick for a short try)
# Other options after the script name go to the end-to-end run (e.g. --sizes 1K,1M --repetitions 5).
# Installs what it needs first (tools/install-deps.sh, plus gnuplot-nox for the plots and the
# reference scanner's clamav-milter and clamav-daemon for bench/mta).
set -euo pipefail
cd "$(dirname "$0")/.."

disk_dir=/var/tmp
huge_dir=
mta_args=()
args=()
while [[ $# -gt 0 ]]; do
  case "$1" in
    --disk-dir) disk_dir="$2"; shift 2 ;;
    --huge-dir) huge_dir="$2"; shift 2 ;;
    --mta-quick) mta_args+=(--quick); shift ;;
    *) args+=("$1"); shift ;;
  esac
done

# bench/mta runs the reference scanner privately; apt must not start the system's own clamd and
# freshclam when it installs them (a signature download in the middle of a measurement).
reference=(clamav-milter clamav-daemon)
if ! dpkg -s "${reference[@]}" > /dev/null 2>&1 && [[ $(id -u) -eq 0 && ! -e /usr/sbin/policy-rc.d ]]; then
  printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d
  chmod 755 /usr/sbin/policy-rc.d
  bash tools/install-deps.sh gnuplot-nox "${reference[@]}" || { rm -f /usr/sbin/policy-rc.d; exit 1; }
  rm -f /usr/sbin/policy-rc.d
else
  bash tools/install-deps.sh gnuplot-nox "${reference[@]}"
fi
cmake --preset ci > /dev/null
cmake --build build/ci -j2 --target mailhook_cli e2e_bench xdr_bench headers_bench pool_bench content_bench rpc_bench \
  trace_bench_traced trace_bench_untraced null_milter
bin=build/ci/bin
out=bench-results/$(date -u +%F)
mkdir -p "$out/micro"
export MAILHOOK_LOG=

echo "=== end to end"
"$bin/e2e_bench" --json "$out/e2e.json" "${args[@]}" | tee "$out/e2e.md"
if command -v gnuplot > /dev/null; then
  python3 tools/plot_bench.py "$out/e2e.json" "$out/e2e.png" && echo "plot: $out/e2e.png"
else
  echo "no gnuplot: plot skipped (apt-get install gnuplot-nox)"
fi

echo "=== 8 hook threads with both processes on one core"
# On two cores the 8-thread cells also measure where the scheduler puts the threads: a 64 KiB
# copy into lines the other core has just read costs many times one into lines of its own. On
# one core every road pays only its own CPU time per message, so this ratio is the steady one.
if command -v taskset > /dev/null; then
  taskset -c 0 "$bin/e2e_bench" --sizes 1K,64K --threads 8 --scenarios read,rewrite --duration 1 | tee "$out/e2e-onecore.md"
else
  echo "skipped: no taskset (util-linux)"
fi

echo "=== large messages on a tmpfs with 2 MiB pages"
if [[ -z $huge_dir && $(id -u) -eq 0 ]]; then
  huge_dir=$(mktemp -d /tmp/mailhook-huge-XXXXXX)
  mount -t tmpfs -o huge=within_size,mode=0700,size=4G tmpfs "$huge_dir"
  trap 'umount "$huge_dir"; rmdir "$huge_dir"' EXIT
fi
if [[ -n $huge_dir ]]; then
  {
    "$bin/e2e_bench" --sizes 10M,50M --dir "$huge_dir" --json "$out/e2e-huge.json"
    echo
    echo "50 MiB with the kept-mapped limit raised to 64 MiB (files are not cut back after each message):"
    "$bin/e2e_bench" --sizes 50M --dir "$huge_dir" --max-file-size 67108864 | grep -E '^\| (read|rewrite)'
  } | tee "$out/e2e-huge.md"
else
  echo "skipped: not root and no --huge-dir (a tmpfs mounted with huge=within_size)"
fi

echo "=== backing files on a disk ($disk_dir) against a tmpfs: 1 MiB messages rewritten, 40 s each"
# Longer than the kernel's 30 s before dirty pages are written back, so that write-back shows.
{
  dev=$(df --output=source "$disk_dir" | tail -1)
  sectors() { awk -v d="$(basename "$dev")" '$3 == d { print $10 }' /proc/diskstats; }
  for where in tmpfs disk; do
    dir=()
    [[ $where == disk ]] && dir=(--dir "$disk_dir")
    sync
    before=$(sectors)
    "$bin/e2e_bench" --roads mailhook --sizes 1M --scenarios rewrite --threads 1 --repetitions 1 --duration 40 \
      "${dir[@]}" | grep -E '^\| rewrite'
    after=$(sectors)
    echo "$where: $(( (${after:-0} - ${before:-0}) / 2048 )) MiB written to $dev during the run"
  done
} | tee "$out/disk.md"

echo "=== memory"
"$bin/e2e_bench" --memory 50000 | tee "$out/memory.txt"

echo "=== trace cost with logging off (medians of 5 alternating runs)"
for i in 1 2 3 4 5; do
  for v in traced untraced; do
    "$bin/trace_bench_$v" --benchmark_format=json --benchmark_out="$out/micro/trace_${v}_$i.json" > /dev/null
  done
done
python3 - "$out/micro" <<'PY' | tee "$out/trace.txt"
import glob, json, statistics, sys
times = {}
for path in glob.glob(sys.argv[1] + "/trace_*_*.json"):
    variant = path.rsplit("/", 1)[1].split("_")[1]
    for b in json.load(open(path))["benchmarks"]:
        times.setdefault((b["name"], variant), []).append(b["cpu_time"])
for name in sorted({n for n, _ in times}):
    on, off = statistics.median(times[(name, "traced")]), statistics.median(times[(name, "untraced")])
    print(f"{name:24s} traced {on:9.1f} ns  compiled out {off:9.1f} ns  cost {100 * (on / off - 1):+5.1f}%")
PY

echo "=== the scanning engine against carrying"
python3 tools/bench_scan.py --bin "$bin/mailhook" --out "$out/scan.md"

echo "=== a real mail server: Postfix with no milter, a do-nothing milter, the reference scanner, mailhook"
if [[ $(id -u) -eq 0 ]]; then
  python3 bench/mta/mta_bench.py --mailhook "$bin/mailhook" --null-milter "$bin/null_milter" \
    --signatures tools/mailhook/signatures --out "$out" "${mta_args[@]}"
else
  echo "skipped: a private Postfix needs root"
fi

echo "=== micro-benchmarks"
for b in xdr_bench headers_bench pool_bench content_bench rpc_bench; do
  "$bin/$b" --benchmark_color=false --benchmark_out="$out/micro/$b.json" --benchmark_out_format=json
done 2>&1 | tee "$out/micro.txt"
echo "results: $out"
