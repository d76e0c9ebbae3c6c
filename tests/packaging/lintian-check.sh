#!/usr/bin/env bash
# Runs lintian on one Debian package, any architecture, and fails on every tag it reports at
# the error, warning, info and pedantic levels but those that only the owner can clear.
# Experimental tags are shown and let through: lintian itself does not trust them yet.
#
#   lintian-check.sh DEB
set -euo pipefail

deb="$1"

# What waits for the owner: a licence (the copyright file) and a real mail address, which
# the Maintainer field and the changelog's trailer share (now canfd-flash@localhost).
accepted=(no-copyright-file bogus-mail-host bogus-mail-host-in-debian-changelog)

if ! command -v lintian >/dev/null; then
    echo "FAIL: lintian is not installed (tests/install-deps.sh installs it)" >&2
    exit 1
fi

set +e
report="$(lintian --fail-on none --display-info --pedantic --display-experimental \
    --tag-display-limit 0 "$deb" 2>"$deb.lintian-errors")"
status=$?
set -e
echo "--- lintian $(lintian --version | awk '{ print $2 }') on $(basename "$deb")"
[ -z "$report" ] || echo "$report"
# lintian warns on standard error when run as root; anything more is shown as it came.
grep -v 'running with root privileges is not recommended' "$deb.lintian-errors" >&2 || true
rm -f "$deb.lintian-errors"
if [ "$status" -ne 0 ]; then
    echo "FAIL: lintian could not check $deb (status $status)" >&2
    exit 1
fi

failures=0
while IFS= read -r line; do
    # "E: canfd-flash: tag-name details"; the package may carry its type, "canfd-flash (binary)".
    [[ "$line" =~ ^([EWIPXON]):\ [^:]+:\ ([^ ]+) ]] || continue
    level="${BASH_REMATCH[1]}"
    tag="${BASH_REMATCH[2]}"
    case "$level" in
    E | W | I | P) ;;
    *) continue ;; # X experimental, O overridden, N notes
    esac
    for allowed in "${accepted[@]}"; do
        [ "$tag" != "$allowed" ] || continue 2
    done
    echo "FAIL: lintian: $level: $tag" >&2
    failures=$((failures + 1))
done <<<"$report"
[ "$failures" -eq 0 ] || exit 1
echo "lintian: nothing but ${accepted[*]}"
