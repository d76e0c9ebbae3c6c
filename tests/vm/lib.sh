# Shared definitions for the qemu test guests; sourced by the scripts in this folder.
# shellcheck shell=bash disable=SC2034  # the variables are for the scripts that source this

VM_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
VM_REPO="$(cd "$VM_DIR/../.." && pwd)"

# Distinct from any status a test script is expected to return, so callers can tell "the bed broke"
# from "the scenario failed".
VM_INFRA_STATUS=125

# The modules taken from the kernel package, in load order: the CAN stack and the plug qdisc,
# which holds a device's outgoing frames on demand. The vcan bus loads them all, the ctucan bus
# all but vcan and then the CTU CAN FD driver's (VM_CTUCAN_MODULES), built here.
VM_MODULES=(can can-raw can-dev vcan sch_plug)
VM_CTUCAN_MODULES=(ctucanfd ctucanfd_pci)

# The README section whose "ip link set can0 ..." lines set up the ctucan bus's can0 and can1.
VM_README_WIRING_HEADING="## Wiring up can0 for CAN FD"

vm_die() {
    echo "canfd-vm: $*" >&2
    exit "$VM_INFRA_STATUS"
}

vm_cache_dir() {
    echo "${CANFD_VM_CACHE:-$VM_REPO/.cache/vm}/$1"
}

# Sets the per-architecture variables used by fetch-guest.sh and guest-run.sh.
vm_arch_setup() {
    VM_ARCH="$1"
    case "$VM_ARCH" in
    x86_64)
        VM_DEB_ARCH=amd64
        VM_TRIPLET=x86_64-linux-gnu
        VM_KERNEL_META=linux-image-amd64
        VM_QEMU=qemu-system-x86_64
        VM_QEMU_PKG=qemu-system-x86
        VM_CONSOLE=ttyS0
        VM_CXX=g++
        VM_KERNEL_FLAVOUR=amd64
        VM_GCC_PKG=gcc-12
        ;;
    arm64)
        VM_DEB_ARCH=arm64
        VM_TRIPLET=aarch64-linux-gnu
        VM_KERNEL_META=linux-image-arm64
        VM_QEMU=qemu-system-aarch64
        VM_QEMU_PKG=qemu-system-arm
        VM_CONSOLE=ttyAMA0
        VM_CXX=aarch64-linux-gnu-g++
        VM_KERNEL_FLAVOUR=arm64
        VM_GCC_PKG=gcc-12-aarch64-linux-gnu
        ;;
    armhf)
        VM_DEB_ARCH=armhf
        VM_TRIPLET=arm-linux-gnueabihf
        VM_KERNEL_META=linux-image-armmp-lpae
        VM_QEMU=qemu-system-arm
        VM_QEMU_PKG=qemu-system-arm
        VM_CONSOLE=ttyAMA0
        VM_CXX=arm-linux-gnueabihf-g++
        VM_KERNEL_FLAVOUR=armmp-lpae
        VM_GCC_PKG=gcc-12-arm-linux-gnueabihf
        ;;
    *)
        vm_die "unknown architecture '$VM_ARCH' (expected x86_64, arm64 or armhf)"
        ;;
    esac
    VM_CACHE="$(vm_cache_dir "$VM_ARCH")"
    VM_CTUCAN="$VM_CACHE/ctucan"
    # Prefix of the compiler that builds kernel modules for the guest (Debian's kernels use gcc-12).
    if [ "$VM_DEB_ARCH" = "$(dpkg --print-architecture)" ]; then
        VM_CROSS_PREFIX=""
    else
        VM_CROSS_PREFIX="$VM_TRIPLET-"
    fi
}

# Checks BUS and sets VM_BUS; every architecture has both buses.
#   vcan    can0 is a virtual CAN FD interface (the vcan module): frames never meet a controller
#   ctucan  can0 and can1 are two CTU CAN FD controllers that qemu emulates on one qemu CAN bus,
#           driven by the kernel's ctucanfd driver (built here: Debian leaves it out)
vm_bus_setup() {
    VM_BUS="$1"
    case "$VM_BUS" in
    vcan | ctucan) ;;
    *) vm_die "unknown bus '$VM_BUS' (expected vcan or ctucan)" ;;
    esac
}

# The "ip link set can0 ..." lines of the fenced sh block in README's CAN FD wiring section, in
# order, without trailing comments; prints nothing when there are none.
vm_readme_can0_setup() { # README
    awk -v heading="$VM_README_WIRING_HEADING" '
        { sub(/\r$/, "") }
        fenced && /^```/ { exit }
        fenced {
            if ($0 ~ /^ip link set can0 /) {
                sub(/[ \t]+#.*$/, "")
                sub(/[ \t]+$/, "")
                print
            }
            next
        }
        /^#+ / { section = ($0 == heading); next }
        section && /^```sh[ \t]*$/ { fenced = 1 }
    ' "$1"
}

# Machine arguments for qemu; the caller adds kernel, initrd, command line and console.
vm_qemu_machine_args() {
    local mem="${CANFD_VM_MEM:-256}"
    case "$VM_ARCH" in
    x86_64) echo "-machine q35,accel=${CANFD_VM_ACCEL:-tcg} -cpu max -m $mem" ;;
    arm64) echo "-machine virt,accel=tcg -cpu cortex-a57 -m $mem" ;;
    armhf) echo "-machine virt,accel=tcg -cpu cortex-a15 -m $mem" ;;
    esac
}

# Device arguments for qemu that make the bus: for ctucan, one PCI card whose two controllers sit
# on one qemu CAN bus (the guest sees them as can0 and can1).
vm_qemu_bus_args() {
    case "$VM_BUS" in
    vcan) ;;
    ctucan) echo "-object can-bus,id=canbus -device ctucan_pci,canbus0=canbus,canbus1=canbus" ;;
    esac
}

vm_is_elf() {
    [ -f "$1" ] && [ "$(head -c 4 "$1" | od -An -tx1 | tr -d ' \n')" = 7f454c46 ]
}
