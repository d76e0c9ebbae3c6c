#!/usr/bin/env bash
# Builds the Debian package of one build tree with CPack and checks it as a user would get it:
# control fields, file list, the architecture and hardening of the programs, the man pages,
# the changelog, what lintian says, and that the packaged programs run (under qemu-user for
# ARM): both answer -h, --help and --version, and the flasher refuses to start without an
# image.
#
#   check-package.sh BUILD_DIR DEB_ARCH VERSION PROGRAMS [RUNNER...]
#
# PROGRAMS is a space-separated list; RUNNER is the command that runs a binary of DEB_ARCH
# (none for the build machine's own architecture).
set -euo pipefail

build_dir="$1"
arch="$2"
version="$3"
read -r -a programs <<<"$4"
shift 4
runner=("$@")

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

out="$build_dir/packages"
deb="$out/canfd-flash_${version}_${arch}.deb"
rm -f "$out"/*.deb
(cd "$build_dir" && cpack -G DEB -B "$out")
[ -f "$deb" ] || {
    echo "FAIL: cpack made no $deb" >&2
    ls -l "$out" >&2
    exit 1
}
echo "--- $deb"
dpkg-deb --info "$deb"

# --- control fields -------------------------------------------------------------------------
field() { dpkg-deb --field "$deb" "$1"; }
expect_field() {
    local actual
    actual="$(field "$1")"
    [ "$actual" = "$2" ] || fail "$1 is '$actual', expected '$2'"
}
expect_field Package canfd-flash
expect_field Architecture "$arch"
expect_field Version "$version"
expect_field Section electronics
for name in Maintainer Description; do
    [ -n "$(field "$name")" ] || fail "no $name field"
done

# --- contents: the programs, their man pages and the changelog, root-owned, usual modes ------
listing="$(dpkg-deb --contents "$deb")"
echo "$listing"
expected="-rw-r--r-- root/root ./usr/share/doc/canfd-flash/changelog.gz"$'\n'
for program in "${programs[@]}"; do
    expected+="-rwxr-xr-x root/root ./usr/bin/$program"$'\n'
    expected+="-rw-r--r-- root/root ./usr/share/man/man1/$program.1.gz"$'\n'
done
actual="$(echo "$listing" | awk '$1 !~ /^d/ { print $1, $2, $6 }' | LC_ALL=C sort)"
expected="$(printf '%s' "$expected" | LC_ALL=C sort)"
if [ "$actual" != "$expected" ]; then
    fail "files in the package differ from the programs, man pages and changelog:"
    diff <(echo "$expected") <(echo "$actual") >&2 || true
fi

root="$out/check-$arch"
rm -rf "$root"
dpkg-deb -x "$deb" "$root"

# --- the programs: right architecture, stripped, hardened, every library in Depends --------
case "$arch" in
amd64) class=ELF64 machine="Advanced Micro Devices X86-64" file_says="x86-64" ;;
arm64) class=ELF64 machine="AArch64" file_says="ARM aarch64" ;;
armhf) class=ELF32 machine="ARM" file_says="ARM, EABI5" ;;
*)
    echo "FAIL: no checks known for architecture $arch" >&2
    exit 1
    ;;
esac

depends="$(field Depends)"
# Version of a dependency on PACKAGE in a Depends list ("" when unversioned, "-" when missing).
depends_version() { # PACKAGE [LIST]
    echo "${2-$depends}" | tr ',' '\n' | awk -v want="$1" '
        { sub(/^ +/, "") }
        $1 == want { found = 1; if (match($0, /\(>= *[^)]*\)/)) { v = substr($0, RSTART + 3, RLENGTH - 4); gsub(/ /, "", v); print v } else print "" }
        END { if (!found) print "-" }'
}
# True when Depends asks for at least version MIN of PACKAGE.
depends_at_least() { # PACKAGE MIN
    local have
    have="$(depends_version "$1")"
    [ "$have" != - ] && [ -n "$have" ] && dpkg --compare-versions "$have" ge "$2"
}

glibc_needed=""
for program in "${programs[@]}"; do
    bin="$root/usr/bin/$program"
    header="$(readelf -hW "$bin")"
    echo "$header" | grep -Eq "^ *Class: *$class$" || fail "$program is not $class"
    echo "$header" | grep -Eq "^ *Machine: *$machine$" || fail "$program is not for $machine"
    if [ "$arch" = armhf ]; then
        echo "$header" | grep -Eq "^ *Flags:.*hard-float ABI" || fail "$program is not hard-float"
    fi
    description="$(file -b "$bin")"
    echo "$program: $description"
    [[ "$description" == *"$file_says"* ]] || fail "file does not see $file_says in $program"
    [[ "$description" == *", stripped"* ]] || fail "$program is not stripped"
    # Debian's hardening: relocations resolved at start, then read-only; glibc's checked
    # functions (_FORTIFY_SOURCE); and no compiler notes left in a .comment section.
    # (Whole outputs first: grep -q stopping early would fail readelf's write under pipefail.)
    dynamic="$(readelf -dW "$bin")"
    segments="$(readelf -lW "$bin")"
    symbols="$(readelf -sW --dyn-syms "$bin")"
    sections="$(readelf -SW "$bin")"
    grep -Eq '\(FLAGS\).*BIND_NOW|\(FLAGS_1\).*NOW' <<<"$dynamic" ||
        fail "$program resolves symbols lazily (no -z now)"
    grep -q '^ *GNU_RELRO ' <<<"$segments" || fail "$program has no read-only relocations"
    grep -Eq ' UND __[a-z0-9_]+_chk(@|$)' <<<"$symbols" ||
        fail "$program calls none of glibc's checked functions (_FORTIFY_SOURCE)"
    ! grep -q ' \.comment ' <<<"$sections" || fail "$program keeps a .comment section"

    for library in $(readelf -dW "$bin" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p'); do
        case "$library" in
        libc.so.6 | libm.so.6 | ld-linux*) package=libc6 ;;
        libstdc++.so.6) package=libstdc++6 ;;
        libgcc_s.so.1) package=libgcc-s1 ;;
        *) package="" ;;
        esac
        if [ -z "$package" ]; then
            fail "$program needs $library, which no dependency provides"
        elif [ "$(depends_version "$package")" = - ]; then
            fail "$program needs $library but Depends ($depends) lacks $package"
        fi
    done
    newest="$(readelf -VW "$bin" | grep -o 'GLIBC_[0-9][0-9.]*' | sed 's/GLIBC_//' |
        sort -V | tail -n 1 || true)"
    if [ -n "$newest" ]; then
        glibc_needed="$(printf '%s\n%s\n' "$glibc_needed" "$newest" | sed '/^$/d' | sort -V |
            tail -n 1)"
    fi
done
if [ -n "$glibc_needed" ] && ! depends_at_least libc6 "$glibc_needed"; then
    fail "the programs use glibc $glibc_needed symbols, but Depends is '$depends'"
fi
# For the build machine's own architecture dpkg-shlibdeps can judge Depends as well.
if [ "$arch" = "$(dpkg --print-architecture)" ] && command -v dpkg-shlibdeps >/dev/null; then
    work="$out/shlibdeps-$arch"
    rm -rf "$work"
    mkdir -p "$work/debian"
    : >"$work/debian/control"
    bins=()
    for program in "${programs[@]}"; do bins+=("$root/usr/bin/$program"); done
    reference="$(cd "$work" && dpkg-shlibdeps -O "${bins[@]}" 2>/dev/null |
        sed -n 's/^shlibs:Depends=//p')"
    echo "dpkg-shlibdeps: $reference"
    # The same packages, each at least as new as dpkg-shlibdeps asks for.
    names() { echo "$1" | tr ',' '\n' | awk '{ print $1 }' | LC_ALL=C sort; }
    [ "$(names "$reference")" = "$(names "$depends")" ] ||
        fail "Depends is '$depends', dpkg-shlibdeps says '$reference'"
    for package in $(names "$reference"); do
        minimum="$(depends_version "$package" "$reference")"
        if [ -n "$minimum" ] && [ "$minimum" != - ] && ! depends_at_least "$package" "$minimum"; then
            fail "Depends allows older $package than dpkg-shlibdeps ($minimum): '$depends'"
        fi
    done
fi

# --- man pages: valid gzip, render without warnings, for the right program ----------------
for program in "${programs[@]}"; do
    page="$root/usr/share/man/man1/$program.1.gz"
    gzip -t "$page" || fail "$program.1.gz is not valid gzip"
    title="$(gzip -dc "$page" | sed -n 's/^\.TH \([^ ]*\) 1 .*/\1/p' | sed 's/\\-/-/g')"
    upper="$(echo "$program" | tr '[:lower:]' '[:upper:]')"
    [ "$title" = "$upper" ] || fail "$program.1.gz has title '$title'"
    gzip -dc "$page" | grep -q "^\.TH .* \"canfd-flash $version\" " ||
        fail "$program.1.gz does not name canfd-flash $version in its title line"
    warnings="$(gzip -dc "$page" | groff -man -ww -z 2>&1)" ||
        fail "groff cannot format $program.1.gz"
    [ -z "$warnings" ] || fail "groff warns about $program.1.gz: $warnings"
