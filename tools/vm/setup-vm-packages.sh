#!/bin/sh
# Installs the Debian 12 packages that tools/vm/run-in-vm.sh needs to build its
# initramfs and boot the test VM. Run as root. Safe to run again: only missing
# packages are installed, and nothing is upgraded.
#
# The kernel itself is not installed: run-in-vm.sh downloads the package with
# `apt-get download` and unpacks it into its cache.
set -eu

PACKAGES="
  qemu-system-x86
  busybox-static
  cpio
  gzip
  xz-utils
  zstd
"

if [ "$(id -u)" -ne 0 ]; then
    echo "setup-vm-packages.sh: run as root (it installs packages with apt-get)" >&2
    exit 1
fi

missing=""
for p in $PACKAGES; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done

# run-in-vm.sh asks apt which kernel package linux-image-amd64 depends on:
# apt's lists must know it even when every package above is installed.
if [ -n "$missing" ] || ! apt-cache show linux-image-amd64 >/dev/null 2>&1; then
    apt-get update -qq
fi

if [ -n "$missing" ]; then
    export DEBIAN_FRONTEND=noninteractive
    # --no-install-recommends keeps qemu-system-x86 from pulling in a desktop's
    # worth of display and audio libraries; the runner uses -nographic.
    # shellcheck disable=SC2086
    apt-get install -y -qq --no-install-recommends $missing
fi
