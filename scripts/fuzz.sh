#!/bin/sh
# Builds the libFuzzer harnesses of fuzz/ with clang under AddressSanitizer
# and UndefinedBehaviorSanitizer (build-fuzz/) and runs each of them.
#
#   sh scripts/fuzz.sh                  every harness, a fixed number of runs
#                                       (deterministic: -seed=1); what the
#                                       test command runs
#   sh scripts/fuzz.sh --time 3600 [harness...]
#                                       fuzz each for an hour, keeping what
#                                       it learns in build-fuzz/corpus/
#   sh scripts/fuzz.sh --coverage       line coverage of hid/ and protocol/
#                                       reached by the seeds and by
#                                       build-fuzz/corpus/ (build-fuzz-cov/)
#
# Harnesses: reply_commands reply_flash reply_capture page_ops descriptor
# number_entry.
# A finding (crash, sanitizer report, leak, broken contract, an input that
# runs longer than 30 s: far beyond any execution, yet above the stalls a
# shared machine can have) fails the script; its input is kept in
# build-fuzz/findings/<harness>/. Clang and its runtime come with
# scripts/setup-debian.sh.
set -eu

cd "$(dirname "$0")/.."

ALL="reply_commands reply_flash reply_capture page_ops descriptor number_entry trace"
mode=runs
seconds=0
while [ $# -gt 0 ]; do
    case $1 in
        --time) mode=time; seconds=$2; shift 2 ;;
        --coverage) mode=coverage; shift ;;
        -h|--help) sed -n '2,20p' "$0"; exit 0 ;;
        -*) echo "fuzz.sh: unknown option $1" >&2; exit 2 ;;
        *) break ;;
    esac
done
harnesses=${*:-$ALL}

if ! command -v clang++ >/dev/null; then
    echo "fuzz.sh: clang++ is missing: run scripts/setup-debian.sh as root" >&2
    exit 1
fi

# Runs per harness in the fixed mode. The reply harnesses start a real link
# (with its reader thread) per execution: a few hundred executions per second
# on a busy machine, so these keep the whole run near a minute on two cores.
runs_for() {
    case $1 in
        reply_*|page_ops) echo 4000 ;;
        trace) echo 50000 ;;
        *) echo 200000 ;;
    esac
}

options_for() {  # libFuzzer options of a harness
    case $1 in
        reply_*|page_ops) echo "-dict=fuzz/packets.dict -max_len=1024" ;;
        descriptor) echo "-max_len=512" ;;
        number_entry) echo "-max_len=64" ;;
        trace) echo "-max_len=4096" ;;
    esac
}

targets=""
for h in $harnesses; do targets="$targets fuzz_$h"; done

configure() {  # configure <dir> [cmake options...]
    dir=$1
    shift
    launcher=""
    command -v ccache >/dev/null && launcher=-DCMAKE_CXX_COMPILER_LAUNCHER=ccache
    cmake -S . -B "$dir" -G Ninja -DCMAKE_CXX_COMPILER=clang++ $launcher \
        -DCORVANE_BUILD_CONSOLE=OFF -DCORVANE_BUILD_TESTS=OFF -DCORVANE_BUILD_BENCH=OFF \
        -DCORVANE_BUILD_FUZZ=ON "$@" >/dev/null
    # shellcheck disable=SC2086
    cmake --build "$dir" -j "$(nproc 2>/dev/null || echo 2)" --target $targets
}

if [ "$mode" = coverage ]; then
    configure build-fuzz-cov -DCORVANE_SANITIZE= -DCORVANE_FUZZ_COVERAGE=ON
    rm -rf build-fuzz-cov/profiles
    mkdir -p build-fuzz-cov/profiles
    objects=""  # llvm-cov takes the first binary plainly, the others after -object
    for h in $harnesses; do
        mkdir -p "build-fuzz/corpus/$h"
        # -runs=0: every input of the corpora once, no fuzzing.
        LLVM_PROFILE_FILE="build-fuzz-cov/profiles/$h.profraw" \
            "build-fuzz-cov/fuzz/fuzz_$h" -runs=0 "build-fuzz/corpus/$h" "fuzz/corpus/$h" >/dev/null 2>&1 ||
            echo "fuzz_$h: an input of the corpus fails; run the fixed mode to see it" >&2
        objects="$objects${objects:+ -object} build-fuzz-cov/fuzz/fuzz_$h"
    done
    llvm-profdata merge -sparse build-fuzz-cov/profiles/*.profraw -o build-fuzz-cov/fuzz.profdata
    # shellcheck disable=SC2086
    llvm-cov report $objects -instr-profile=build-fuzz-cov/fuzz.profdata \
        "$PWD/hid" "$PWD/protocol"
    exit 0
fi

configure build-fuzz -DCORVANE_SANITIZE=address,undefined

status=0
for h in $harnesses; do
    findings="build-fuzz/findings/$h"
    mkdir -p "$findings"
    if [ "$mode" = time ]; then
        corpus="build-fuzz/corpus/$h"
        mkdir -p "$corpus"
        limits="-max_total_time=$seconds"
    else
        # A scratch corpus: the fixed run neither depends on nor changes
        # what earlier runs found.
        corpus="build-fuzz/scratch/$h"
        rm -rf "$corpus"
        mkdir -p "$corpus"
        limits="-seed=1 -runs=$(runs_for "$h")"
    fi
    echo "== fuzz_$h ($limits)"
    # shellcheck disable=SC2046,SC2086
    if ! ASAN_OPTIONS=quarantine_size_mb=64 "build-fuzz/fuzz/fuzz_$h" $limits $(options_for "$h") \
            -timeout=30 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$findings/" \
            "$corpus" "fuzz/corpus/$h" >"build-fuzz/fuzz_$h.log" 2>&1; then
        status=1
        echo "fuzz_$h: FINDING; the input is in $findings/, the report in build-fuzz/fuzz_$h.log:" >&2
        grep -E "ERROR|SUMMARY|broken contract|Test unit written" "build-fuzz/fuzz_$h.log" >&2 || true
    fi
    grep -E "stat::number_of_executed_units|stat::average_exec_per_sec" "build-fuzz/fuzz_$h.log" | sed 's/^/   /'
done
exit $status
