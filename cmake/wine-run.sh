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

# Wine starts its service programs (services.exe, explorer.exe, the device
# host) from whichever program of a session comes first, and they keep that
# program's standard output open until the session ends. CTest waits for the
# output to close, so a test that happened to come first would last as long
# as the longest test beside it. The session is started here instead, apart
# from any program's output, and lasts a minute after its last program so
# that the next test finds it.
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
    # Not with the lock's descriptor either: the session would hold the
    # lock for as long as it lasts.
    if ! wineserver -k0 2>/dev/null; then
        wineserver -p60 </dev/null >/dev/null 2>&1 9>&-
        wine wineboot </dev/null >/dev/null 2>&1 9>&-
    fi
) 9>"$prefix.lock"

exec wine "$@"
