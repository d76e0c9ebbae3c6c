# Shared definitions for the qemu test guests; sourced by the scripts in this folder.
# shellcheck shell=bash disable=SC2034  # the variables are for the scripts that source this

VM_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
VM_REPO="$(cd "$VM_DIR/../.." && pwd)"

# Distinct from any status a test script is expected to return, so callers can tell "the bed broke"
# from "the scenario failed".
VM_INFRA_STATUS=125

# The CAN modules every guest loads, in load order.
VM_MODULES=(can can-raw can-dev vcan)

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
        ;;
    arm64)
        VM_DEB_ARCH=arm64
        VM_TRIPLET=aarch64-linux-gnu
        VM_KERNEL_META=linux-image-arm64
        VM_QEMU=qemu-system-aarch64
        VM_QEMU_PKG=qemu-system-arm
        VM_CONSOLE=ttyAMA0
        VM_CXX=aarch64-linux-gnu-g++
        ;;
    armhf)
        VM_DEB_ARCH=armhf
        VM_TRIPLET=arm-linux-gnueabihf
        VM_KERNEL_META=linux-image-armmp-lpae
        VM_QEMU=qemu-system-arm
        VM_QEMU_PKG=qemu-system-arm
        VM_CONSOLE=ttyAMA0
        VM_CXX=arm-linux-gnueabihf-g++
        ;;
    *)
        vm_die "unknown architecture '$VM_ARCH' (expected x86_64, arm64 or armhf)"
        ;;
    esac
    VM_CACHE="$(vm_cache_dir "$VM_ARCH")"
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

vm_is_elf() {
    [ -f "$1" ] && [ "$(head -c 4 "$1" | od -An -tx1 | tr -d ' \n')" = 7f454c46 ]
}
