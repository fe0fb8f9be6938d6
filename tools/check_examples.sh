#!/usr/bin/env bash
# Installs a finished build into a temporary prefix, builds examples/ against that install alone
# (find_package(mailhook), not the build tree), and carries one message from the example hook
# through the example service. Usage: tools/check_examples.sh [BUILD_DIR] (default: build/ci).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/ci}
tmp=$(mktemp -d)
service_pid=
cleanup() {
  if [ -n "$service_pid" ]; then kill "$service_pid" 2>/dev/null || true; wait "$service_pid" 2>/dev/null || true; fi
  rm -rf "$tmp"
}
trap cleanup EXIT

cmake --install "$build" --prefix "$tmp/prefix" > "$tmp/install.log"
cmake -S examples -B "$tmp/examples" -G Ninja -DCMAKE_PREFIX_PATH="$tmp/prefix" -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror" > "$tmp/configure.log"
cmake --build "$tmp/examples" -j2
# pkg-config finds the same library and headers: the hook built that way carries the message too.
export PKG_CONFIG_PATH="$tmp/prefix/lib/pkgconfig"
# shellcheck disable=SC2046
c++ -std=c++20 examples/hook.cpp -o "$tmp/hook_pkgconfig" $(pkg-config --cflags --libs mailhook)

# The layer's headers are all that is installed, each standing on its own: none includes one that
# was left out, none names a Win32 type, a lock, a pool or the RPC stand-in.
others=$(cd "$tmp/prefix/include" && find . -type f ! -path './mailhook/*')
[ -z "$others" ] || { echo "installed beside the layer's headers: $others"; exit 1; }
if grep -lE 'HANDLE|DWORD|CRITICAL_SECTION|hook_Lock|ResourcePool|CRPC|CIPC|win32' "$tmp/prefix/include/mailhook/"*.h; then
  echo "an installed header names an internal type"; exit 1
fi
(cd "$tmp/prefix/include/mailhook" && find . -name '*.h' | sed 's|^\./||') | while read -r h; do
  # shellcheck disable=SC2046
  echo "#include <mailhook/$h>" | c++ -std=c++20 -Wall -Wextra -Werror -fsyntax-only -x c++ - $(pkg-config --cflags mailhook) ||
    { echo "installed header $h does not compile alone"; exit 1; }
done

export MAILHOOK_RUNTIME_DIR="$tmp/rt"
mkfifo "$tmp/ready"
"$tmp/examples/mailhook_example_service" > "$tmp/ready" 2> "$tmp/service.err" &
service_pid=$!
read -r line < "$tmp/ready"
[ "$line" = ready ] || { echo "example service did not start: $line"; cat "$tmp/service.err"; exit 1; }
passed=0 failed=0
for hook in "$tmp/examples/mailhook_example_hook" "$tmp/hook_pkgconfig"; do
  out=$("$hook") || true
  echo "$(basename "$hook"): $out"
  case "${out##*$'\n'}" in
    "flags 1, "*", unchanged") passed=$((passed + 1)) ;;
    *) failed=$((failed + 1)); cat "$tmp/service.err" ;;
  esac
done
echo "examples: $passed passed, $failed failed"
[ "$failed" = 0 ]