done

# --- changelog: Debian's form, for this version -------------------------------------------
changelog="$root/usr/share/doc/canfd-flash/changelog.gz"
if gzip -t "$changelog"; then
    gzip -dc "$changelog" >"$out/changelog-$arch"
    latest="$(dpkg-parsechangelog -l "$out/changelog-$arch" -S Version)" ||
        fail "dpkg-parsechangelog cannot read the changelog"
    [ "$latest" = "$version" ] || fail "the changelog's latest entry is '$latest', not $version"
else
    fail "changelog.gz is not valid gzip"
fi

# --- lintian --------------------------------------------------------------------------------
"$(dirname "$0")/lintian-check.sh" "$deb" || fail "lintian finds more than the owner's tags"

# --- the packaged programs run: -h, --help, --version ---------------------------------------
for program in "${programs[@]}"; do
    set +e
    version_line="$("${runner[@]}" "$root/usr/bin/$program" --version 2>&1)"
    status=$?
    set -e
    [ "$status" -eq 0 ] && [ "$version_line" = "$program $version" ] ||
        fail "$program --version exits $status and says '$version_line', not '$program $version'"
    for option in -h --help; do
        set +e
        help="$("${runner[@]}" "$root/usr/bin/$program" "$option" 2>&1)"
        status=$?
        set -e
        [ "$status" -eq 0 ] || fail "$program $option exits $status: $help"
        [[ "$help" == Usage:* ]] || fail "$program $option does not start with Usage: $help"
    done
