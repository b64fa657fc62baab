#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# A lab's Maven project (tests/install/maven) that depends on org.vorn:vorn at the version
# "debian" builds offline against Debian's Maven repository with the libvorn-java package in it,
# and its test scans the emulated board with the classes Maven resolved. The packages are
# unpacked, as the other installation test does (no root needed), and their share/maven-repo
# joins a linked copy of /usr/share/maven-repo. Skipped (77) where Maven is not installed.
# Arguments: the folder of the .deb files, version, java, the Maven project.
set -euo pipefail
packages=$1 version=$2 java=$3 project=$4
java_home=$(dirname "$(dirname "$(readlink -f "$java")")")
mvn=$(command -v mvn) || {
    echo "SKIPPED: Maven is not installed (scripts/install-deps.sh installs maven and its plugins)"
    exit 77
}
fail() { echo "FAIL: $*" >&2; exit 1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
arch=$(dpkg --print-architecture)
root=$tmp/root
for p in libvorn-java libvorn-emulated-board; do
    dpkg-deb -x "$packages/${p}_${version}-1_$arch.deb" "$root"
done

# Debian's layout: a POM and a link to the jar in /usr/share/java, for the version and for "debian".
ours=$root/usr/share/maven-repo/org/vorn
for artifact in vorn vorn-hdf5; do
    for v in "$version" debian; do
        pom=$ours/$artifact/$v/$artifact-$v.pom
        [ -f "$pom" ] || fail "no $pom"
        grep -q "<version>$v</version>" "$pom" || fail "$pom does not give version $v"
        link=$(readlink "$ours/$artifact/$v/$artifact-$v.jar") || fail "no link $artifact-$v.jar"
        [ "$link" = "../../../../../java/$artifact-$version.jar" ] || fail "$artifact-$v.jar links to $link"
        [ -f "$ours/$artifact/$v/$artifact-$v.jar" ] || fail "$artifact-$v.jar does not reach a jar"
    done
done
grep -q "<systemPath>/usr/share/java/jarhdf5.jar</systemPath>" "$ours/vorn-hdf5/debian/vorn-hdf5-debian.pom" \
    || fail "vorn-hdf5's POM does not depend on Debian's HDF5 binding"

repo=$tmp/maven-repo
cp -rs /usr/share/maven-repo "$repo"
rm -rf "$repo/org/vorn"
ln -s "$ours" "$repo/org/vorn"
cp -r "$project" "$tmp/project"
cd "$tmp/project"
# The board is preloaded into Maven's JVM and so into the forked test JVM; it answers only for
# its own device paths.
out=$(JAVA_HOME=$java_home LD_PRELOAD="$root/usr/lib/jni/libvornemu.so" \
    "$mvn" -o -B -Dmaven.repo.local="$repo" \
    -DargLine="-Xcheck:jni -Djava.library.path=$root/usr/lib/jni -Dvorn.version=$version" test 2>&1) \
    || fail "mvn failed: $out"
grep -qF "Tests run: 1, Failures: 0, Errors: 0, Skipped: 0" <<<"$out" || fail "the scan did not run: $out"
grep -qE "WARNING in native method|FATAL ERROR in native method" <<<"$out" && fail "JNI check: $out"
echo "Maven built the project against org.vorn:vorn:debian and its test scanned the emulated board"
