#!/bin/sh
# corvane-cli.exe as a process under wine, on its simulated remote: help and
# exit codes, a dump of the whole flash, a flash read into a file, a write
# with verify (matching and mismatching), a capture into a file. Where the Linux build's corvane-cli is
# given, the files must be byte for byte the same as the ones it writes.
#
#   cli_process.sh WORK_DIR CLI_EXE HOST_CLI|"" EMULATOR [EMULATOR ARGS...]
#
# The simulated remote lives inside each process and starts as the same demo
# remote every time, so each command sees the same flash.
set -eu

work=$1
cli=$2
host=$3  # "none" when there is no Linux build
[ "$host" = none ] && host=""
shift 3  # the rest: the emulator that runs a Windows program

# The rest of the arguments: the emulator that runs a Windows program, kept
# quoted for eval.
emulator=""
for arg; do
    emulator="$emulator '$(printf %s "$arg" | sed "s/'/'\\\\''/g")'"
done

rm -rf "$work"
mkdir -p "$work/win" "$work/linux"
failures=0

fail() {
    echo "FAILED: $*"
    failures=$((failures + 1))
}

# win CODE ARGS...: runs corvane-cli.exe in the Windows folder and checks its
# exit code; its output is left in out and err there.
win() {
    code=$1
    shift
    started=$(date +%s%N)
    rc=0
    (cd "$work/win" && eval "$emulator \"\$cli\" \"\$@\"" >out 2>err) || rc=$?
    ms=$((($(date +%s%N) - started) / 1000000))
    echo "corvane-cli.exe $* -> exit $rc ($ms ms)"
    if [ "$rc" -ne "$code" ]; then
        fail "expected exit $code"
        sed 's/^/  stderr: /' "$work/win/err"
    fi
}

# same_as_linux FILE ARGS...: the Linux build, given the same arguments,
# writes the same FILE.
same_as_linux() {
    file=$1
    shift
    if [ -z "$host" ]; then
        echo "  (no Linux build given: $file not compared)"
        return
    fi
    (cd "$work/linux" && "$host" "$@" >/dev/null 2>&1) || fail "Linux corvane-cli $*"
    if cmp -s "$work/win/$file" "$work/linux/$file"; then
        echo "  $file: the same as the Linux build's ($(wc -c <"$work/win/$file") bytes)"
    else
        fail "$file differs from the Linux build's"
    fi
}

# The whole flash goes at the endpoint's pace of one report a millisecond:
# 16 MiB take about four and a half minutes. The Linux build dumps it at the
# same time, and the other checks run meanwhile.
mkdir -p "$work/win/dump" "$work/linux/dump"
dump_started=$(date +%s)
(
    cd "$work/win/dump"
    rc=0
    eval "$emulator \"\$cli\" --simulate flash dump" >out 2>err || rc=$?
    echo "$rc" >rc
) &
win_dump=$!
linux_dump=""
if [ -n "$host" ]; then
    (
        cd "$work/linux/dump"
        rc=0
        "$host" --simulate flash dump >out 2>err || rc=$?
        echo "$rc" >rc
    ) &
    linux_dump=$!
fi

# dumped DIR: the one file that a dump wrote in DIR, named by the time it
# started.
dumped() {
    set -- "$1"/*_flash.bin
    [ $# -eq 1 ] && [ -f "$1" ] && echo "$1"
}

win 0 --help
grep -q "130  interrupted" "$work/win/out" || fail "--help lists no exit codes"

win 2 --simulate flash erase -1
grep -q "outside the 16 MiB flash" "$work/win/err" || fail "no reason for the refused address"

win 0 --simulate version
grep -q "^Received (hex): " "$work/win/out" || fail "no version reply"

# A flash read into a file: 64 KiB of the demo flash.
win 0 --simulate flash read 0x3D0000 0x10000 -o app.bin
same_as_linux app.bin --simulate flash read 0x3D0000 0x10000 -o app.bin

# A raw write only programs, and programming only clears bits: zeros read
# back as written, ones do not (the demo flash holds content there).
head -c 256 /dev/zero >"$work/win/zeros.bin"
win 0 --simulate flash write 0x10000 zeros.bin --raw --verify
grep -q "^Verified 256 bytes at 010000" "$work/win/out" || fail "no verify line"
head -c 256 /dev/zero | tr '\0' '\377' >"$work/win/ones.bin"
win 5 --simulate flash write 0x1000 ones.bin --raw --verify
grep -q "verify mismatch at 0x00" "$work/win/err" || fail "no mismatch line"

# A capture of the demo remote's signal into a file.
win 0 --simulate ir capture -o captured.bin
grep -q "^IR capture success" "$work/win/out" || fail "no capture line"
same_as_linux captured.bin --simulate ir capture -o captured.bin

wait "$win_dump" || true
win_file=$(dumped "$work/win/dump") || win_file=""
echo "corvane-cli.exe --simulate flash dump -> exit $(cat "$work/win/dump/rc") ($(($(date +%s) - dump_started)) s)"
if [ "$(cat "$work/win/dump/rc")" != 0 ] || [ -z "$win_file" ]; then
    fail "the whole-flash dump"
    sed 's/^/  stderr: /' "$work/win/dump/err"
elif [ "$(wc -c <"$win_file")" -ne 16777216 ]; then
    fail "the dump holds $(wc -c <"$win_file") bytes, not 16 MiB"
fi
if [ -n "$linux_dump" ]; then
    wait "$linux_dump" || true
    linux_file=$(dumped "$work/linux/dump") || linux_file=""
    if [ "$(cat "$work/linux/dump/rc")" != 0 ] || [ -z "$linux_file" ]; then
        fail "the Linux build's whole-flash dump"
    elif [ -n "$win_file" ] && cmp -s "$win_file" "$linux_file"; then
        echo "  $(basename "$win_file"): the same as the Linux build's $(basename "$linux_file")"
    else
        fail "the whole-flash dump differs from the Linux build's"
    fi
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all corvane-cli.exe checks passed"
