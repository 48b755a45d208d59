#!/bin/sh
# Installs the Debian 12 packages that building, running and testing the console need;
# with --windows, those of the Windows cross build and its tests under wine.
# Run as root. Safe to run again: apt-get skips what is already installed.
set -eu

PACKAGES="
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libudev-dev
  libgtest-dev libgmock-dev
  xvfb xauth
  dpkg-dev file scdoc lintian desktop-file-utils
  clang libclang-rt-dev llvm
"

# With --windows, instead: the Windows cross build and its tests under wine
# (scripts/test-windows.sh). The "-posix" compilers, since the default win32
# thread model of Debian's mingw-w64 has no std::thread; wine64 alone runs
# the 64-bit programs (its notice that 32-bit wine is missing is harmless);
# GoogleTest's sources in /usr/src/googletest, built for Windows. The
# window's cross build runs Debian's Qt host tools (moc, rcc, uic and their
# CMake files, the same Qt version as the prebuilt Qt for mingw-w64) and
# unpacks that Qt with xz.
WINDOWS_PACKAGES="
  cmake ninja-build
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
  wine wine64
  googletest
  qt6-base-dev qt6-base-dev-tools xz-utils
"

case "${1:-}" in
    "") ;;
    --windows) PACKAGES=$WINDOWS_PACKAGES ;;
    *)
        echo "usage: setup-debian.sh [--windows]" >&2
        exit 2
        ;;
esac

if [ "$(id -u)" -ne 0 ]; then
    echo "setup-debian.sh: run as root (it installs packages with apt-get)" >&2
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
