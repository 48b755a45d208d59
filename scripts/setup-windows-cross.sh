#!/bin/sh
# Installs the Debian 12 packages that the Windows cross build and its tests
# under wine need (scripts/test-windows.sh runs it). Run as root. Safe to run
# again: apt-get skips what is already installed.
#
# The "-posix" compiler: the default win32 thread model of Debian's mingw-w64
# has no std::thread. wine64 alone runs the 64-bit programs (the notice that
# 32-bit wine is missing is harmless and silenced by WINEDEBUG=-all).
# googletest: its sources in /usr/src/googletest, built for Windows.
set -eu

PACKAGES="
  cmake ninja-build
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
  wine wine64
  googletest
"

if [ "$(id -u)" -ne 0 ]; then
    echo "setup-windows-cross.sh: run as root (it installs packages with apt-get)" >&2
    exit 1
fi

missing=""
for p in $PACKAGES; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done

if [ -n "$missing" ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    # shellcheck disable=SC2086
    apt-get install -y -qq --no-install-recommends $missing
fi
