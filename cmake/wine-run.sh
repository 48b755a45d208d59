#!/bin/sh
# Runs a Windows program under wine in the given prefix:
#
#   cmake/wine-run.sh PREFIX PROGRAM.exe [ARGS...]
#
# The first run makes the prefix (some seconds, about 700 MB) and sets wine's
# null graphics driver in it, so that the hidden windows of the HID backend
# can be created without a display. Concurrent first runs wait for one
# another. WINEDEBUG=-all keeps wine's own diagnostics (such as the notice
# that 32-bit wine is not installed) out of the test output.
set -eu

prefix=$1
shift

export WINEPREFIX="$prefix"
export WINEDEBUG=-all
# No Mono or Gecko install prompts while the prefix is made.
export WINEDLLOVERRIDES="mscoree=;mshtml="

if [ ! -f "$prefix/.corvane-ready" ]; then
    mkdir -p "$(dirname "$prefix")"
    (
        flock 9
        if [ ! -f "$prefix/.corvane-ready" ]; then
            wine wineboot --init >/dev/null 2>&1
            wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
            # Let wineserver write the registry out before the marker says
            # the prefix is ready.
            wineserver -w
            touch "$prefix/.corvane-ready"
        fi
    ) 9>"$prefix.lock"
fi

exec wine "$@"
