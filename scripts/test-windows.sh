#!/bin/sh
# The Windows build and its tests: cross-builds the layers below the window
# (hid/, protocol/, sim/, ops/), corvane-cli.exe and, given the prebuilt Qt,
# the window (corvane-console.exe) and their tests as Windows programs with
# mingw-w64 in build-win/, and runs them under wine through CTest. The wine prefix is
# made on the first run, inside build-win/ (some seconds, about 700 MB).
#
#   sh scripts/test-windows.sh
#
# Run as root on a fresh Debian 12 machine (the package install needs it).
set -eu

cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
started=$(date +%s)

sh scripts/setup-debian.sh --windows

# The files that corvane-cli.exe writes are compared with the Linux build's,
# when there is one (scripts/test.sh builds it first).
host_cli=""
[ -x build/corvane-cli ] && host_cli="$PWD/build/corvane-cli"

# The window needs a Qt built for mingw-w64, which Debian lacks: a prebuilt
# one (static, see its README) sits in shared/qt6-mingw beside the clone.
# It is unpacked into build-win/ once; without it the window is left out.
qt_tarball="$(dirname "$PWD")/shared/qt6-mingw/qt6-mingw.tar.xz"
qt_dir="$PWD/build-win/qt6-mingw"
console=OFF
if [ -f "$qt_tarball" ]; then
    if [ ! -f "$qt_dir/.unpacked" ] || [ "$qt_tarball" -nt "$qt_dir/.unpacked" ]; then
        echo "== unpacking $qt_tarball into build-win/"
        rm -rf "$qt_dir"
        mkdir -p build-win
        tar -xJf "$qt_tarball" -C build-win
        touch "$qt_dir/.unpacked"
    fi
    console=ON
else
    echo "== no $qt_tarball: the window (corvane-console.exe and its tests) is skipped"
fi

echo "== build-win/: Windows programs (mingw-w64), tests under wine"
cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
    -DCORVANE_BUILD_CONSOLE=$console -DCORVANE_QT_MINGW_DIR="$([ $console = ON ] && echo "$qt_dir")" \
    -DCORVANE_BUILD_BENCH=OFF -DCORVANE_HOST_CLI="$host_cli" >/dev/null
cmake --build build-win -j "$jobs"
built=$(date +%s)
# Wine on a busy machine stretches every wait (a 1 ms sleep takes about
# 3 ms, a 10 ms one 13): a program whose shortened test timing a stall
# overran is run once more; failing twice fails.
rc=0
(cd build-win && ctest -j "$jobs" --output-on-failure --repeat until-pass:2) || rc=$?
finished=$(date +%s)
# The wine session would otherwise linger for a minute after the last test.
WINEPREFIX="$PWD/build-win/wine-prefix" wineserver -k 2>/dev/null || true
echo "== Windows part: $((built - started)) s to set up and build, $((finished - built)) s of tests under wine"
exit "$rc"
