#!/bin/bash
# Runs one command inside a small QEMU virtual machine that boots a stock Debian
# kernel with the host's root file system shared read-only, so tests can use a
# real kernel HID stack (uhid + hidraw) that the host kernel may lack.
#
#   tools/vm/run-in-vm.sh [options] -- COMMAND [ARGS...]
#
# The command runs as root in a chroot of the host root, in the same working
# directory, with the share directory (default: the working directory) mounted
# writable at the same path. Its output streams to this script's stdout and its
# exit code becomes this script's exit code.
#
# Exit codes besides the command's own:
#   77   skipped: QEMU or another tool is missing, or no kernel could be had
#        (only when CI is not "true"; under CI=true these are failures, 125)
#   124  the guest ran longer than --timeout and was killed
#   125  the runner itself failed (preparation, boot, bad usage)
#
# Packages it needs: tools/vm/setup-vm-packages.sh (as root). This script
# installs nothing; it downloads the kernel package into its cache with
# `apt-get download` and unpacks it there without installing it.
set -u

readonly PROG=run-in-vm
SCRIPT_DIR=$(cd "$(dirname "$0")" && pwd)
REPO_DIR=$(cd "$SCRIPT_DIR/../.." && pwd)
readonly SCRIPT_DIR REPO_DIR

# Modules the guest needs for the 9p shares and the HID stack. Any of them may
# be built into another kernel; those are skipped.
readonly BASE_MODULES="virtio virtio_ring virtio_pci_modern_dev virtio_pci_legacy_dev virtio_pci
9pnet 9pnet_virtio netfs fscache 9p hid uhid hid-generic"

usage() {
    cat <<EOF
usage: $0 [options] -- COMMAND [ARGS...]

Options:
  --kvm             use KVM instead of software emulation (TCG)
  --cache DIR       cache for the kernel and initramfs
                    (default: \$RUN_IN_VM_CACHE or $REPO_DIR/build-vm)
  --share DIR       directory shared writable at the same path
                    (default: the current working directory)
  --timeout SECS    kill the guest after SECS seconds (default: \$RUN_IN_VM_TIMEOUT or 1200)
  --memory MB       guest memory (default: 1024)
  --cpus N          guest vCPUs (default: 2)
  --module NAME     also load kernel module NAME (and its dependencies); repeatable
  --env NAME[=VAL]  pass NAME (from this environment, or as VAL) to the command; repeatable
  --prepare-only    build the cache and exit without booting
  --verbose         show the preparation steps, and the firmware's and kernel's
                    messages on stderr (otherwise shown only when the guest fails)
  -h, --help        this text

The command always gets PATH, HOME=/root and TERM; CI, QT_QPA_PLATFORM, LANG
and LC_ALL are passed through when set.
EOF
}

say() { echo "$PROG: $*" >&2; }
verbose() { [ "$VERBOSE" = 1 ] && say "$@"; return 0; }
die() { say "error: $*"; exit 125; }

# Something this machine lacks: a skip for a developer, a failure under CI.
unavailable() {
    if [ "${CI:-}" = "true" ]; then
        say "error: $* (CI=true, so this is a failure)"
        exit 125
    fi
    say "skipping: $*"
    exit 77
}

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }

# Quotes one word for a POSIX shell.
shquote() { printf "'%s'" "$(printf '%s' "$1" | sed "s/'/'\\\\''/g")"; }

# ---------------------------------------------------------------- options

KVM=0
CACHE_DIR=${RUN_IN_VM_CACHE:-$REPO_DIR/build-vm}
SHARE_DIR=$PWD
TIMEOUT=${RUN_IN_VM_TIMEOUT:-1200}
MEMORY=1024
CPUS=2
EXTRA_MODULES=""
EXTRA_ENV=()
PREPARE_ONLY=0
VERBOSE=0

need_arg() { [ $# -ge 2 ] || { say "error: $1 needs a value"; usage >&2; exit 125; }; }

while [ $# -gt 0 ]; do
    case "$1" in
        --kvm) KVM=1 ;;
        --cache) need_arg "$@"; CACHE_DIR=$2; shift ;;
        --share) need_arg "$@"; SHARE_DIR=$2; shift ;;
        --timeout) need_arg "$@"; TIMEOUT=$2; shift ;;
        --memory) need_arg "$@"; MEMORY=$2; shift ;;
        --cpus) need_arg "$@"; CPUS=$2; shift ;;
        --module) need_arg "$@"; EXTRA_MODULES="$EXTRA_MODULES $2"; shift ;;
        --env) need_arg "$@"; EXTRA_ENV+=("$2"); shift ;;
        --prepare-only) PREPARE_ONLY=1 ;;
        --verbose) VERBOSE=1 ;;
        -h|--help) usage; exit 0 ;;
        --) shift; break ;;
        *) say "error: unknown option '$1'"; usage >&2; exit 125 ;;
    esac
    shift
