#!/bin/bash
# Fetches what one test guest needs (Debian kernel, CAN modules and the plug qdisc, static busybox,
# iproute2's ip and tc and, for foreign architectures, the C/C++ runtime libraries) into a cache
# folder; with --bus ctucan also the CTU CAN FD driver, built for that kernel. Nothing is installed
# on the host except the host tools that are missing.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

usage() {
    cat <<EOF
Usage: $(basename "$0") [--refresh] [--bus vcan|ctucan] ARCH

Downloads, with apt-get download, and unpacks, with dpkg-deb, what the ARCH guest needs.
ARCH is x86_64, arm64 or armhf. Idempotent: returns at once when the cache is ready.

  --bus BUS   vcan (default): what every guest needs (iproute2's ip and tc with their
              libraries among it). ctucan: that, and also the CTU CAN FD driver (ctucanfd,
              ctucanfd_pci) built against the guest kernel's headers from its own source
  --refresh   fetch again, after apt-get update, even if the cache is ready (e.g. to pick
              up a newer kernel)

The guest's kernel is the one the kernel metapackage names, as long as the archive still has
its set at that one version: image, headers, their common part, linux-source, and a host
linux-kbuild that the headers accept. Otherwise it is the newest kernel of its series whose
set is complete. A fetch runs apt-get update first (at most every 10 minutes); an update that
fails is a warning, and the lists there are serve. What then cannot be resolved or downloaded
(after one retry) fails the fetch, naming the package and apt's error.

Cache: \${CANFD_VM_CACHE:-<repo>/.cache/vm}/ARCH (iproute2 in ARCH/iproute2, ctucan parts in
ARCH/ctucan, the driver's source in src/). Missing host tools (qemu, cpio, xz, readelf; for
ctucan make and the gcc-12 for ARCH) are installed with apt-get; a foreign architecture is
added to dpkg when needed. Must run as root for those two steps.
EOF
}

refresh=0
arch=""
bus=vcan
while [ $# -gt 0 ]; do
    case "$1" in
    -h | --help)
        usage
        exit 0
        ;;
    --refresh) refresh=1 ;;
    --bus)
        bus="${2:?--bus needs vcan or ctucan}"
        shift
        ;;
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
vm_bus_setup "$bus"

log() { echo "fetch-guest[$VM_ARCH]: $*" >&2; }

host_arch="$(dpkg --print-architecture)"
run_tmp="$(mktemp -d "${TMPDIR:-/tmp}/canfd-vm-fetch.XXXXXX")"
# What a step leaves half done (folders named in these variables) goes with the run.
stage=""
cstage=""
cwork=""
iwork=""
trap 'rm -rf "$run_tmp" ${stage:+"$stage"} ${cstage:+"$cstage"} ${cwork:+"$cwork"} ${iwork:+"$iwork"}' EXIT

# apt's error lines in FILE, joined into one line.
apt_errors() { # FILE
    grep -E '^(E|W):' "$1" | tr '\n' ' ' | sed 's/ $//'
}

# apt-get update, once per fetch and at most every 10 minutes for one cache root, unless FORCE
# (a new dpkg architecture has no lists yet). One index that fails to download makes apt-get
# update fail while every other list is fresh: that is a warning, and the lists there are serve;
# a package they lack fails later, by name.
lists_updated=0
update_lists() { # [force]
    local stamp rc=0
    [ "$lists_updated" = 0 ] || return 0
    lists_updated=1
    stamp="$(vm_cache_dir apt-update.stamp)"
    mkdir -p "$(dirname "$stamp")"
    exec 7>"$stamp.lock"
    flock 7
    if [ "${1:-}" != force ] && [ -n "$(find "$stamp" -mmin -10 2>/dev/null)" ]; then
        exec 7>&-
        return 0
    fi
    apt-get update >&2 2>"$run_tmp/update.err" || rc=$?
    cat "$run_tmp/update.err" >&2
    if [ "$rc" != 0 ]; then
        log "warning: apt-get update failed (status $rc: $(apt_errors "$run_tmp/update.err"));" \
            "going on with the package lists there are"
    fi
    touch "$stamp"
    exec 7>&-
}

