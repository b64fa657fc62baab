#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Debian's package checker on both packages: any error fails; the warnings and notes that remain
# are printed (the README says why each is left). Skipped (77) where lintian is not installed.
# Arguments: the folder of the .deb files, version.
set -euo pipefail
packages=$1 version=$2
lintian=$(command -v lintian) || {
    echo "SKIPPED: lintian is not installed (scripts/install-deps.sh installs it)"
    exit 77
}
arch=$(dpkg --print-architecture)
debs=()
for p in libvorn-java libvorn-emulated-board; do
    deb=$packages/${p}_${version}-1_$arch.deb
    [ -f "$deb" ] || { echo "FAIL: no $deb" >&2; exit 1; }
    # Both carry the licence and the Debian changelog.
    contents=$(dpkg-deb -c "$deb")
    for f in copyright changelog.Debian.gz; do
        grep -qF "./usr/share/doc/$p/$f" <<<"$contents" || { echo "FAIL: $p has no /usr/share/doc/$p/$f" >&2; exit 1; }
    done
    debs+=("$deb")
done
# --fail-on error: a warning is reported, an error fails.
"$lintian" --fail-on error --display-info --no-tag-display-limit "${debs[@]}"
echo "lintian: no error on ${debs[*]##*/}"