done

if [ "$PREPARE_ONLY" = 0 ] && [ $# -eq 0 ]; then
    say "error: no command given"
    usage >&2
    exit 125
fi
for n in "$TIMEOUT" "$MEMORY" "$CPUS"; do
    case "$n" in ''|*[!0-9]*) die "'$n' is not a whole number" ;; esac
done
[ -d "$SHARE_DIR" ] || die "share directory '$SHARE_DIR' does not exist"
SHARE_DIR=$(cd "$SHARE_DIR" && pwd -P)
[ "$SHARE_DIR" != / ] || die "the share directory cannot be /"
WORK_DIR=$(pwd -P)

# ---------------------------------------------------------------- tools

command -v qemu-system-x86_64 >/dev/null 2>&1 ||
    unavailable "qemu-system-x86_64 is not installed (run tools/vm/setup-vm-packages.sh as root)"
for t in cpio gzip apt-get apt-cache dpkg-deb flock timeout sha256sum; do
    command -v "$t" >/dev/null 2>&1 ||
        unavailable "$t is not installed (run tools/vm/setup-vm-packages.sh as root)"
done
BUSYBOX=/bin/busybox
# The initramfs has no C library: only the static build runs there. A dynamic
# executable has an .interp section naming its loader.
if [ ! -x "$BUSYBOX" ] || grep -q '\.interp' "$BUSYBOX"; then
    unavailable "busybox-static is not installed (run tools/vm/setup-vm-packages.sh as root)"
fi

# ---------------------------------------------------------------- init

# The guest's /init. It runs from the initramfs, mounts the shares, chroots into
# the host root and runs /ctl/cmd.sh, which the host writes for every run.
# Whatever happens, it powers the guest off; the host reads /ctl/rc.
# shellcheck disable=SC2016 # expanded by the guest's shell
INIT_SCRIPT='#!/bin/sh
export PATH=/bin
/bin/busybox --install -s /bin
mount -t devtmpfs devtmpfs /dev
# The kernel logs to the first serial port (a file on the host); the command
# talks to the second, which is the stdio of QEMU on the host.
exec </dev/ttyS1 >/dev/ttyS1 2>&1
mount -t proc proc /proc
mount -t sysfs sysfs /sys

fail() {
    echo "run-in-vm guest: $*"
    poweroff -f
}

# Nothing loads modules for us: no udevd runs here.
for m in $(cat /etc/modules-to-load); do
    modprobe "$m" || fail "cannot load module $m"
done

OPTS=trans=virtio,version=9p2000.L,msize=262144
mount -t 9p -o "$OPTS" ctl /ctl || fail "cannot mount the control share"
. /ctl/env

R=/newroot
mount -t 9p -o "$OPTS,ro,cache=loose" hostroot $R || fail "cannot mount the host root"
mount -t proc proc $R/proc
mount -t sysfs sysfs $R/sys
mount -t devtmpfs devtmpfs $R/dev
mkdir -p $R/dev/pts $R/dev/shm
mount -t devpts -o newinstance,ptmxmode=0666 devpts $R/dev/pts
mount -t tmpfs -o mode=1777 tmpfs $R/dev/shm
mount -t tmpfs -o mode=1777 tmpfs $R/tmp
mount -t tmpfs -o mode=755 tmpfs $R/run
mkdir -p "$R$RIV_SHARE"
# cache=mmap: what the command writes reaches the host at once, and shared
# writable mappings work.
mount -t 9p -o "$OPTS,cache=mmap" share "$R$RIV_SHARE" || fail "cannot mount $RIV_SHARE"
cp /ctl/cmd.sh $R/run/run-in-vm.sh
hostname vm
ifconfig lo 127.0.0.1 up

# Plain newlines: a pipe on the host wants them, and a terminal on the host
# adds the carriage returns itself (QEMU leaves its output processing on).
stty -onlcr

: >/ctl/started
if [ "$RIV_STDIN" = console ]; then
    env -i /bin/chroot $R /bin/sh /run/run-in-vm.sh
