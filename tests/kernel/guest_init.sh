#!/bin/busybox sh
# The guest's first process, from the initramfs that run_guest.sh packs: loads
# the modules, mounts the host's root (read-only over 9p) with fresh proc, sys,
# dev and tmp on it, runs the job in it and powers the machine off.
# The job's exit status goes to the writable share as the file "status".
# With the file "systemd" (run_guest.sh --systemd) the host's systemd takes
# over as the first process instead and runs the job as a unit.
/bin/busybox mkdir -p /proc /sys /dev /host /usr/bin /usr/sbin /sbin
/bin/busybox --install -s
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev

# How slow this guest is: the kernel's boot time (the uptime now) over an
# unhurried guest's, within 1 and the most the rig allows, times how much
# slower the programs under test are (slowness.conf: "REFERENCE MAX K", from
# run_guest.sh). The job's limits are scaled by it.
read -r booted _ </proc/uptime
read -r reference most slower </slowness.conf
slowness=$(awk -v t="$booted" -v r="$reference" -v m="$most" -v k="$slower" \
  'BEGIN { s = t / r; if (s < 1) s = 1; if (s > m) s = m; printf "%.1f", s * k }')
echo "rig: guest up after $booted s, slowness $slowness"

# Restarts at once (QEMU runs with -no-reboot, so it ends): the emergency
# restart skips the drivers' shutdown, which waits on a device that stopped
# answering.
off() {
  sync
  echo b >/proc/sysrq-trigger
  reboot -f
}
fail() {
  echo "rig: $*"
  off
}

# modules.list: one "file.ko [parameters]" a line, in loading order.
while read -r module params; do
  # shellcheck disable=SC2086 # the parameters are words
  insmod "/modules/$module" $params || fail "insmod $module failed"
done </modules.list

if [ -e /writable_root ]; then
  # The host's root read-only below, the guest's memory above.
  mkdir -p /lower /overlay
  mount -t 9p -o trans=virtio,version=9p2000.L,ro,cache=loose,msize=262144 hostroot /lower ||
    fail "cannot mount the host's root"
  if [ -e /persistent_root ]; then
    # The layer's own disk, empty at the first boot of a run, kept after.
    mount -t ext4 /dev/vda /overlay || fail "cannot mount the writable layer's disk"
  else
    mount -t tmpfs -o mode=755 tmpfs /overlay
  fi
  mkdir -p /overlay/upper /overlay/work
  if [ -e /systemd ]; then
    # The host machine's own choices of services (a database, timers) are
    # not the guest's: their folders are hidden (whiteouts) while the layer
    # has none of its own; the login prompts of getty.target stay. So is the
    # mark of a container (the guest is a machine of its own).
    for wants in /lower/etc/systemd/system/*.wants; do
      name=${wants##*/}
      upper=/overlay/upper/etc/systemd/system/$name
      [ "$name" != getty.target.wants ] && [ ! -e "$upper" ] || continue
      mkdir -p /overlay/upper/etc/systemd/system
      mknod "$upper" c 0 0
    done
    if [ -e /lower/.dockerenv ] && [ ! -e /overlay/upper/.dockerenv ]; then mknod /overlay/upper/.dockerenv c 0 0; fi
  fi
  mount -t overlay -o lowerdir=/lower,upperdir=/overlay/upper,workdir=/overlay/work overlay /host ||
    fail "cannot lay a writable layer over the host's root"
else
  mount -t 9p -o trans=virtio,version=9p2000.L,ro,cache=loose,msize=262144 hostroot /host ||
    fail "cannot mount the host's root"
fi
mount -t proc proc /host/proc
mount -t sysfs sysfs /host/sys
mount -t devtmpfs devtmpfs /host/dev
# What udev would add and scripts take for granted (bash's <(...), say).
ln -s /proc/self/fd /host/dev/fd
# The host's folders under /tmp that the job needs (keep_tmp) stay visible
# through the guest's own /tmp.
mkdir -p /hosttmp
mount --bind /host/tmp /hosttmp
mount -t tmpfs -o mode=1777 tmpfs /host/tmp
while read -r keep; do
  mkdir -p "/host/tmp/$keep"
  mount --bind "/hosttmp/$keep" "/host/tmp/$keep"
done </keep_tmp
mount -t tmpfs -o mode=755 tmpfs /host/run
mkdir -p /host/run/rig
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 rig /host/run/rig || fail "cannot mount the rig's share"

read -r boot </host/run/rig/boot

if [ -e /systemd ]; then
  # An installed machine's boot: systemd from the shared root, the guest
  # kernel's modules where modprobe looks, the job as a unit of the system
  # (its output on the console), and the machine off when the job ends.
  kernel=$(uname -r)
  if [ ! -L "/host/lib/modules/$kernel" ] && [ ! -e "/host/lib/modules/$kernel" ]; then
    mkdir -p /host/lib/modules
    ln -s "$(cat /systemd)" "/host/lib/modules/$kernel"
  fi
  units=/host/etc/systemd/system
  mkdir -p "$units/multi-user.target.wants"
  # systemd-tmpfiles would walk the whole shared tree (minutes under
  # emulation); the serial console is the rig's.
  for unit in systemd-tmpfiles-setup.service serial-getty@ttyS0.service; do
    ln -sf /dev/null "$units/$unit"
  done
  cat >"$units/rig-job.service" <<UNIT
[Unit]
Description=The test rig's guest script
After=systemd-logind.service systemd-user-sessions.service

[Service]
Environment=PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/tmp LANG=C.UTF-8 TERM=dumb
Environment=RIG_SHARE=/run/rig RIG_SLOWNESS=$slowness RIG_BOOT=$boot
StandardInput=null
StandardOutput=tty
StandardError=inherit
TTYPath=/dev/ttyS0
ExecStart=/bin/sh -c '/bin/bash /run/rig/job.sh; echo \$\$? >/run/rig/status; sync; echo b >/proc/sysrq-trigger'
UNIT
  ln -sf ../rig-job.service "$units/multi-user.target.wants/rig-job.service"
  exec switch_root -c /dev/console /host /lib/systemd/systemd systemd.unit=multi-user.target
fi

# The job runs as root in the host's file system, with the host's shell.
chroot /host /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  HOME=/tmp LANG=C.UTF-8 TERM=dumb RIG_SHARE=/run/rig RIG_SLOWNESS="$slowness" RIG_BOOT="$boot" /bin/bash /run/rig/job.sh </dev/null >/dev/console 2>&1
echo "$?" >/host/run/rig/status
umount /host/run/rig
off
