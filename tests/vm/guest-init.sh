#!/bin/sh
# PID 1 of the test guest (busybox sh). Brings up the bus (BUS=vcan: can0 as a CAN FD vcan;
# BUS=ctucan: can0 and can1, two CTU CAN FD controllers, with README.md's own commands), runs the
# test script, and reports through the console between markers that carry a per-run nonce, so the
# host can cut the script's exact output out of the console log. The console is put in raw mode
# so that "\n" is not turned into "\r\n" on the way out.
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

# Returns once every process but this shell (and the kernel's threads) has ended, or after 3 s:
# the SIGCHLD of a process killed below must reach this shell before it writes the end marker,
# since a signal arriving during that console write can cut it off. A zombie has sent its SIGCHLD
# already. The processes the script left behind are not this shell's jobs (they were the
# script's), so the wait builtin would return at once without waiting for them.
uptime_cs() {
    read -r up _ </proc/uptime
    echo $((${up%.*} * 100 + 1${up#*.} - 100))
}
wait_for_the_killed() {
    deadline=$(($(uptime_cs) + 300))
    while [ "$(uptime_cs)" -lt "$deadline" ]; do
        left=""
        for stat in /proc/[0-9]*/stat; do
            line=""
            read -r line 2>/dev/null <"$stat" || continue
            pid=${line%% *}
            # State and parent follow the command name, which may hold spaces: "(a b)".
            # shellcheck disable=SC2086  # split into fields on purpose; /proc has no wildcards
            set -- ${line##*) }
            [ "$pid" = 1 ] || [ "$pid" = 2 ] || [ "$2" = 2 ] || [ "$1" = Z ] || left="$left $pid"
        done
        [ -z "$left" ] && return 0
        usleep 10000
    done
}

BUS=${BUS:-vcan}
export BUS

load_modules() { # NAME...
    for m in "$@"; do
        insmod "/lib/modules/canfd-vm/$m.ko" || fail "insmod $m failed"
    done
}

check_up_fd() { # IFACE
    [ -e "/sys/class/net/$1" ] || fail "there is no $1"
    mtu=$(cat "/sys/class/net/$1/mtu")
    [ "$mtu" = 72 ] || fail "$1 MTU is $mtu, not 72"
    [ $(($(cat "/sys/class/net/$1/flags") & 1)) = 1 ] || fail "$1 is not up"
}

# This busybox runs its own applets ahead of any program in PATH, so "ip" and "tc" must be made
# to mean iproute2's (busybox's ip cannot set CAN bit timing, its tc cannot add a plug qdisc).
IPROUTE2_FUNCTIONS='ip() { /usr/sbin/ip "$@"; }; tc() { /usr/sbin/tc "$@"; }'

# Runs the lines of /canfd-vm/can-setup ("ip link set can0 ...", from README.md) for IFACE.
wire_up() { # IFACE
    while IFS= read -r line; do
        cmd="ip link set $1 ${line#ip link set can0 }"
        eval "$cmd" </dev/null || fail "README command failed: $cmd"
    done </canfd-vm/can-setup
}

case "$BUS" in
vcan)
    load_modules can can-raw can-dev vcan sch_plug
    ip link add dev can0 type vcan || fail "cannot create can0"
    ip link set can0 up || fail "cannot bring can0 up"
    check_up_fd can0
    ;;
ctucan)
    load_modules can can-raw can-dev sch_plug ctucanfd ctucanfd_pci
    eval "$IPROUTE2_FUNCTIONS"
    [ -s /canfd-vm/can-setup ] ||
        fail "README.md has no 'ip link set can0 ...' lines in the sh block under" \
            "'## Wiring up can0 for CAN FD'"
    for dev in can0 can1; do
        [ -e "/sys/class/net/$dev" ] || fail "the ctucanfd driver did not register $dev"
        wire_up "$dev"
    done
    check_up_fd can0
    check_up_fd can1
    # The kernel reports a controller as running (operstate "up", IFF_RUNNING) up to a second
    # after "ip link set ... up"; scripts should find both so, as on a board that is long up.
    for dev in can0 can1; do
        tries=0
        until [ "$(cat "/sys/class/net/$dev/operstate")" = up ]; do
            tries=$((tries + 1))
            [ "$tries" -le 60 ] ||
                fail "$dev is up but not running: operstate $(cat "/sys/class/net/$dev/operstate")"
            usleep 50000
        done
    done
    ;;
*) fail "unknown bus $BUS" ;;
esac

echo "@@CANFD-VM-BEGIN-$NONCE@@"
cd /root || fail "no /root"
# The script is sourced so that the functions reach it; $0 stays its path.
/bin/sh -c "$IPROUTE2_FUNCTIONS; . /canfd-vm/script" /canfd-vm/script
rc=$?
cd /
# Stray background processes must not write into the /out transfer below.
kill -9 -1 2>/dev/null
wait_for_the_killed
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