done

# --- the packaged flasher refuses to start without an image ---------------------------------
# It opens /opt/klipper.bin before any socket, so this needs no CAN support. Where the machine has
# an image there, a private mount namespace hides it.
run_without_image() {
    if [ ! -e /opt/klipper.bin ]; then
        "$@"
    else
        unshare --mount --propagation private -- \
            sh -c 'mount -t tmpfs none /opt && exec "$@"' sh "$@"
    fi
}
if [ -e /opt/klipper.bin ] && ! unshare --mount true 2>/dev/null; then
    echo "SKIP: /opt/klipper.bin exists and cannot be hidden; the run without an image is skipped"
    [ "$failures" -eq 0 ] || exit 1
    exit 77
fi
set +e
run_without_image "${runner[@]}" "$root/usr/bin/canfd-flash" >"$root/stdout" 2>"$root/stderr"
status=$?
set -e
echo "canfd-flash exited with $status; stderr: $(cat "$root/stderr")"
[ "$status" -eq 1 ] || fail "canfd-flash without an image exits $status, expected 1"
grep -qxF "Firmware file not found!: No such file or directory" "$root/stderr" ||
    fail "canfd-flash without an image does not say 'Firmware file not found!: No such file or directory'"
[ ! -s "$root/stdout" ] || fail "canfd-flash without an image printed: $(cat "$root/stdout")"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed for $deb" >&2
    exit 1
fi
echo "OK: $deb"
