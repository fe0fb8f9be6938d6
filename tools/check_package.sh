#!/usr/bin/env bash
# Builds the Debian packages (cpack -G DEB) from a finished build, installs them into a throw-away
# root with a dpkg database of its own (this machine's dpkg database and /etc are not touched),
# checks what the packages put there (the system user made by the postinst, the units naming
# /usr/bin/mailhook, the configuration as a conffile), builds examples/ against that root alone,
# carries a message from the example hook through the example service, and runs the demo from
# the root with a line per message in its log. Usage: tools/check_package.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build/ci}" && pwd)
tmp=$(mktemp -d)
service_pid=
cleanup() {
  if [ -n "$service_pid" ]; then kill "$service_pid" 2>/dev/null || true; wait "$service_pid" 2>/dev/null || true; fi
  rm -rf "$tmp"
}
trap cleanup EXIT
fail() { echo "check_package: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$tmp/packages" > "$tmp/cpack.log" 2>&1) || { cat "$tmp/cpack.log"; fail "cpack failed"; }
runtime=$(ls "$tmp"/packages/mailhook_*.deb)
dev=$(ls "$tmp"/packages/libmailhook-dev_*.deb)
echo "packages: $(basename "$runtime") ($(du -k "$runtime" | cut -f1) KiB), $(basename "$dev") ($(du -k "$dev" | cut -f1) KiB)"

# The root: an empty dpkg database and the user files the postinst's useradd --root writes into.
root=$tmp/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/etc"
: > "$root/var/lib/dpkg/status"
printf 'root:x:0:0:root:/root:/bin/sh\n' > "$root/etc/passwd"
printf 'root:x:0:\n' > "$root/etc/group"
printf 'root:*:19000:0:99999:7:::\n' > "$root/etc/shadow"
printf 'root:*::\n' > "$root/etc/gshadow"
# The libraries the packages depend on are this machine's (the root has none): each must be
# installed here, which is also what running the demo from the root needs.
for deb in "$runtime" "$dev"; do
  dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/([^)]*)//; s/|.*//; s/ //g' | while read -r pkg; do
    [ -z "$pkg" ] || [ "$pkg" = mailhook ] && continue
    dpkg-query -W -f='${Status}\n' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
      fail "$(basename "$deb") depends on $pkg, which is not installed"
  done
done
# Maintainer scripts run here, not chrooted into the empty root: they are given DPKG_ROOT.
dpkg --root="$root" --force-script-chrootless --force-depends --log="$tmp/dpkg.log" -i "$runtime" "$dev" \
  > "$tmp/dpkg.out" 2>&1 || { cat "$tmp/dpkg.out"; fail "dpkg -i into the root failed"; }
dpkg --root="$root" -s mailhook libmailhook-dev | grep -c '^Status: install ok installed' | grep -qx 2 ||
  fail "the packages are not installed in the root"
grep -q '^mailhook:x:[0-9]*:[0-9]*:.*:/nonexistent:/usr/sbin/nologin$' "$root/etc/passwd" ||
  fail "the postinst made no mailhook user: $(cat "$root/etc/passwd")"
grep -qx 'ExecStart=/usr/bin/mailhook service' "$root/lib/systemd/system/mailhook.service" ||
  fail "mailhook.service does not start /usr/bin/mailhook"
[ -f "$root/lib/systemd/system/run-mailhook.mount" ] || fail "no run-mailhook.mount"
[ -f "$root/lib/systemd/system/mailhook-milter.service" ] || fail "no mailhook-milter.service"
grep -q '/etc/mailhook/mailhook.conf' "$root/var/lib/dpkg/info/mailhook.conffiles" ||
  fail "/etc/mailhook/mailhook.conf is not a conffile"
# Headers only in the -dev package, the library in the runtime one.
dpkg --root="$root" -L libmailhook-dev | grep -q '^/usr/include/mailhook/mh_HookClient.h$' || fail "no headers in -dev"
dpkg --root="$root" -L mailhook | grep -q '/libmailhook.so$' || fail "no library in mailhook"
if dpkg --root="$root" -L mailhook | grep -q '^/usr/include'; then fail "headers in the runtime package"; fi

# The examples against the root alone: its CMake package, then its pkg-config file.
cmake -S examples -B "$tmp/examples" -G Ninja -DCMAKE_PREFIX_PATH="$root/usr" -DCMAKE_FIND_ROOT_PATH="$root" \
  -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror" > "$tmp/configure.log" || { cat "$tmp/configure.log"; fail "configure"; }
grep -q "$root/usr/lib/cmake/mailhook" "$tmp/examples/CMakeCache.txt" || fail "examples did not find the root's package"
cmake --build "$tmp/examples" -j2 > "$tmp/build.log" || { cat "$tmp/build.log"; fail "examples do not build"; }
export PKG_CONFIG_PATH= PKG_CONFIG_LIBDIR="$root/usr/lib/pkgconfig" PKG_CONFIG_SYSROOT_DIR="$root"
# shellcheck disable=SC2046
c++ -std=c++20 examples/hook.cpp -o "$tmp/hook_pkgconfig" $(pkg-config --cflags --libs mailhook) -Wl,-rpath,"$root/usr/lib"
unset PKG_CONFIG_LIBDIR PKG_CONFIG_SYSROOT_DIR

export MAILHOOK_RUNTIME_DIR="$tmp/rt"
mkfifo "$tmp/ready"
"$tmp/examples/mailhook_example_service" > "$tmp/ready" 2> "$tmp/service.err" &
service_pid=$!
read -r line < "$tmp/ready"
[ "$line" = ready ] || { cat "$tmp/service.err"; fail "the example service did not start: $line"; }
for hook in "$tmp/examples/mailhook_example_hook" "$tmp/hook_pkgconfig"; do
  out=$("$hook") || true
  case "${out##*$'\n'}" in
    "flags 1, "*", unchanged") ;;
    *) cat "$tmp/service.err"; fail "$(basename "$hook"): $out" ;;
  esac
done
kill "$service_pid"; wait "$service_pid" 2>/dev/null || true; service_pid=
# Both example programs and the root's own command use the root's library.
ldd "$root/usr/bin/mailhook" | grep 'libmailhook.so' | grep -q "=> $root/usr/" || fail "the command does not load the root's library"

# The demo from the root: its signatures, its service child, a line per message in the log.
"$root/usr/bin/mailhook" demo --log "$tmp/demo.log" --log-level info > "$tmp/demo.out" 2>&1 ||
  { cat "$tmp/demo.out" "$tmp/demo.log"; fail "the demo from the root failed"; }
grep -q '^4 messages (0 failed, 1 infected, 1 replaced)' "$tmp/demo.out" || { cat "$tmp/demo.out"; fail "demo summary"; }
grep -q "signatures from $root/usr/share/mailhook/signatures" "$tmp/demo.log" || { cat "$tmp/demo.log"; fail "demo signatures"; }
[ "$(grep -c ']: seq=[0-9]* size=[0-9]* verdict=' "$tmp/demo.log")" = 4 ] || { cat "$tmp/demo.log"; fail "demo log lines"; }
tail -n 1 "$tmp/demo.out"
echo "package: 1 passed, 0 failed"
