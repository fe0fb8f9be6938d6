#!/usr/bin/env bash
# Soak run: one `mailhook service` and two `mailhook hook` processes (8 hook threads in all)
# carrying mixed messages for a fixed time, with the resident memory of each process sampled
# while they run. Passes when no message failed, every holder and resource went back to its
# pool, every process stopped cleanly, and prints the first, peak and last RSS of each.
#
#   tools/soak.sh [--seconds N] [--bin path/to/mailhook] [--interval S] [--keep]
#
# Hook A: 6 threads over generated messages of 1 KiB to 8 MiB (pool 1).
# Hook B: 2 threads over the built-in samples, one of them infected (pool 2).
set -euo pipefail

seconds=600
interval=5
bin=""
keep=0
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds="$2"; shift 2 ;;
    --interval) interval="$2"; shift 2 ;;
    --bin) bin="$2"; shift 2 ;;
    --keep) keep=1; shift ;;
    -h|--help) sed -n '2,12p' "$0"; exit 0 ;;
    *) echo "soak: unknown argument $1" >&2; exit 2 ;;
  esac
done
here="$(cd "$(dirname "$0")/.." && pwd)"
[ -n "$bin" ] || bin="$here/build/dev/bin/mailhook"
[ -x "$bin" ] || { echo "soak: no mailhook command at $bin (build target mailhook_cli or pass --bin)" >&2; exit 2; }

work="$(mktemp -d /tmp/mailhook-soak.XXXXXX)"
export MAILHOOK_RUNTIME_DIR="$work/rt"
export MAILHOOK_RPC_TIMEOUT_MS="${MAILHOOK_RPC_TIMEOUT_MS:-10000}"
unset MAILHOOK_LOG
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -KILL "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  if [ "$keep" = 1 ]; then echo "soak: logs kept in $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

# Generated messages: a body of base64 lines, sizes from 1 KiB to 8 MiB.
mkdir -p "$work/in"
for kib in 1 4 16 64 256 1024 4096 8192; do
  {
    printf 'From: soak@example.org\r\nTo: rcpt@example.org\r\nSubject: soak %s KiB\r\n' "$kib"
    printf 'Content-Type: text/plain\r\n\r\n'
    head -c $((kib * 768)) /dev/urandom | base64 -w 76 | sed 's/$/\r/'
  } > "$work/in/m$(printf %05d "$kib").eml"
done

rss() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status" 2>/dev/null || echo 0; }

"$bin" service --quiet --dir "$MAILHOOK_RUNTIME_DIR" > "$work/service.out" 2> "$work/service.err" &
service=$!
pids+=("$service")
for _ in $(seq 1 100); do
  grep -q '^ready$' "$work/service.out" && break
  kill -0 "$service" 2>/dev/null || { cat "$work/service.err" >&2; exit 1; }
  sleep 0.1
done
grep -q '^ready$' "$work/service.out" || { echo "soak: the service did not start" >&2; exit 1; }

# Open-ended runs: SIGTERM ends each after its messages under way, with its final checks.
"$bin" hook --input "$work/in" --threads 6 --repeat 1000000000 --pool 1 --dir "$MAILHOOK_RUNTIME_DIR/pool-1" \
  --quiet --json > "$work/hookA.out" 2> "$work/hookA.err" &
hookA=$!
pids+=("$hookA")
"$bin" hook --threads 2 --repeat 1000000000 --pool 2 --dir "$MAILHOOK_RUNTIME_DIR/pool-2" \
  --quiet --json > "$work/hookB.out" 2> "$work/hookB.err" &
hookB=$!
pids+=("$hookB")

declare -A first peak last
sample() {
  local name pid v
  for name in service hookA hookB; do
    pid="${!name}"
    v="$(rss "$pid")"
    [ "$v" -gt 0 ] || continue
    [ -n "${first[$name]:-}" ] || first[$name]=$v
    [ "$v" -le "${peak[$name]:-0}" ] || peak[$name]=$v
    last[$name]=$v
  done
}

echo "soak: ${seconds}s, sampling RSS every ${interval}s, work folder $work"
start=$(date +%s)
while [ $(( $(date +%s) - start )) -lt "$seconds" ]; do
  sample
  for p in "$service" "$hookA" "$hookB"; do
    kill -0 "$p" 2>/dev/null || { echo "soak: process $p ended early" >&2; break 2; }
  done
  printf 'soak: %5ds  RSS KiB  service %s  hookA %s  hookB %s\n' "$(( $(date +%s) - start ))" \
    "${last[service]:-?}" "${last[hookA]:-?}" "${last[hookB]:-?}"
  sleep "$interval"
done
sample

status=0
for h in hookA hookB; do
  pid="${!h}"
  kill -TERM "$pid" 2>/dev/null || true
  rc=0
  wait "$pid" || rc=$?
  json="$(grep '^{"messages"' "$work/$h.out" | tail -1)"
  echo "soak: $h exit $rc: ${json:-no summary}"
  grep -v '^{"messages"' "$work/$h.out" | grep -v ' messages (' | head -5 | sed "s/^/soak: $h: /" || true
  grep -v ' / .* messages$' "$work/$h.err" | head -5 | sed "s/^/soak: $h stderr: /" || true
  [ "$rc" = 0 ] || status=1
  for field in failed holders_out resources_out; do
    v="$(printf '%s' "$json" | sed -n "s/.*\"$field\":\([0-9]*\).*/\1/p")"
    [ "$v" = 0 ] || { echo "soak: $h $field=${v:-missing}" >&2; status=1; }
  done
  m="$(printf '%s' "$json" | sed -n 's/.*"messages":\([0-9]*\).*/\1/p')"
  [ "${m:-0}" -gt 0 ] || { echo "soak: $h carried nothing" >&2; status=1; }
done
kill -TERM "$service" 2>/dev/null || true
rc=0
wait "$service" || rc=$?
echo "soak: service exit $rc"
[ "$rc" = 0 ] || status=1

for name in service hookA hookB; do
  printf 'soak: RSS KiB %-8s first %8s  peak %8s  last %8s\n' "$name" "${first[$name]:-?}" "${peak[$name]:-?}" \
    "${last[$name]:-?}"
done
pids=()
[ "$status" = 0 ] && echo "soak: PASS" || echo "soak: FAIL"
exit "$status"
