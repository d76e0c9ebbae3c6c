#!/bin/bash
# Fetches what one test guest needs (Debian kernel, CAN modules, static busybox and, for foreign
# architectures, the C/C++ runtime libraries) into a cache folder. Nothing is installed on the host
# except the host tools that are missing.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

usage() {
    cat <<EOF
Usage: $(basename "$0") [--refresh] ARCH

Downloads, with apt-get download, and unpacks, with dpkg-deb, what the ARCH guest needs.
ARCH is x86_64, arm64 or armhf. Idempotent: returns at once when the cache is ready.

  --refresh   fetch again even if the cache is ready (e.g. to pick up a newer kernel)

Cache: \${CANFD_VM_CACHE:-<repo>/.cache/vm}/ARCH
Missing host tools (qemu, cpio, xz, readelf) are installed with apt-get; a foreign
architecture is added to dpkg when needed. Must run as root for those two steps.
EOF
}

refresh=0
arch=""
while [ $# -gt 0 ]; do
    case "$1" in
    -h | --help)
        usage
        exit 0
        ;;
    --refresh) refresh=1 ;;
    -*) vm_die "unknown option $1 (see --help)" ;;
    *)
        [ -z "$arch" ] || vm_die "only one ARCH expected (see --help)"
        arch="$1"
        ;;
    esac
    shift
done
[ -n "$arch" ] || {
    usage >&2
    exit 2
}
vm_arch_setup "$arch"

log() { echo "fetch-guest[$VM_ARCH]: $*" >&2; }

ensure_host_tools() {
    local -a missing=()
    command -v "$VM_QEMU" >/dev/null || missing+=("$VM_QEMU_PKG")
    command -v cpio >/dev/null || missing+=(cpio)
    command -v xz >/dev/null || missing+=(xz-utils)
    command -v readelf >/dev/null || missing+=(binutils)
    if [ "$VM_ARCH" = x86_64 ] && [ ! -e /usr/share/qemu/pvh.bin ]; then
        missing+=(qemu-system-data)
    fi
    [ ${#missing[@]} -eq 0 ] && return 0
    log "installing host tools: ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}" >&2 ||
        vm_die "could not install ${missing[*]}"
}

ensure_foreign_arch() {
    [ "$VM_DEB_ARCH" = "$(dpkg --print-architecture)" ] && return 0
    dpkg --print-foreign-architectures | grep -qx "$VM_DEB_ARCH" && return 0
    log "adding dpkg architecture $VM_DEB_ARCH"
    dpkg --add-architecture "$VM_DEB_ARCH"
    apt-get update >&2 || vm_die "apt-get update failed"
}

# The metapackage tracks the current kernel; its versioned dependency is what we download.
resolve_kernel_package() {
    local pkg
    pkg="$(apt-cache depends "$VM_KERNEL_META:$VM_DEB_ARCH" 2>/dev/null |
        sed -n 's/^ *Depends: \(linux-image-[^ :]*\).*/\1/p' | head -n 1)"
    if [ -z "$pkg" ]; then
        log "no $VM_KERNEL_META:$VM_DEB_ARCH in the package lists; running apt-get update"
        apt-get update >&2 || vm_die "apt-get update failed"
        pkg="$(apt-cache depends "$VM_KERNEL_META:$VM_DEB_ARCH" 2>/dev/null |
            sed -n 's/^ *Depends: \(linux-image-[^ :]*\).*/\1/p' | head -n 1)"
    fi
    [ -n "$pkg" ] || vm_die "cannot resolve the kernel behind $VM_KERNEL_META:$VM_DEB_ARCH"
    echo "$pkg"
}

# Turns a possibly compressed module into a plain .ko that busybox insmod can load.
install_module() {
    local src="$1" dst="$2"
    case "$src" in
    *.ko) cp "$src" "$dst" ;;
    *.ko.xz) xz -dc "$src" >"$dst" ;;
    *.ko.gz) gzip -dc "$src" >"$dst" ;;
    *.ko.zst) zstd -qdc "$src" >"$dst" || vm_die "need zstd to unpack $src" ;;
    *) vm_die "unexpected module file $src" ;;
    esac
}

