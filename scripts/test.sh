#!/bin/sh
# Installs what the build needs, builds everything in build/ and runs every
# test: the whole suite, then the non-GUI tests again under AddressSanitizer
# and UndefinedBehaviorSanitizer, the threaded suites (link, ring, simulated
# bus and remote) repeated under AddressSanitizer and ThreadSanitizer, and
# last the kernel tests (real HID devices through uhid) in a small VM:
# skipped with the reason where no VM can run, a failure under CI=true.
# Every test has its own time limit (tests/CMakeLists.txt), so a hang fails
# within a minute.
#
#   sh scripts/test.sh
#
# Run as root on a fresh Debian 12 machine (the package install needs it).
set -eu

cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

sh scripts/setup-debian.sh

configure() {  # configure <dir> [cmake options...]
    dir=$1
    shift
    cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
}

# The suites with threads of their own: the link's reader and ring, the
# simulated bus and the simulated remote's firmware thread. Run again and
# again under the sanitizers, so that a race that shows once in a while on a
# loaded machine shows here.
threaded='^(TRingFixture|TLinkFixture|TBusFixture|SimHidBus)\.'

echo "== build/: everything"
configure build
cmake --build build -j "$jobs"
(cd build && QT_QPA_PLATFORM=offscreen ctest -j "$jobs" -LE kernel --output-on-failure)

echo "== build-asan/: non-GUI tests with AddressSanitizer and UndefinedBehaviorSanitizer"
configure build-asan -DCORVANE_BUILD_CONSOLE=OFF -DCORVANE_BUILD_BENCH=OFF -DCORVANE_SANITIZE=address,undefined
cmake --build build-asan -j "$jobs"
(cd build-asan && ctest -j "$jobs" -L unit --output-on-failure)
echo "== build-asan/: the threaded suites, repeated"
(cd build-asan && ctest -j "$jobs" -R "$threaded" --repeat until-fail:3 --output-on-failure)

echo "== build-tsan/: the threaded suites with ThreadSanitizer, repeated"
configure build-tsan -DCORVANE_BUILD_CONSOLE=OFF -DCORVANE_BUILD_BENCH=OFF -DCORVANE_SANITIZE=thread
cmake --build build-tsan -j "$jobs" --target test_ring test_usb_device test_sim_remote test_plain_event_loop test_trace_platform
(cd build-tsan && ctest -j "$jobs" -R "$threaded" --repeat until-fail:3 --output-on-failure)

echo "== build-fuzz/: every fuzz harness (libFuzzer, ASan+UBSan), a fixed number of runs"
sh scripts/fuzz.sh

echo "== build-deb/: the Debian package: build, lintian, install, check, purge"
sh scripts/test-package.sh

# The Windows build of the layers below the window, with corvane-cli.exe,
# under wine; it compares corvane-cli.exe's files with build/corvane-cli's.
sh scripts/test-windows.sh

echo "== build/: kernel tests in a VM (uhid, hidraw and the udev monitor of a real kernel)"
# Without these packages the runner skips (exit 77), or fails under CI=true.
sh tools/vm/setup-vm-packages.sh || [ "${CI:-}" != true ]
rc=0
# The guest's console is a terminal: the pipe keeps ctest's summary free of
# colour codes, pipefail keeps its exit code.
tools/vm/run-in-vm.sh -- bash -c \
    'set -o pipefail; cd build && QT_QPA_PLATFORM=offscreen ctest -L kernel --repeat until-fail:2 --output-on-failure | cat' || rc=$?
case $rc in
    0) ;;
    77) echo "== kernel tests skipped: no VM on this machine (the reason is above)" ;;
    *) exit "$rc" ;;
esac
