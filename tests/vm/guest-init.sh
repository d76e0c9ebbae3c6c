#!/bin/sh
# PID 1 of the test guest (busybox sh). Brings up can0 as a CAN FD vcan, runs the test script, and
# reports through the console between markers that carry a per-run nonce, so the host can cut the
# script's exact output out of the console log. The console is put in raw mode so that "\n" is not
# turned into "\r\n" on the way out.
PATH=/usr/sbin:/usr/bin:/sbin:/bin
export PATH HOME=/root TERM=dumb

/bin/busybox mkdir -p /proc /sys /dev /tmp /run /root /out /usr/bin /usr/sbin /sbin
/bin/busybox --install -s
mount -t devtmpfs devtmpfs /dev
exec </dev/null >/dev/console 2>&1
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t tmpfs tmpfs /tmp
mkdir -p /dev/pts /dev/shm
mount -t devpts devpts /dev/pts
mount -t tmpfs tmpfs /dev/shm
# Only emergencies may still interleave with the script's output.
echo 1 >/proc/sys/kernel/printk
stty raw -echo </dev/console

. /canfd-vm/config

fail() {
    echo "@@CANFD-VM-FAIL-$NONCE@@ $*"
    reboot -f
    sleep 10
}

for m in can can-raw can-dev vcan; do
    insmod "/lib/modules/canfd-vm/$m.ko" || fail "insmod $m failed"
done
ip link add dev can0 type vcan || fail "cannot create can0"
ip link set can0 up || fail "cannot bring can0 up"
[ "$(cat /sys/class/net/can0/mtu)" = 72 ] || fail "can0 MTU is $(cat /sys/class/net/can0/mtu), not 72"

echo "@@CANFD-VM-BEGIN-$NONCE@@"
cd /root || fail "no /root"
/bin/sh /canfd-vm/script
rc=$?
cd /
# Stray background processes must not write into the /out transfer below.
kill -9 -1 2>/dev/null
# Let the SIGCHLDs of the processes just killed reach this shell before it writes the end
# marker: a signal arriving during that console write can cut it off.
usleep 200000
printf '\n@@CANFD-VM-END-%s@@ %d\n' "$NONCE" "$rc"

if [ "$WANT_OUT" = 1 ]; then
    echo "@@CANFD-VM-OUT-$NONCE@@"
    set -o pipefail
    tar -C /out -c . | gzip -1 | base64
    echo "@@CANFD-VM-OUT-END-$NONCE@@ $?"
fi
echo "@@CANFD-VM-DONE-$NONCE@@"
reboot -f
sleep 10
