#!/usr/bin/env bash
# Builds what the virtual machine rig boots: a kernel from Debian's package and an initramfs of
# busybox, the modules the guest needs, and an init that mounts the host's root read-only with a
# writable layer over it, runs the rig's script from a shared folder, and powers off.
#   scripts/vm/build-rig.sh OUT_DIR
# Nothing is downloaded but Debian's kernel package; it is unpacked, never installed.
set -euo pipefail
out=${1:?usage: build-rig.sh OUT_DIR}
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$out"
out=$(cd "$out" && pwd)

if [ ! -f "$out/vmlinuz" ] || [ ! -d "$out/modules" ]; then
    image=$(apt-cache depends linux-image-amd64 2>/dev/null |
        awk '/Depends: linux-image-[0-9]/{print $2; exit}')
    if [ -z "$image" ]; then
        # No package lists yet on this machine.
        apt-get update -qq >/dev/null
        image=$(apt-cache depends linux-image-amd64 | awk '/Depends: linux-image-[0-9]/{print $2; exit}')
    fi
    [ -n "$image" ] || { echo "no Debian kernel image package found" >&2; exit 1; }
    rm -rf "$out/kernel" && mkdir -p "$out/kernel"
    (cd "$out/kernel" && apt-get download -q "$image" >/dev/null 2>&1 ||
        apt-get download "$image")
    dpkg-deb -x "$out"/kernel/*.deb "$out/kernel/root"
    release=$(ls "$out/kernel/root/lib/modules")
    cp "$out/kernel/root/boot/vmlinuz-$release" "$out/vmlinuz"
    rm -rf "$out/modules" && mkdir -p "$out/modules"
    while read -r module; do
        found=$(find "$out/kernel/root/lib/modules/$release/kernel" -name "$module.ko" | head -1)
        [ -n "$found" ] || { echo "module $module is missing from $image" >&2; exit 1; }
        cp "$found" "$out/modules/"
    done < "$here/modules.txt"
    rm -rf "$out/kernel"
fi

initramfs=$out/initramfs.cpio.gz
if [ ! -f "$initramfs" ] || [ "$here/init.sh" -nt "$initramfs" ] || [ "$here/modules.txt" -nt "$initramfs" ]; then
    root=$out/initramfs
    rm -rf "$root"
    mkdir -p "$root"/{bin,dev,proc,sys,host,rw,newroot,lib/modules}
    cp /bin/busybox "$root/bin/busybox"
    cp "$here/init.sh" "$root/init"
    chmod +x "$root/init"
    cp "$out"/modules/*.ko "$root/lib/modules/"
    cp "$here/modules.txt" "$root/lib/modules/order"
    (cd "$root" && find . | cpio -o -H newc --quiet) | gzip -1 >"$initramfs"
    rm -rf "$root"
fi
echo "$out/vmlinuz $initramfs"
