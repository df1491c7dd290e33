#!/usr/bin/env bash
# Fetches and caches the guest parts of the emulated device: the armmp kernel, its
# vexpress dtb (patched so the PL111 gets a panel and thus a /dev/fb0), the kernel
# modules the init loads, and a static busybox. Packages are downloaded and unpacked,
# never installed. Idempotent; prints the directory that holds the parts.
#   prepare.sh [CACHE_DIR]     default: ${XDG_CACHE_HOME:-$HOME/.cache}/upg-target
set -euo pipefail

cache=${1:-${XDG_CACHE_HOME:-$HOME/.cache}/upg-target}
mkdir -p "$cache"

# Modules in load order; the virtio core, MMC core and block layer are built in.
modules=(
  drivers/virtio/virtio_mmio.ko
  drivers/char/virtio_console.ko
  drivers/mmc/host/armmmci.ko
  fs/fat/fat.ko
  fs/fat/vfat.ko
  fs/nls/nls_cp437.ko
  fs/nls/nls_iso8859-1.ko
)
# For a root file system on a virtio disk (ext4): loaded only in the scenarios that use one.
disk_modules=(
  drivers/block/virtio_blk.ko
  lib/crc16.ko
  crypto/crc32c_generic.ko
  fs/mbcache.ko
  fs/jbd2/jbd2.ko
  fs/ext4/ext4.ko
)

# The guest packages are armhf: that architecture must be known to apt.
if ! dpkg --print-foreign-architectures | grep -qx armhf && [ "$(id -u)" = 0 ]; then
  dpkg --add-architecture armhf
  apt-get update -qq >&2 || true
fi

resolve_kernel() {
  # The metapackage points at the current ABI (it changes with security updates).
  apt-cache depends linux-image-armmp:armhf 2>/dev/null |
    sed -n 's/^ *Depends: \(linux-image-[0-9][^:]*-armmp\)\(:armhf\)\?$/\1/p' | head -n1
}

kpkg=$(resolve_kernel || true)
if [ -z "$kpkg" ] && [ "$(id -u)" = 0 ]; then
  apt-get update -qq >&2 || true
  kpkg=$(resolve_kernel || true)
fi
if [ -z "$kpkg" ]; then
  # No package index: fall back to the newest complete set in the cache.
  last=$(ls -1d "$cache"/linux-image-*/done 2>/dev/null | sort -V | tail -n1 || true)
  [ -n "$last" ] || { echo "prepare: cannot resolve linux-image-armmp:armhf (run apt-get update)" >&2; exit 1; }
  dirname "$last"
  exit 0
fi

parts=$cache/$kpkg
# A cache made before the disk modules were taken is made again.
if [ -f "$parts/done" ] && [ -f "$parts/disk-modules.list" ]; then
  echo "$parts"
  exit 0
fi

tmp=$(mktemp -d "$cache/.prepare.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
(
  cd "$tmp"
  # apt-get download as root writes through the _apt user; let it.
  chmod 0777 "$tmp"
  apt-get download -q "$kpkg:armhf" "busybox-static:armhf" >&2
  dpkg-deb -x linux-image-*.deb kernel
  dpkg-deb -x busybox-static_*.deb busybox
)

mkdir -p "$tmp/out/modules"
kver=$(ls "$tmp/kernel/lib/modules" | head -n1)
cp "$tmp/kernel/boot/vmlinuz-$kver" "$tmp/out/zImage"
cp "$tmp/kernel/boot/config-$kver" "$tmp/out/config"
cp "$tmp/busybox/bin/busybox" "$tmp/out/busybox"
: > "$tmp/out/modules.list"
: > "$tmp/out/disk-modules.list"
take() {
  local src=$tmp/kernel/lib/modules/$kver/kernel/$2
  [ -f "$src" ] || { echo "prepare: $2 missing from $kpkg" >&2; exit 1; }
  cp "$src" "$tmp/out/modules/"
  basename "$2" >> "$tmp/out/$1"
}
for m in "${modules[@]}"; do take modules.list "$m"; done
for m in "${disk_modules[@]}"; do take disk-modules.list "$m"; done

# The stock dtb wires the CLCDs to a DVI bridge that the fbdev driver cannot use:
# give the daughterboard CLCD (QEMU's console 0) a 640x480 panel-dpi and switch
# the motherboard CLCD off.
dtb=$tmp/out/vexpress-ca9-fb.dtb
cp "$tmp/kernel/usr/lib/linux-image-$kver/vexpress-v2p-ca9.dtb" "$dtb"
clcd_ep=/clcd@10020000/port/endpoint
clcd_phandle=$(fdtget -t u "$dtb" "$clcd_ep" phandle)
# A phandle above every one in use.
panel_phandle=0
for path in $(dtc -I dtb -O dts "$dtb" 2>/dev/null | grep -o 'phandle = <0x[0-9a-f]*>' | grep -o '0x[0-9a-f]*'); do
  if [ $((path)) -gt $panel_phandle ]; then panel_phandle=$((path)); fi
done
panel_phandle=$((panel_phandle + 1))
fdtput -c "$dtb" /panel /panel/panel-timing /panel/port /panel/port/endpoint
fdtput -t s "$dtb" /panel compatible panel-dpi
timing=/panel/panel-timing
fdtput -t u "$dtb" $timing clock-frequency 25175000
fdtput -t u "$dtb" $timing hactive 640
fdtput -t u "$dtb" $timing vactive 480
fdtput -t u "$dtb" $timing hfront-porch 16
fdtput -t u "$dtb" $timing hback-porch 48
fdtput -t u "$dtb" $timing hsync-len 96
fdtput -t u "$dtb" $timing vfront-porch 10
fdtput -t u "$dtb" $timing vback-porch 33
fdtput -t u "$dtb" $timing vsync-len 2
fdtput -t u "$dtb" /panel/port/endpoint phandle $panel_phandle
fdtput -t u "$dtb" /panel/port/endpoint remote-endpoint "$clcd_phandle"
fdtput -t u "$dtb" "$clcd_ep" remote-endpoint $panel_phandle
fdtput -t s "$dtb" /bus@40000000/motherboard-bus@40000000/iofpga@7,00000000/clcd@1f000 status disabled

echo "$kpkg" > "$tmp/out/kernel-package"
echo "$kver" > "$tmp/out/kernel-version"
touch "$tmp/out/done"
rm -rf "$parts"
mv "$tmp/out" "$parts"
echo "$parts"
