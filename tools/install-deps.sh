#!/usr/bin/env bash
# Installs with apt-get whatever of the project's packages this machine lacks, and the extra
# packages named as arguments (tools/bench.sh asks for gnuplot-nox).
set -euo pipefail
need=()
# The compilers and test libraries; the Windows leg's MinGW-w64 cross compiler and Wine; the
# mailhook command's CLI11, GMime and scanning engine (libclamav); a real mail corpus for the
# end-to-end tests (the Python test suite's sample messages); libmilter for `mailhook milter`, and
# Postfix (with its smtp-sink and smtp-source) and swaks for the tests that run it in a real MTA;
# dpkg-dev and file for the Debian packages (cpack's dependency list comes from dpkg-shlibdeps); an
# ext4 image mounted on a loop device for the platform test of a disk that fills during a file's
# extension.
for pkg in cmake ninja-build g++ libgtest-dev libbenchmark-dev clang libclang-rt-14-dev \
  g++-mingw-w64-x86-64-posix wine64 libcli11-dev libgmime-3.0-dev libclamav-dev pkg-config libpython3.11-testsuite \
  libmilter-dev postfix swaks dpkg-dev file e2fsprogs mount "$@"; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
  export DEBIAN_FRONTEND=noninteractive
  # The machine's own Postfix is left unconfigured, so apt never starts it: the tests run private
  # instances of their own on 127.0.0.1.
  if [[ " ${need[*]} " == *" postfix "* ]]; then
    echo "postfix postfix/main_mailer_type select No configuration" | $SUDO debconf-set-selections
  fi
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq "${need[@]}"
fi
