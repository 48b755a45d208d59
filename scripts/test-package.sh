#!/bin/sh
# The Debian package, end to end: builds it in build-deb/ (Release, the
# console included) with CPack, checks it with lintian, installs it with
# apt-get, checks that the programs run from the PATH and that the udev rule,
# the menu entry and the manual pages are where udev, the menu and man look,
# then purges it and checks that it left nothing behind. The last line is
# PASS or FAIL.
#
#   sh scripts/test-package.sh
#
# Run as root on a throw-away Debian 12 machine or container that
# scripts/setup-debian.sh has prepared: it installs the package into /usr,
# and purges it again however the checks end.
set -eu

cd "$(dirname "$0")/.."
started=$(date +%s)
jobs=$(nproc 2>/dev/null || echo 2)
package=corvane-console
export DEBIAN_FRONTEND=noninteractive

failures=0
fail() {
    echo "test-package: FAIL: $*"
    failures=$((failures + 1))
}
say() {
    echo "== $*"
}
finish() {
    finished=true
    echo "test-package: $1 ($(($(date +%s) - started)) s)"
    exit "$2"
}

if [ "$(id -u)" -ne 0 ]; then
    echo "test-package.sh: run as root (it installs and purges the package)" >&2
    exit 1
fi
for tool in cmake ninja cpack dpkg-shlibdeps lintian desktop-file-validate scdoc apt-get; do
    command -v "$tool" >/dev/null 2>&1 || {
        echo "test-package.sh: $tool is missing; run scripts/setup-debian.sh first" >&2
        exit 1
    }
done
installed_status() {
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true
}
case $(installed_status) in
    *" installed" | *config-files)
        echo "test-package.sh: $package is installed already; this test would remove it" >&2
        exit 1
        ;;
esac

# From here on the package is purged however the script ends, and an early
# end is a failure too.
work=$(mktemp -d)
mkdir "$work/scratch"
finished=false
# shellcheck disable=SC2317  # called by the trap
cleanup() {
    case $(installed_status) in
        *" installed" | *config-files | *half-*) apt-get purge -y -qq "$package" >/dev/null || true ;;
    esac
    rm -rf "$work"
    $finished || echo "test-package: FAIL (stopped early) ($(($(date +%s) - started)) s)"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# --- Build ---------------------------------------------------------------------------
# Debian's own compiler and linker flags (hardening included), as a package
# build by the distribution's tools would use them.

say "build-deb/: Release build and package"
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cxxflags="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
ldflags=$(dpkg-buildflags --get LDFLAGS)
set --
if command -v ccache >/dev/null 2>&1; then
    set -- -DCMAKE_CXX_COMPILER_LAUNCHER=ccache
fi
cmake -S . -B build-deb -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCORVANE_BUILD_CONSOLE=ON -DCORVANE_BUILD_TESTS=OFF -DCORVANE_BUILD_BENCH=OFF \
    -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" "$@" >/dev/null
cmake --build build-deb -j "$jobs"
rm -f build-deb/"$package"_*.deb
(cd build-deb && cpack -G DEB >/dev/null)
deb=$(ls build-deb/"$package"_*.deb)
echo "$deb"
dpkg-deb -f "$deb" Package Version Depends
dpkg -c "$deb"

contents=$(dpkg -c "$deb" | awk '{ print $6 }')
has() {
    echo "$contents" | grep -qx "./$1"
}
for path in usr/bin/corvane-console usr/bin/corvane-sim usr/lib/udev/rules.d/69-corvane-one.rules \
    usr/share/applications/corvane-console.desktop usr/share/icons/hicolor/scalable/apps/corvane-console.svg \
    usr/share/man/man1/corvane-console.1.gz usr/share/man/man1/corvane-sim.1.gz \
    usr/share/doc/$package/copyright usr/share/doc/$package/changelog.gz; do
    has "$path" || fail "the package lacks /$path"
done
# corvane-cli is packaged whenever the tree has it.
with_cli=false
if has usr/bin/corvane-cli; then
    with_cli=true
    has usr/share/man/man1/corvane-cli.1.gz || fail "the package lacks corvane-cli's manual page"
elif [ -e cli/CMakeLists.txt ]; then
    fail "the tree has cli/ but the package no corvane-cli (is add_subdirectory(packaging) still last?)"
else
    echo "(no corvane-cli in this tree: its checks are skipped)"
fi

# --- lintian -------------------------------------------------------------------------

say "lintian"
if lintian --fail-on error,warning "$deb"; then
    echo "lintian: no errors or warnings"
else
    fail "lintian reports errors or warnings"
fi

# --- Install -------------------------------------------------------------------------
# The dependencies are installed first and kept out of the comparison: what
# must be gone after the purge is this package, not the libraries it needed.

# The places a package's files and dpkg's record of them can be in; the
# caches that other packages' triggers rebuild are not files of this package.
snapshot() {
    find /usr /etc /opt /lib /var/lib/dpkg/info -xdev 2>/dev/null | LC_ALL=C sort
}
trigger_caches='^(/usr/share/applications/mimeinfo\.cache|/usr/share/icons/hicolor/icon-theme\.cache)$'