else
    env -i /bin/chroot $R /bin/sh /run/run-in-vm.sh </dev/null
fi
rc=$?
# Wait until the serial port has sent what the command wrote: stty applies its
# settings only once the output has drained.
stty "$(stty -g)"
echo $rc >/ctl/rc
sync
poweroff -f
'

# ---------------------------------------------------------------- kernel

# Writes a cpio "newc" archive holding dev/ and the dev/console node, so that
# building the initramfs needs no mknod (and no root). The kernel unpacks
# concatenated archives one after the other.
console_cpio() {
    entry() { # name mode rdevmajor rdevminor
        local namesize=$((${#1} + 1))
        printf '070701%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X' \
            "$ino" "$2" 0 0 1 0 0 0 0 "$3" "$4" "$namesize" 0
        printf '%s\0' "$1"
        # header (110 bytes) + name, padded to a multiple of 4
        local pad=$(( (4 - (110 + namesize) % 4) % 4 ))
        head -c "$pad" /dev/zero
        ino=$((ino + 1))
    }
    local ino=1
    entry dev $((0040755)) 0 0
    entry dev/console $((0020600)) 5 1
    entry 'TRAILER!!!' 0 0 0
}

# Writes the uncompressed vmlinux held in the bzImage $1 to $2: finds each
# compression magic in the file and keeps the first that decompresses to ELF.
extract_vmlinux() {
    local image=$1 out=$2 magic tool offset
    for pair in '\x1f\x8b\x08:gzip -dc' '\xfd7zXZ\x00:xz -dc' '\x28\xb5\x2f\xfd:zstd -dcq' \
                'BZh:bzip2 -dc' '\x5d\x00\x00\x00:xz -dc --format=lzma' \
                '\x02\x21\x4c\x18:lz4 -dc' '\x89LZO:lzop -dc'; do
        magic=${pair%%:*}
        tool=${pair#*:}
        command -v "${tool%% *}" >/dev/null 2>&1 || continue
        while read -r offset; do
            # The compressed data is followed by more of the image, which the
            # decompressors complain about: judge by the result instead.
            tail -c +$((offset + 1)) "$image" | $tool >"$out" 2>/dev/null
            if [ "$(head -c 4 "$out" | od -An -c | tr -d ' ')" = '177ELF' ]; then
                return 0
            fi
        done < <(LC_ALL=C grep -aboP "$magic" "$image" | cut -d: -f1)
    done
    rm -f "$out"
    return 1
}

# Prints the first of its arguments that exists (an unmatched glob does not).
first_file() {
    local f
    for f in "$@"; do
        [ -e "$f" ] && { printf '%s' "$f"; return 0; }
    done
    return 0
}

# Decompresses or copies one module file to a plain .ko.
copy_module() {
    case "$1" in
        *.ko) cp "$1" "$2" ;;
        *.ko.xz) xz -dc "$1" >"$2" ;;
        *.ko.zst) zstd -dcq "$1" >"$2" ;;
        *.ko.gz) gzip -dc "$1" >"$2" ;;
        *) return 1 ;;
    esac
}

# Finds which Debian package `linux-image-amd64` points at now: prints
# "PACKAGE VERSION", or fails when apt's lists know no such package. The
# answer is kept beside the cache until apt's lists change, since asking
# apt-cache costs about a second.
resolve_kernel_package() {
    local stamp answer
    stamp=$(stat -c '%Y.%Z' /var/lib/apt/lists /var/cache/apt/pkgcache.bin 2>/dev/null | tr '\n' ' ')
    if [ -s "$CACHE_DIR/resolved" ] && [ "$(head -n 1 "$CACHE_DIR/resolved")" = "$stamp" ]; then
        sed -n 2p "$CACHE_DIR/resolved"
        return 0
    fi
    # The candidate's Depends pins the image package exactly:
    # "Depends: linux-image-6.1.0-57-amd64 (= 6.1.192-3)".
    answer=$(apt-cache show --no-all-versions linux-image-amd64 2>/dev/null |
             sed -n 's/^Depends: *\(linux-image-[^ ,]*\) *(= *\([^) ]*\)).*/\1 \2/p' | head -n 1)
    [ -n "$answer" ] || return 1
    printf '%s\n%s\n' "$stamp" "$answer" >"$CACHE_DIR/resolved"
    echo "$answer"
}