# The x86 bzImage boots about twice as fast under TCG when qemu loads the ELF kernel inside it
# directly through its PVH entry, so unpack that ELF from the XZ payload.
extract_x86_elf_kernel() {
    local bzimage="$1" out="$2" off
    for off in $(LC_ALL=C grep -obUaP '\xfd7zXZ\x00' "$bzimage" | cut -d: -f1); do
        tail -c +$((off + 1)) "$bzimage" | xz -dcq --single-stream >"$out" 2>/dev/null || true
        if vm_is_elf "$out" && readelf -n "$out" 2>/dev/null | grep -q Xen; then
            return 0
        fi
    done
    vm_die "no ELF kernel with a PVH entry found inside $bzimage"
}

fetch() {
    local kpkg dl
    kpkg="$(resolve_kernel_package)"
    log "kernel package $kpkg"

    stage="$VM_CACHE.new.$$"
    rm -rf "$stage"
    trap 'rm -rf "$stage"' EXIT
    mkdir -p "$stage/dl" "$stage/modules" "$stage/sysroot"
    dl="$stage/dl"
    # apt drops privileges to _apt for downloads; let it write here.
    chmod 777 "$dl"

    local -a pkgs=("$kpkg:$VM_DEB_ARCH" "busybox-static:$VM_DEB_ARCH")
    if [ "$VM_DEB_ARCH" != "$(dpkg --print-architecture)" ]; then
        pkgs+=("libc6:$VM_DEB_ARCH" "libstdc++6:$VM_DEB_ARCH" "libgcc-s1:$VM_DEB_ARCH")
    fi
    (cd "$dl" && apt-get download "${pkgs[@]}" >&2) || vm_die "apt-get download ${pkgs[*]} failed"

    local kdeb
    kdeb="$(ls "$dl"/"$kpkg"_*.deb)"
    mkdir -p "$dl/k"
    # Only the kernel and four modules are needed: skip writing the other few hundred MB.
    dpkg-deb --fsys-tarfile "$kdeb" | tar -x -C "$dl/k" --wildcards \
        './boot/vmlinuz-*' \
        './lib/modules/*/kernel/net/can/can.ko*' \
        './lib/modules/*/kernel/net/can/can-raw.ko*' \
        './lib/modules/*/kernel/drivers/net/can/dev/can-dev.ko*' \
        './lib/modules/*/kernel/drivers/net/can/vcan.ko*' ||
        vm_die "unpacking $kdeb failed"

    local vmlinuz mod found
    vmlinuz="$(ls "$dl"/k/boot/vmlinuz-*)"
    if [ "$VM_ARCH" = x86_64 ]; then
        extract_x86_elf_kernel "$vmlinuz" "$stage/kernel"
    else
        cp "$vmlinuz" "$stage/kernel"
    fi
    for mod in "${VM_MODULES[@]}"; do
        found="$(find "$dl/k/lib/modules" -name "$mod.ko*" | head -n 1)"
        [ -n "$found" ] || vm_die "module $mod not found in $kpkg"
        install_module "$found" "$stage/modules/$mod.ko"
    done

    mkdir -p "$dl/bb"
    dpkg-deb -x "$dl"/busybox-static_*.deb "$dl/bb"
    cp "$dl/bb/bin/busybox" "$stage/busybox"

    local deb
    for deb in "$dl"/libc6_*.deb "$dl"/libstdc++6_*.deb "$dl"/libgcc-s1_*.deb; do
        [ -e "$deb" ] || continue
        dpkg-deb -x "$deb" "$stage/sysroot"
    done
    rm -rf "$stage/sysroot/usr/share" "$dl"

    cat >"$stage/info" <<EOF
arch=$VM_ARCH
kernel_package=$kpkg
fetched=$(date -u +%Y-%m-%dT%H:%M:%SZ)
EOF
    rm -rf "$VM_CACHE"
    mv "$stage" "$VM_CACHE"
    log "ready in $VM_CACHE"
}

mkdir -p "$(dirname "$VM_CACHE")"
# Parallel fetches of one ARCH wait here; guest-run.sh holds a shared lock while it reads the cache.
exec 9>"$VM_CACHE.lock"
flock 9
ensure_host_tools
if [ "$refresh" = 0 ] && [ -f "$VM_CACHE/info" ]; then
    exit 0
fi
ensure_foreign_arch
fetch