say "install"
apt-get satisfy -y -qq "$(dpkg-deb -f "$deb" Depends)" >/dev/null
snapshot >"$work/before"

apt-get install -y -qq "./$deb" >/dev/null
case $(installed_status) in
    *" installed") ;;
    *) fail "apt-get did not install $package: $(installed_status)" ;;
esac

# --- Installed -----------------------------------------------------------------------

say "programs on the PATH"
# Run from an empty directory, which must stay empty: none of these writes a file.
run() {  # run <expected text> <program> [arguments...]
    expected=$1
    shift
    where=$(command -v "$1" || true)
    if [ "$where" != "/usr/bin/$1" ]; then
        fail "$1 is not on the PATH from /usr/bin (found: ${where:-nothing})"
        return
    fi
    rc=0
    output=$(cd "$work/scratch" && timeout 60 "$@" 2>&1) || rc=$?
    printf '$ %s\n%s\n' "$*" "$(echo "$output" | head -n 3)"
    if [ "$rc" -ne 0 ]; then
        fail "$* exited with $rc"
    elif ! echo "$output" | grep -q "$expected"; then
        fail "$* did not print \"$expected\""
    fi
}
run "usage: corvane-console" corvane-console --help
run "usage: corvane-sim" corvane-sim --help
if $with_cli; then
    run "Device connected" corvane-cli --simulate status
fi
[ -z "$(ls -A "$work/scratch")" ] || fail "the programs left files in the current directory: $(ls -A "$work/scratch")"
# Advice that the programs print must point at something installed: the
# package ships no README, but the manual pages.
for program in /usr/bin/corvane-console /usr/bin/corvane-sim /usr/bin/corvane-cli; do
    if [ -f "$program" ] && grep -q "the README" "$program"; then
        fail "$program refers to a README, which the package does not install"
    fi
done

say "udev rule"
# Packaged rules go where udev's own are (one directory on a merged /usr).
rule=/usr/lib/udev/rules.d/69-corvane-one.rules
if [ ! -f "$rule" ]; then
    fail "no $rule"
elif ! cmp -s "$rule" udev/69-corvane-one.rules; then
    fail "$rule differs from udev/69-corvane-one.rules"
else
    echo "$rule: the rule as in udev/"
    # /lib/udev/rules.d is /usr/lib/udev/rules.d on a merged /usr; udev reads both.
    for seat in /usr/lib/udev/rules.d/73-seat-late.rules /lib/udev/rules.d/73-seat-late.rules; do
        if [ -f "$seat" ]; then
            echo "$seat is there: the rule's uaccess tag takes effect"
            break
        fi
    done
fi

say "menu entry and icon"
entry=/usr/share/applications/corvane-console.desktop
icon=/usr/share/icons/hicolor/scalable/apps/corvane-console.svg
if [ ! -f "$entry" ]; then
    fail "no $entry"
elif ! desktop-file-validate "$entry"; then
    fail "desktop-file-validate rejects $entry"
else
    echo "$entry: desktop-file-validate passes"
    [ "$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$entry")" = corvane-console ] || fail "$entry does not start corvane-console"
    [ "$(sed -n 's/^Icon=//p' "$entry")" = corvane-console ] || fail "$entry does not name the icon corvane-console"
fi
[ -f "$icon" ] || fail "no $icon"

say "manual pages"
if command -v man >/dev/null 2>&1; then
    pages="corvane-console corvane-sim"
    if $with_cli; then pages="$pages corvane-cli"; fi
    for page in $pages; do
        found=$(man -w "$page" 2>/dev/null || true)
        if [ "$found" = "/usr/share/man/man1/$page.1.gz" ]; then
            echo "man $page: $found"
        else
            fail "man -w $page finds '${found:-nothing}'"
        fi
    done
else
    echo "(no man on this machine: lintian has checked the pages)"
fi

# --- Purge ---------------------------------------------------------------------------

say "purge"
apt-get purge -y -qq "$package" >/dev/null
case $(installed_status) in
    "" | *not-installed) ;;
    *) fail "after the purge dpkg still records $package: $(installed_status)" ;;
esac
snapshot >"$work/after"

LC_ALL=C comm -13 "$work/before" "$work/after" | grep -Ev "$trigger_caches" >"$work/left" || true
LC_ALL=C comm -23 "$work/before" "$work/after" >"$work/gone" || true
while IFS= read -r path; do
    # A file that another package owns was installed meanwhile by someone else.
    owner=$(dpkg -S "$path" 2>/dev/null | head -n 1 | cut -d: -f1 || true)
    if [ -n "$owner" ] && [ "$owner" != "$package" ]; then
        echo "   new since the install, from $owner: $path"
    else
        fail "left behind: $path"
    fi
done <"$work/left"
while IFS= read -r path; do
    fail "gone since the install: $path"
done <"$work/gone"
if [ ! -s "$work/left" ] && [ ! -s "$work/gone" ]; then
    echo "the file lists before the install and after the purge are the same"
fi

if [ "$failures" -eq 0 ]; then
    finish PASS 0
fi
finish "FAIL ($failures checks)" 1