# Makes sure $KDIR holds vmlinux and an initramfs for the module set; sets
# VMLINUX and INITRD. Runs under the cache lock.
prepare() {
    local resolved pkg ver key
    if resolved=$(resolve_kernel_package); then
        pkg=${resolved% *}
        ver=${resolved#* }
        key="${pkg}_${ver}"
    elif [ -s "$CACHE_DIR/current" ]; then
        key=$(cat "$CACHE_DIR/current")
        pkg=${key%_*}
        ver=${key##*_}
        say "apt knows no linux-image-amd64 (run apt-get update); using the cached $key"
    else
        unavailable "apt knows no linux-image-amd64 and nothing is cached (run apt-get update)"
    fi
    KDIR=$CACHE_DIR/$key
    mkdir -p "$KDIR" || die "cannot create $KDIR"

    # Download what is new; when that fails, a kernel prepared earlier serves.
    local t0 deb previous
    t0=$(now)
    deb=$(first_file "$KDIR"/*.deb)
    if [ -z "$deb" ]; then
        say "downloading $pkg=$ver"
        # As root apt hands the download to its "_apt" user, which may not
        # be able to write to the cache; there is nothing to protect here.
        local sandbox=()
        [ "$(id -u)" != 0 ] || sandbox=(-o APT::Sandbox::User=root)
        (cd "$KDIR" && apt-get download -qq "${sandbox[@]}" "$pkg=$ver" >&2)
        deb=$(first_file "$KDIR"/*.deb)
        if [ -z "$deb" ]; then
            rmdir "$KDIR" 2>/dev/null
            previous=$(cat "$CACHE_DIR/current" 2>/dev/null)
            if [ -n "$previous" ] && deb=$(first_file "$CACHE_DIR/$previous"/*.deb) && [ -n "$deb" ]; then
                say "cannot download $pkg=$ver; using the cached $previous"
                key=$previous
                KDIR=$CACHE_DIR/$key
            else
                unavailable "cannot download $pkg=$ver with apt-get download"
            fi
        fi
    fi

    local modules manifest digest
    # shellcheck disable=SC2086 # one word per module, whatever the spacing
    modules=$(printf '%s ' $BASE_MODULES $EXTRA_MODULES)
    # The initramfs depends on init, the module list and busybox: a change to
    # any of them builds a new one.
    manifest=$(printf '%s\n---\n%s\n---\n' "$INIT_SCRIPT" "$modules"; sha256sum <"$BUSYBOX")
    digest=$(printf '%s' "$manifest" | sha256sum | cut -c1-16)
    VMLINUX=$KDIR/vmlinux
    INITRD=$KDIR/initramfs-$digest.cpio.gz
    if [ -s "$VMLINUX" ] && [ -s "$INITRD" ]; then
        echo "$key" >"$CACHE_DIR/current"
        return 0
    fi

    local tree
    say "preparing $key in $KDIR"
    tree=$KDIR/unpacked
    UNPACKED=$tree
    rm -rf "$tree"
    verbose "unpacking $deb"
    if ! dpkg-deb -x "$deb" "$tree"; then
        # Perhaps a download cut short: fetch it again next time.
        rm -f "$deb"
        die "cannot unpack $deb"
    fi
    local kver
    kver=$(first_file "$tree"/lib/modules/*)
    kver=${kver##*/}
    [ -n "$kver" ] || die "$deb holds no /lib/modules/VERSION"

    if [ ! -s "$VMLINUX" ]; then
        verbose "extracting vmlinux"
        extract_vmlinux "$tree/boot/vmlinuz-$kver" "$VMLINUX.tmp" ||
            die "cannot find an uncompressed kernel in vmlinuz-$kver"
        mv "$VMLINUX.tmp" "$VMLINUX"
    fi

    build_initramfs "$tree" "$kver" "$modules" "$INITRD.tmp" || die "cannot build the initramfs"
    mv "$INITRD.tmp" "$INITRD"
    rm -rf "$tree"
    UNPACKED=""
    # Kernels that linux-image-amd64 no longer points at are of no further use.
    # A guest still running one keeps its open files.
    find "$CACHE_DIR" -mindepth 1 -maxdepth 1 -type d -name 'linux-image-*' ! -name "$key" \
        -exec rm -rf {} +
    echo "$key" >"$CACHE_DIR/current"
    say "prepared $key in $(elapsed "$t0" "$(now)") s"
}

# build_initramfs TREE KVER "MODULES" OUT
build_initramfs() {
    local tree=$1 kver=$2 wanted=$3 out=$4
    local mdir=$tree/lib/modules/$kver
    local stage=$tree/initramfs
    local -A path_of=()
    local f name

    # Module names use "_" where file names may use "-".
    while IFS= read -r f; do
        name=${f##*/}
        name=${name%%.ko*}
        path_of[${name//-/_}]=$f
    done < <(find "$mdir" -name '*.ko*')

    mkdir -p "$stage"/{bin,dev,proc,sys,etc,ctl,newroot,lib/modules/"$kver"} || return 1
    cp "$BUSYBOX" "$stage/bin/busybox" || return 1
    ln -s busybox "$stage/bin/sh"
    printf '%s' "$INIT_SCRIPT" >"$stage/init"
    chmod 755 "$stage/init"

    # Copy the wanted modules and, transitively, what their "depends=" names.
    local -A done_mod=()
    local queue=() load=() m key rel dep
    for m in $wanted; do queue+=("$m"); done
    while [ ${#queue[@]} -gt 0 ]; do
        m=${queue[0]}
        queue=("${queue[@]:1}")
        key=${m//-/_}
        [ -z "${done_mod[$key]:-}" ] || continue
        done_mod[$key]=1
        f=${path_of[$key]:-}
        if [ -z "$f" ]; then
            if grep -q "/${m}.ko\$\|/${key}.ko\$\|/${m//_/-}.ko\$" "$mdir/modules.builtin" 2>/dev/null; then
                verbose "module $m is built in"
                continue
            fi
            say "error: kernel $kver has no module $m"
            return 1
        fi
        rel=${f#"$mdir"/}
        rel=${rel%.ko*}.ko
        mkdir -p "$stage/lib/modules/$kver/${rel%/*}"
        copy_module "$f" "$stage/lib/modules/$kver/$rel" || return 1
        load+=("$m")
        for dep in $(tr '\0' '\n' <"$stage/lib/modules/$kver/$rel" | sed -n 's/^depends=//p' | tr ',' ' '); do
            queue+=("$dep")
        done
    done
    cp "$mdir"/modules.builtin* "$stage/lib/modules/$kver/" 2>/dev/null
    "$BUSYBOX" depmod -b "$stage" "$kver" || return 1
    # modprobe pulls in dependencies itself; only the named modules are listed.
    for m in $wanted; do
        for f in "${load[@]}"; do
            [ "$f" = "$m" ] && echo "$m"
        done
    done >"$stage/etc/modules-to-load"
    verbose "modules in the initramfs: ${load[*]}"

    { console_cpio | gzip -1; } >"$out" || return 1
    (cd "$stage" && find . -mindepth 1 | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet | gzip -1) >>"$out" ||
        return 1
}

UNPACKED=""
CTL=""
POLLER=""
GUEST=""
# shellcheck disable=SC2317 # called by the EXIT trap
cleanup() {
    [ -z "$POLLER" ] || kill "$POLLER" 2>/dev/null
    # timeout(1) hands the signal on to QEMU.
    if [ -n "$GUEST" ]; then
        kill "$GUEST" 2>/dev/null
        wait "$GUEST" 2>/dev/null
    fi
    [ -z "$CTL" ] || rm -rf "$CTL"
    # A preparation that failed half-way leaves 400 MB of unpacked kernel.
    [ -z "$UNPACKED" ] || rm -rf "$UNPACKED"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

mkdir -p "$CACHE_DIR" || die "cannot create the cache directory $CACHE_DIR"
CACHE_DIR=$(cd "$CACHE_DIR" && pwd -P)
exec 9>"$CACHE_DIR/.lock" || die "cannot create $CACHE_DIR/.lock"
# One preparation at a time; parallel runs share the result.
flock 9 || die "cannot lock $CACHE_DIR/.lock"
prepare
flock -u 9
exec 9>&-

if [ "$PREPARE_ONLY" = 1 ]; then
    say "kernel: $VMLINUX"
    say "initramfs: $INITRD"
    exit 0
fi

# ---------------------------------------------------------------- run

CTL=$(mktemp -d "${TMPDIR:-/tmp}/run-in-vm.XXXXXX") || die "cannot create a control directory"

# The command, as a script for the guest's /bin/sh.
{
    echo "export PATH=$(shquote "${PATH:-/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin}")"
    echo "export HOME=/root"
    echo "export TERM=$(shquote "${TERM:-dumb}")"
    for v in CI QT_QPA_PLATFORM LANG LC_ALL; do
        [ -z "${!v+set}" ] || echo "export $v=$(shquote "${!v}")"
    done
    for e in "${EXTRA_ENV[@]}"; do
        case "$e" in
            *=*) echo "export ${e%%=*}=$(shquote "${e#*=}")" ;;
            *) [ -z "${!e+set}" ] || echo "export $e=$(shquote "${!e}")" ;;
        esac
    done
    echo "cd $(shquote "$WORK_DIR") || exit 125"
    printf 'exec'
    for a in "$@"; do printf ' %s' "$(shquote "$a")"; done
    echo
} >"$CTL/cmd.sh"

STDIN=null
[ -t 0 ] && STDIN=console
{
    echo "RIV_SHARE=$(shquote "$SHARE_DIR")"
    echo "RIV_STDIN=$STDIN"
} >"$CTL/env"

APPEND="console=ttyS0 panic=-1 8250.nr_uarts=2 i8042.noaux i8042.nopnp"
APPEND="$APPEND mitigations=off random.trust_cpu=on no_timer_check tsc=reliable"
[ "$VERBOSE" = 1 ] || APPEND="$APPEND quiet"

# The first serial port carries the firmware's and the kernel's messages: kept
# in a file and shown when the guest fails, or shown as they come with --verbose.
# (append=on: QEMU would otherwise truncate a file that stderr goes to.)
KERNEL_LOG=$CTL/kernel.log
[ "$VERBOSE" = 0 ] || KERNEL_LOG=/dev/stderr

if [ "$KVM" = 1 ]; then
    ACCEL=(-accel kvm -cpu host)
else
    ACCEL=(-accel tcg -cpu max)
fi

# QEMU's option syntax takes a doubled comma for a comma in a value.
qarg() { printf '%s' "${1//,/,,}"; }

QEMU=(qemu-system-x86_64
    -nographic -nodefaults -no-user-config -no-reboot
    -machine q35 "${ACCEL[@]}" -smp "$CPUS" -m "$MEMORY"
    -kernel "$VMLINUX" -initrd "$INITRD" -append "$APPEND"
    -chardev "file,id=kernel-log,path=$(qarg "$KERNEL_LOG"),append=on"
    -serial chardev:kernel-log -serial mon:stdio
    -virtfs "local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap"
    -virtfs "local,path=$(qarg "$SHARE_DIR"),mount_tag=share,security_model=none,multidevs=remap"
    -virtfs "local,path=$(qarg "$CTL"),mount_tag=ctl,security_model=none"
)

# The boot time is taken on the host: from starting QEMU until the guest
# creates /ctl/started just before it runs the command.
START=$(now)
(
    while [ ! -e "$CTL/started" ]; do sleep 0.02; done
    now >"$CTL/started.host"
) &
POLLER=$!

# QEMU runs in the background so that a signal to this script ends it at once
# (bash runs traps only between commands, and "wait" is interruptible).
# --foreground keeps QEMU in our process group, which may read the terminal.
if [ -t 0 ]; then
    timeout --foreground --kill-after=10 "$TIMEOUT" "${QEMU[@]}" <&0 &
else
    timeout --foreground --kill-after=10 "$TIMEOUT" "${QEMU[@]}" </dev/null &
fi
GUEST=$!
wait "$GUEST"
QRC=$?
GUEST=""
END=$(now)
kill "$POLLER" 2>/dev/null
wait "$POLLER" 2>/dev/null
POLLER=""

if [ -s "$CTL/started.host" ]; then
    STARTED=$(cat "$CTL/started.host")
    say "boot $(elapsed "$START" "$STARTED") s (QEMU start to command start)," \
        "command $(elapsed "$STARTED" "$END") s, total $(elapsed "$START" "$END") s"
fi

if [ "$QRC" = 124 ] || [ "$QRC" = 137 ]; then
    say "error: the guest ran longer than $TIMEOUT s; QEMU was killed"
    exit 124
fi
if [ ! -s "$CTL/rc" ]; then
    say "error: the guest stopped without reporting an exit code (QEMU exit $QRC)"
    if [ -s "$CTL/kernel.log" ]; then
        say "the kernel's last messages (--verbose logs them all):"
        # Without the firmware's terminal escapes and carriage returns.
        tail -n 40 "$CTL/kernel.log" | sed 's/\x1bc//g; s/\x1b\[[0-9;?]*[A-Za-z]//g; s/\r//g' >&2
    fi
    exit 125
fi
RC=$(cat "$CTL/rc")
exit "$RC"