# Checks that apt can resolve every PKG (as apt-get takes them: NAME[:ARCH][=VERSION]) to a file
# in the archive; otherwise prints, for each that it cannot, the package and apt's own error.
unresolved() { # PKG...
    local p
    apt-get download --print-uris "$@" >/dev/null 2>"$run_tmp/resolve.err" && return 0
    for p in "$@"; do
        apt-get download --print-uris "$p" >/dev/null 2>"$run_tmp/resolve.err" ||
            echo "$p ($(apt_errors "$run_tmp/resolve.err"))"
    done
    return 1
}

# Downloads every PKG into DIR. What does not come is tried once more; what still does not, or
# cannot be resolved, fails the fetch by name with apt's own error.
apt_download() { # DIR PKG...
    local dir="$1" uris="$run_tmp/download.uris" err="$run_tmp/download.err" try bad
    local -a want=("${@:2}") missing
    local file size stem name ver arch
    if ! apt-get download --print-uris "${want[@]}" >"$uris" 2>"$err"; then
        bad="$(unresolved "${want[@]}" | joined)"
        vm_die "cannot resolve ${bad:-${want[*]} ($(apt_errors "$err"))}"
    fi
    # apt drops privileges to _apt for downloads; let it write there.
    chmod 777 "$dir"
    for try in 1 2; do
        [ "$try" = 1 ] || log "retrying the download of ${want[*]}"
        (cd "$dir" && apt-get download "${want[@]}" >&2 2>"$err") || true
        cat "$err" >&2
        # What came whole has the name and size apt gave for it.
        missing=()
        while read -r _ file size _; do
            [ "$(stat -c %s "$dir/$file" 2>/dev/null)" != "$size" ] || continue
            rm -f "$dir/$file"
            # NAME_VERSION_ARCH.deb, with the epoch's colon as %3a
            stem="${file%.deb}"
            name="${stem%%_*}"
            arch="${stem##*_}"
            ver="${stem#*_}"
            ver="${ver%_*}"
            ver="${ver//%3a/:}"
            if [ "$arch" = all ]; then missing+=("$name=$ver"); else missing+=("$name:$arch=$ver"); fi
        done <"$uris"
        [ ${#missing[@]} -gt 0 ] || return 0
        want=("${missing[@]}")
        apt-get download --print-uris "${want[@]}" >"$uris" 2>/dev/null || true
    done
    vm_die "could not download ${want[*]}: $(apt_errors "$err")"
}

ensure_host_tools() {
    local -a missing=()
    command -v "$VM_QEMU" >/dev/null || missing+=("$VM_QEMU_PKG")
    command -v cpio >/dev/null || missing+=(cpio)
    command -v xz >/dev/null || missing+=(xz-utils)
    command -v readelf >/dev/null || missing+=(binutils)
    if [ "$VM_ARCH" = x86_64 ] && [ ! -e /usr/share/qemu/pvh.bin ]; then
        missing+=(qemu-system-data)
    fi
    if [ "$VM_BUS" = ctucan ]; then
        command -v make >/dev/null || missing+=(make)
        command -v "${VM_CROSS_PREFIX}gcc-12" >/dev/null || missing+=("$VM_GCC_PKG")
        # objtool, which checks x86 modules, is linked against libelf.
        dpkg-query -W -f='${Status}' "libelf1:$(dpkg --print-architecture)" 2>/dev/null |
            grep -q 'install ok installed' || missing+=(libelf1)
    fi
    [ ${#missing[@]} -eq 0 ] && return 0
    log "installing host tools: ${missing[*]}"
    update_lists
    local try
    for try in 1 2; do
        [ "$try" = 1 ] || log "retrying the installation of ${missing[*]}"
        DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
            "${missing[@]}" >&2 2>"$run_tmp/install.err" && return 0
        cat "$run_tmp/install.err" >&2
    done
    vm_die "could not install ${missing[*]}: $(apt_errors "$run_tmp/install.err")"
}

ensure_foreign_arch() {
    [ "$VM_DEB_ARCH" = "$(dpkg --print-architecture)" ] && return 0
    dpkg --print-foreign-architectures | grep -qx "$VM_DEB_ARCH" && return 0
    log "adding dpkg architecture $VM_DEB_ARCH"
    dpkg --add-architecture "$VM_DEB_ARCH"
    update_lists force
}

# The version of the host's PKG that the guest's headers accept (their Depends on PKG): apt's
# candidate where it fits, else the newest that does. The archive drops the kbuild of the
# headers' own version once a newer one is out, and the headers take any kbuild from theirs on.
accepted_version() { # HEADERS=VERSION PKG
    local rel op req v
    rel="$(apt-cache show "$1" 2>/dev/null | sed -n 's/^Depends: //p' | head -n 1 | sed 's/[,|]/\n/g' |
        sed -n "s/^ *$2\(:[a-z0-9]*\)\{0,1\} *\(([^)]*)\)\{0,1\} *$/\2/p" | head -n 1)"
    op=""
    req=""
    if [ -n "$rel" ]; then
        read -r op req <<<"$(echo "$rel" | tr -d '()')"
    fi
    fits() { [ -z "$op" ] || dpkg --compare-versions "$1" "$op" "$req"; }
    v="$(apt-cache policy "$2:$host_arch" 2>/dev/null | sed -n 's/^ *Candidate: //p')"
    if [ -n "$v" ] && [ "$v" != "(none)" ] && fits "$v"; then
        echo "$v"
        return 0
    fi
    for v in $(apt-cache madison "$2:$host_arch" 2>/dev/null | awk -F' [|] ' '{ print "-", $2 }' |
        sort -u | newest_first | cut -d' ' -f2); do
        if fits "$v"; then
            echo "$v"
            return 0
        fi
    done
    return 1
}

# Sorts "NAME VERSION" lines, newest version first, in dpkg's order.
newest_first() {
    local -a lines=() sorted=()
    local line i
    mapfile -t lines
    for line in "${lines[@]}"; do
        for ((i = 0; i < ${#sorted[@]}; i++)); do
            dpkg --compare-versions "${line#* }" gt "${sorted[i]#* }" && break
        done
        sorted=("${sorted[@]:0:i}" "$line" "${sorted[@]:i}")
    done
    [ ${#sorted[@]} -eq 0 ] || printf '%s\n' "${sorted[@]}"
}

# A kernel's set, as apt-get takes it: what the guest and its ctucan parts need of that kernel
# at its one version, and the host's kbuild that its headers accept.
kernel_set() { # RELEASE VERSION
    local release="$1" ver="$2" abi mm kbuild
    abi="${release%-"$VM_KERNEL_FLAVOUR"}"
    mm="$(echo "$release" | cut -d. -f1,2)"
    echo "linux-image-$release:$VM_DEB_ARCH=$ver"
    echo "linux-headers-$release:$VM_DEB_ARCH=$ver"
    echo "linux-headers-$abi-common=$ver"
    echo "linux-source-$mm=$ver"
    if kbuild="$(accepted_version "linux-headers-$release:$VM_DEB_ARCH=$ver" "linux-kbuild-$mm")"; then
        echo "linux-kbuild-$mm:$host_arch=$kbuild"
    else
        echo "linux-kbuild-$mm:$host_arch"
    fi
}

# What of the kernel's set the archive lacks, with apt's errors; nothing when the set is complete.
set_gaps() { # RELEASE VERSION
    local -a set
    mapfile -t set < <(kernel_set "$1" "$2")
    # An unversioned kbuild is one that no version accepted by the headers fits.
    [[ "${set[4]}" == *=* ]] ||
        echo "${set[4]} (none that linux-headers-$1 $2 accepts)"
    unresolved "${set[@]:0:4}" || true
}

# The kernel the metapackage names, as "RELEASE VERSION".
meta_kernel() {
    local cand dep
    cand="$(apt-cache policy "$VM_KERNEL_META:$VM_DEB_ARCH" 2>/dev/null | sed -n 's/^ *Candidate: //p')"
    if [ -z "$cand" ] || [ "$cand" = "(none)" ]; then
        vm_die "cannot resolve $(unresolved "$VM_KERNEL_META:$VM_DEB_ARCH" ||
            true)${cand:+ (no candidate version)}"
    fi
    dep="$(apt-cache show "$VM_KERNEL_META:$VM_DEB_ARCH=$cand" | sed -n 's/^Depends: //p' |
        head -n 1 | tr ',' '\n' | sed -n 's/^ *linux-image-\([^ :]*\)[^ ]* *\((= *\([^)]*\))\)\{0,1\} *$/\1 \3/p' |
        head -n 1)"
    [ -n "$dep" ] || vm_die "$VM_KERNEL_META:$VM_DEB_ARCH $cand names no linux-image package"
    if [ -z "${dep#* }" ]; then
        # Unversioned: apt would take the image's candidate.
        dep="${dep% } $(apt-cache policy "linux-image-${dep% }:$VM_DEB_ARCH" |
            sed -n 's/^ *Candidate: //p')"
    fi
    echo "$dep"
}

# Every kernel of the guest's flavour in the package lists that belongs to SERIES (e.g. 6.1),
# newest first, as "RELEASE VERSION".
series_kernels() { # SERIES
    local -a names
    mapfile -t names < <(apt-cache pkgnames "linux-image-$1." |
        grep -E "^linux-image-${1//./\\.}\.[0-9]+(-[0-9]+|\+deb[0-9]+)-$VM_KERNEL_FLAVOUR\$" |
        sed "s/\$/:$VM_DEB_ARCH/")
    [ ${#names[@]} -gt 0 ] || return 0
    apt-cache madison "${names[@]}" 2>/dev/null |
        awk -F' [|] ' -v arch="$VM_DEB_ARCH" '$3 ~ (" " arch " Packages$") {
            gsub(/ /, "", $1); gsub(/ /, "", $2); sub(/^linux-image-/, "", $1); sub(/:.*/, "", $1)
            print $1, $2 }' |
        sort -u | newest_first
}

# Picks the guest's kernel, as "RELEASE VERSION": the metapackage's, while the archive has its
# whole set; else the newest kernel of its series whose set is complete (the archive may carry
# kernels of a later series that no metapackage names yet), said in one line naming what the
# kernel the guest would have (FROM, else the metapackage's) lacks. A vcan guest needs the image
# alone, so when no set is complete it keeps the metapackage's kernel.
choose_kernel() { # [FROM GAPS]
    local meta meta_gaps k="" why="" from gaps
    meta="$(meta_kernel)" || exit "$VM_INFRA_STATUS"
    meta_gaps="$(set_gaps "${meta% *}" "${meta#* }" | joined)"
    if [ -z "$meta_gaps" ]; then
        k="$meta"
    else
        while read -r k; do
            [ "$k" != "$meta" ] || continue
            [ -n "$(set_gaps "${k% *}" "${k#* }")" ] || break
        done < <(series_kernels "$(echo "$meta" | cut -d. -f1,2)")
        why=", the newest whose set is complete"
        if [ -z "$k" ]; then
            if [ "$VM_BUS" != vcan ] ||
                [ -n "$(unresolved "linux-image-${meta% *}:$VM_DEB_ARCH=${meta#* }")" ]; then
                vm_die "no kernel of flavour $VM_KERNEL_FLAVOUR has a complete set in the archive;" \
                    "kernel $meta lacks $meta_gaps"
            fi
            log "no kernel's set is complete in the archive (kernel $meta lacks $meta_gaps):" \
                "the guest takes kernel $meta, without what the ctucan bus needs"
            echo "$meta"
            return 0
        fi
    fi
    from="${1:-$meta}"
    gaps="${2:-$meta_gaps}"
    [ -z "$gaps" ] ||
        log "the archive lacks part of kernel $from's set ($gaps): the guest moves to kernel $k$why"
    echo "$k"
}

# Lines joined by "; ".
joined() { tr '\n' ';' | sed 's/;$//; s/;/; /g'; }

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

# Under TCG the armhf zImage spends about 4 s decompressing itself. Decompress it here instead and
# wrap the plain Image in a uImage header, which qemu loads at the address the header names.
make_armhf_uimage() { # ZIMAGE CONFIG OUT
    local zimage="$1" config="$2" out="$3" image="$3.image" off load
    for off in $(LC_ALL=C grep -obUaP '\xfd7zXZ\x00' "$zimage" | cut -d: -f1); do
        if tail -c +$((off + 1)) "$zimage" | xz -dcq --single-stream >"$image" 2>/dev/null &&
            LC_ALL=C grep -qa 'Linux version' "$image"; then
            break
        fi
        rm -f "$image"
    done
    [ -s "$image" ] || {
        log "no XZ-compressed Image found in $zimage"
        return 1
    }
    # The kernel takes the start of RAM to be its load address minus TEXT_OFFSET, so it must be
    # loaded exactly there: RAM of qemu's virt board starts at 0x40000000.
    load=$((0x40000000 + $(arm_text_offset "$config")))
    write_uimage "$image" "$load" "$out"
    rm -f "$image"
    probe_armhf_kernel "$out"
}

# TEXT_OFFSET as arch/arm/Makefile derives it from the configuration (later rules win).
arm_text_offset() { # CONFIG
    local config="$1" t=0x00008000
    has() { grep -q "^CONFIG_$1=y" "$config"; }
    has PM_H1940 && t=0x00108000
    has ARCH_REALTEK && t=0x00108000
    has ARCH_SA1100 && has SA1111 && t=0x00208000
    has ARCH_IPQ40XX && t=0x00208000
    has ARCH_MSM8X60 && t=0x00208000
    has ARCH_MSM8960 && t=0x00208000
    has ARCH_MESON && t=0x00208000
    has ARCH_AXXIA && t=0x00308000
    echo "$t"
}

be32() { printf '%08x' "$1" | sed 's/../\\x&/g'; }
crc32_of() { gzip -c | tail -c 8 | head -c 4 | od -An -tu4 | tr -d ' '; }

write_uimage() { # IMAGE LOADADDR OUT
    local image="$1" load="$2" out="$3" size dcrc hcrc
    size=$(stat -c %s "$image")
    dcrc=$(crc32_of <"$image")
    uimage_header() { # HEADER_CRC: magic, hcrc, time, size, load, entry, dcrc, Linux/ARM/kernel/none
        # shellcheck disable=SC2059
        printf "$(be32 0x27051956)$(be32 "$1")$(be32 0)$(be32 "$size")$(be32 "$load")$(be32 "$load")$(be32 "$dcrc")"
        printf '\x05\x02\x02\x00'
        head -c 32 /dev/zero
    }
    hcrc=$(uimage_header 0 | crc32_of)
    {
        uimage_header "$hcrc"
        cat "$image"
    } >"$out"
}

# A kernel loaded at the wrong address hangs early; make sure this one gets as far as looking
# for a root file system (there is none, so it panics and, with panic=-1, qemu exits).
probe_armhf_kernel() { # UIMAGE
    local log="$1.probe" machine_args
    read -ra machine_args <<<"$(vm_qemu_machine_args)"
    timeout -k 5 60 "$VM_QEMU" "${machine_args[@]}" -smp 1 -nodefaults -no-user-config \
        -display none -no-reboot -kernel "$1" -append "console=$VM_CONSOLE panic=-1" \
        -serial "file:$log" -monitor none </dev/null >/dev/null 2>&1 || true
    if grep -q 'Unable to mount root' "$log"; then
        rm -f "$log"
        return 0
    fi
    log "the uncompressed kernel did not boot"
    rm -f "$log"
    return 1
}

fetch() { # [FROM GAPS], as choose_kernel takes them
    local kernel kpkg kver dl
    kernel="$(choose_kernel "$@")" || exit "$VM_INFRA_STATUS"
    kpkg="linux-image-${kernel% *}"
    kver="${kernel#* }"
    log "kernel package $kpkg $kver"

    stage="$VM_CACHE.new.$$"
    rm -rf "$stage"
    mkdir -p "$stage/dl" "$stage/modules" "$stage/sysroot"
    dl="$stage/dl"

    local -a pkgs=("$kpkg:$VM_DEB_ARCH=$kver" "busybox-static:$VM_DEB_ARCH")
    if [ "$VM_DEB_ARCH" != "$host_arch" ]; then
        pkgs+=("libc6:$VM_DEB_ARCH" "libstdc++6:$VM_DEB_ARCH" "libgcc-s1:$VM_DEB_ARCH")
    fi
    apt_download "$dl" "${pkgs[@]}"

    local kdeb
    kdeb="$(ls "$dl"/"$kpkg"_*.deb)"
    mkdir -p "$dl/k"
    # Only the kernel and five modules are needed: skip writing the other few hundred MB.
    dpkg-deb --fsys-tarfile "$kdeb" | tar -x -C "$dl/k" --wildcards \
        './boot/vmlinuz-*' './boot/config-*' \
        './lib/modules/*/kernel/net/sched/sch_plug.ko*' \
        './lib/modules/*/kernel/net/can/can.ko*' \
        './lib/modules/*/kernel/net/can/can-raw.ko*' \
        './lib/modules/*/kernel/drivers/net/can/dev/can-dev.ko*' \
        './lib/modules/*/kernel/drivers/net/can/vcan.ko*' ||
        vm_die "unpacking $kdeb failed"

    local vmlinuz mod found
    vmlinuz="$(ls "$dl"/k/boot/vmlinuz-*)"
    case "$VM_ARCH" in
    x86_64) extract_x86_elf_kernel "$vmlinuz" "$stage/kernel" ;;
    armhf)
        if ! make_armhf_uimage "$vmlinuz" "$(ls "$dl"/k/boot/config-*)" "$stage/kernel"; then
            log "warning: booting the zImage itself (about 4 s slower per boot)"
            cp "$vmlinuz" "$stage/kernel"
        fi
        ;;
    *) cp "$vmlinuz" "$stage/kernel" ;;
    esac
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
    fetch_iproute2 "$stage/iproute2"

    cat >"$stage/info" <<EOF
arch=$VM_ARCH
kernel_package=$kpkg
kernel_version=$kver
fetched=$(date -u +%Y-%m-%dT%H:%M:%SZ)
EOF
    rm -rf "$VM_CACHE"
    mv "$stage" "$VM_CACHE"
    stage=""
    log "ready in $VM_CACHE"
}

# The library packages that PKG depends on, recursively, for the guest's architecture (one apt-cache
# run: each takes about 2 s). Besides what PKG's programs need, this takes in the libraries of
# the packages it depends on (dpkg, debconf); guest-run.sh picks what a program needs. The C and
# C++ runtime is left out: the guest takes it from its sysroot (from the host for x86_64).
library_closure() { # PKG
    local qual=":$VM_DEB_ARCH"
    [ "$VM_DEB_ARCH" != "$(dpkg --print-architecture)" ] || qual=""
    apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
        --no-replaces --no-enhances "$1:$VM_DEB_ARCH" 2>/dev/null |
        sed -n "s/^ *|\{0,1\}\(Pre\)\{0,1\}Depends: \(\(lib\|zlib\)[^ :<>]*\)$qual\$/\2/p" |
        grep -vxE 'libc6|libgcc-s1|libstdc\+\+6' | sort -u
}

# iproute2's ip and tc in DEST/bin, with the libraries they need beyond the C runtime in
# DEST/sysroot: busybox's ip cannot set CAN bit timing and its tc cannot add a plug qdisc.
fetch_iproute2() { # DEST
    local dest="$1" tool d deb lib
    iwork="$(mktemp -d "${TMPDIR:-/tmp}/canfd-vm-iproute2.XXXXXX")"
    mkdir -p "$iwork/dl" "$dest/bin" "$dest/sysroot/usr"
    # apt drops privileges to _apt for downloads; let it reach the download folder.
    chmod 755 "$iwork"
    local -a pkgs=("iproute2:$VM_DEB_ARCH")
    for lib in $(library_closure iproute2); do
        pkgs+=("$lib:$VM_DEB_ARCH")
    done
    apt_download "$iwork/dl" "${pkgs[@]}"
    for deb in "$iwork"/dl/*.deb; do
        dpkg-deb -x "$deb" "$iwork/root"
    done
    for tool in ip tc; do
        for d in bin sbin usr/bin usr/sbin; do
            if [ -f "$iwork/root/$d/$tool" ] && [ ! -L "$iwork/root/$d/$tool" ]; then
                cp "$iwork/root/$d/$tool" "$dest/bin/$tool"
                break
            fi
        done
        [ -f "$dest/bin/$tool" ] || vm_die "no $tool in iproute2:$VM_DEB_ARCH"
    done
    # Only the libraries stay: guest-run.sh takes from them what ip and tc need.
    for d in lib usr/lib; do
        [ ! -d "$iwork/root/$d" ] || cp -a "$iwork/root/$d" "$dest/sysroot/$d"
    done
    echo "iproute2=$(dpkg-deb -f "$iwork"/dl/iproute2_*.deb Version)" >"$dest/info"
    rm -rf "$iwork"
    iwork=""
}

# Prints the folder holding drivers/net/can/ctucanfd of the kernel source of exactly VERSION. The
# folder is kept once for every architecture: the source package is 140 MB, the folder 100 KB.
ctucanfd_source() { # VERSION MAJOR.MINOR; runs in a subshell: $(ctucanfd_source ...)
    local kver="$1" mm="$2" root dir
    root="$(vm_cache_dir src)"
    dir="$root/ctucanfd-$kver"
    mkdir -p "$root"
    exec 8>"$dir.lock"
    flock 8
    if [ ! -f "$dir/Makefile" ]; then
        tmp="$(mktemp -d "${TMPDIR:-/tmp}/canfd-vm-src.XXXXXX")"
        # shellcheck disable=SC2064  # the trap outlives these local variables
        trap "rm -rf $(printf '%q ' "$tmp" "$dir.new.$$")" EXIT
        mkdir -p "$tmp/dl"
        # apt drops privileges to _apt for downloads; let it reach the download folder.
        chmod 755 "$tmp"
        apt_download "$tmp/dl" "linux-source-$mm=$kver"
        log "unpacking drivers/net/can/ctucanfd from linux-source-$mm $kver"
        dpkg-deb --fsys-tarfile "$tmp"/dl/linux-source-*.deb |
            tar -xO "./usr/src/linux-source-$mm.tar.xz" |
            xz -T0 -dc | tar -x -C "$tmp" --wildcards '*/drivers/net/can/ctucanfd/*' ||
            vm_die "unpacking the CTU CAN FD driver from linux-source-$mm $kver failed"
        [ -f "$tmp/linux-source-$mm/drivers/net/can/ctucanfd/Makefile" ] ||
            vm_die "linux-source-$mm $kver has no drivers/net/can/ctucanfd"
        cp -r "$tmp/linux-source-$mm/drivers/net/can/ctucanfd" "$dir.new.$$"
        mv "$dir.new.$$" "$dir"
    fi
    echo "$dir"
}

# The ctucan bus's parts, in $VM_CTUCAN: the CTU CAN FD driver's modules, built from the guest
# kernel's own source against its own headers.
fetch_ctucan() {
    local release kver mm src dl kb build hdr deb mod
    read -r release kver <<<"$(cached_kernel)"
    mm="$(echo "$release" | cut -d. -f1,2)"
    local -a set
    mapfile -t set < <(kernel_set "$release" "$kver")
    log "CTU CAN FD driver for $release ($kver), built with ${set[4]%%=*} ${set[4]#*=}"
    src="$(ctucanfd_source "$kver" "$mm")" || exit "$VM_INFRA_STATUS"

    # Unpacking thousands of header files goes faster outside the cache on some machines, so
    # the work happens in a temporary folder and only the results land in the cache.
    cstage="$VM_CTUCAN.new.$$"
    cwork="$(mktemp -d "${TMPDIR:-/tmp}/canfd-vm-ctucan.XXXXXX")"
    rm -rf "$cstage"
    dl="$cwork/dl"
    kb="$cwork/kbuild"
    build="$cwork/build"
    mkdir -p "$dl" "$kb" "$cstage/modules"
    chmod 755 "$cwork"
    # Headers, their common part and the host's kbuild.
    apt_download "$dl" "${set[1]}" "${set[2]}" "${set[4]}"

    # Headers, their common part and kbuild unpacked side by side, as installing them would lay
    # them out; only the include of the common part is by absolute path.
    for deb in "$dl"/linux-headers-*.deb "$dl"/linux-kbuild-*.deb; do
        dpkg-deb -x "$deb" "$kb"
    done
    hdr="$kb/usr/src/linux-headers-$release"
    sed -i "s|^include /usr/src/|include $kb/usr/src/|" "$hdr/Makefile"
    cp -r "$src" "$build"
    local -a cross=()
    if [ -n "$VM_CROSS_PREFIX" ]; then
        cross=(CROSS_COMPILE="$VM_CROSS_PREFIX" DEB_BUILD_ARCH="$host_arch"
            DEB_HOST_ARCH="$VM_DEB_ARCH" DEB_HOST_GNU_TYPE="$VM_TRIPLET")
    fi
    if ! make -C "$hdr" M="$build" CONFIG_CAN_CTUCANFD=m CONFIG_CAN_CTUCANFD_PCI=m \
        "${cross[@]}" modules >"$cwork/build.log" 2>&1; then
        tail -n 30 "$cwork/build.log" >&2
        vm_die "building the CTU CAN FD driver for $release failed"
    fi
    for mod in "${VM_CTUCAN_MODULES[@]}"; do
        "${VM_CROSS_PREFIX}strip" --strip-debug -o "$cstage/modules/$mod.ko" "$build/$mod.ko" ||
            vm_die "no $mod.ko built"
    done

    # Checkouts of the bed that share this cache and predate ip and tc in every guest look for
    # them here.
    cp -a "$VM_CACHE/iproute2/bin" "$VM_CACHE/iproute2/sysroot" "$cstage/"

    cat >"$cstage/info" <<EOF
kernel_release=$release
kernel_version=$kver
kbuild_version=${set[4]#*=}
fetched=$(date -u +%Y-%m-%dT%H:%M:%SZ)
EOF
    rm -rf "$VM_CTUCAN"
    mv "$cstage" "$VM_CTUCAN"
    cstage=""
    log "ctucan bus ready in $VM_CTUCAN"
}

# The ctucan parts need the exact version of the cached kernel, which older caches do not record;
# older caches also lack the plug qdisc and iproute2.
base_ready() {
    [ -f "$VM_CACHE/info" ] && [ -f "$VM_CACHE/modules/sch_plug.ko" ] &&
        [ -f "$VM_CACHE/iproute2/info" ] &&
        { [ "$VM_BUS" = vcan ] || grep -q '^kernel_version=' "$VM_CACHE/info"; }
}
ctucan_ready() {
    [ "$VM_BUS" = vcan ] || [ -f "$VM_CTUCAN/info" ]
}
# The cached kernel as "RELEASE VERSION".
cached_kernel() {
    local kpkg
    kpkg="$(sed -n 's/^kernel_package=//p' "$VM_CACHE/info")"
    echo "${kpkg#linux-image-} $(sed -n 's/^kernel_version=//p' "$VM_CACHE/info")"
}

ensure_host_tools
# The ready cache is only ever replaced whole, so this check needs no lock; taking one here would
# make every run wait for the runs that hold the cache (see guest-run.sh).
if [ "$refresh" = 0 ] && base_ready && ctucan_ready; then
    exit 0
fi
mkdir -p "$(dirname "$VM_CACHE")"
# Parallel fetches of one ARCH wait here, and a refresh waits for the runs reading the cache.
exec 9>"$VM_CACHE.lock"
flock 9
if [ "$refresh" = 0 ] && base_ready && ctucan_ready; then
    exit 0
fi
ensure_foreign_arch
# A refresh is for picking up what the archive has now.
if [ "$refresh" = 1 ]; then update_lists force; else update_lists; fi
if [ "$refresh" = 1 ] || ! base_ready; then
    # Replaces the whole cache, the ctucan parts built for the old kernel included.
    fetch
elif ! ctucan_ready; then
    # The driver is built from the cached kernel's own set; once the archive lacks part of it,
    # the guest moves to a kernel whose set is there.
    kernel="$(cached_kernel)"
    gaps="$(set_gaps "${kernel% *}" "${kernel#* }" | joined)"
    [ -z "$gaps" ] || fetch "$kernel" "$gaps"
fi
if ! ctucan_ready; then
    fetch_ctucan
fi
