#!/bin/sh
# Installs what the build needs, builds the console in build/ and starts it.
#
#   sh scripts/run-console.sh              # on the remote attached over USB
#   sh scripts/run-console.sh --simulate   # on the simulated remote
#
# Run as root on a fresh Debian 12 machine (the package install needs it);
# later runs can start build/corvane-console directly, as any user.
set -eu

cd "$(dirname "$0")/.."
sh scripts/setup-debian.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" --target corvane-console
exec build/corvane-console "$@"
