#!/bin/busybox sh
# The guest's first process: the modules, the host's root read-only under a writable layer, then
# the rig's script from the shared folder; the guest powers off when it ends.
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
for module in $(cat /lib/modules/order); do
    insmod "/lib/modules/$module.ko" || echo "rig: insmod $module failed"
done
mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=262144 hostroot /host
mount -t tmpfs -o size=256m tmpfs /rw
mkdir -p /rw/upper /rw/work
mount -t overlay overlay -o lowerdir=/host,upperdir=/rw/upper,workdir=/rw/work /newroot
mount --move /dev /newroot/dev
mount -t proc proc /newroot/proc
mount -t sysfs sys /newroot/sys
mkdir -p /newroot/dev/pts /newroot/rig
mount -t devpts devpts /newroot/dev/pts
# /tmp stays the host's, under the writable layer: a build folder there must be seen. /run is the
# guest's own, so that no lock file of the host's is taken for one of the guest's.
mount -t tmpfs tmpfs /newroot/run
mkdir -p /newroot/run/lock
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 rig /newroot/rig
echo "rig: guest up"
chroot /newroot /bin/sh /rig/guest.sh
echo "rig: guest script ended with $?"
sync
poweroff -f
