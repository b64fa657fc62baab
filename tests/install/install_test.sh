#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Installs the build into a temporary prefix and runs a program compiled against the installed
# files alone on the emulated board; then builds the Debian packages and checks and runs what
# they hold, unpacked (no root needed). Arguments: build folder, version, java, javac, jar,
# cmake, cpack, lwjgl.jar, the program's source.
set -euo pipefail
build=$1 version=$2 java=$3 javac=$4 jar=$5 cmake=$6 cpack=$7 lwjgl=$8 program=$9
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cd "$tmp"
fail() { echo "FAIL: $*" >&2; exit 1; }
has() { grep -qF -- "$2" <<<"$1" || fail "$3: no '$2' in: $1"; }

expected="version $version, sealed true
AI1 1.000 V, AI14 2.500 V"
# Runs the program with a jar and the emulated board from one installed tree; prints its output.
run_from() {
    local root=$1 cp=$2
    shift 2
    LD_PRELOAD="$root/lib/jni/libvornemu.so" "$java" -Xcheck:jni "$@" -cp "$cp:$tmp/classes" \
        InstalledUse /dev/comedi-emu/multi 2>&1
}

# ---- cmake --install, one component after the other
prefix=$tmp/prefix
"$cmake" --install "$build" --prefix "$prefix" --component library >/dev/null
[ ! -e "$prefix/lib/jni/libvornemu.so" ] || fail "the library component holds the emulated board"
"$cmake" --install "$build" --prefix "$prefix" --component emulated_board >/dev/null
for f in lib/jni/libvorn.so share/java/vorn.jar share/java/vorn-hdf5.jar share/doc/libvorn-java/api/index.html \
         share/doc/libvorn-java/api/org/vorn/acq/comedi/ComediAnalogStreamingDevice.html bin/taskpin \
         lib/jni/libvornemu.so share/java/vornemu.jar include/vorn/emuboard.h; do
    [ -f "$prefix/$f" ] || fail "not installed: $f"
done
has "$("$jar" --describe-module --file "$prefix/share/java/vorn.jar")" "org.vorn automatic" "module name"
has "$("$jar" --describe-module --file "$prefix/share/java/vornemu.jar")" "org.vorn.emu automatic" "module name"

sleep 30 &
sleeper=$!
has "$("$prefix/bin/taskpin" $sleeper 1)" "pid $sleeper's new affinity: 00000001" "taskpin"
kill $sleeper

"$javac" -d classes -cp "$prefix/share/java/vorn.jar" "$program"
out=$(run_from "$prefix" "$prefix/share/java/vorn.jar:$lwjgl") || fail "the program failed: $out"
[ "$out" = "$expected" ] || fail "the program printed: $out"

# Without lwjgl.jar, or without a library beside the jar and on java.library.path: a message
# that says what to add or set.
out=$(run_from "$prefix" "$prefix/share/java/vorn.jar") && fail "ran without lwjgl.jar: $out"
has "$out" "org.lwjgl.BufferUtils is not on the class path: libvorn's devices need LWJGL; add lwjgl.jar to the class path" "no LWJGL"
mkdir -p bare/share/java empty
cp "$prefix/share/java/vorn.jar" bare/share/java/
out=$(run_from "$prefix" "$tmp/bare/share/java/vorn.jar:$lwjgl" -Djava.library.path="$tmp/empty") \
    && fail "ran without libvorn.so: $out"
has "$out" "libvorn could not be loaded (no vorn in java.library.path: $tmp/empty); none beside vorn.jar at $tmp/bare/lib/jni/libvorn.so; install the libvorn-java package, or set -Djava.library.path to the folder that holds libvorn.so" "no library"

# ---- the Debian packages
"$cpack" --config "$build/CPackConfig.cmake" -B "$tmp/deb" >/dev/null
deb=deb/libvorn-java_${version}-1_$(dpkg --print-architecture).deb
emu_deb=deb/libvorn-emulated-board_${version}-1_$(dpkg --print-architecture).deb
[ -f "$deb" ] && [ -f "$emu_deb" ] || fail "packages: $(ls deb)"
depends=$(dpkg-deb -f "$deb" Depends)
for d in "libcomedi0 (>=" "liblwjgl-java" "default-jre-headless (>= 2:1.17) | java17-runtime-headless" "libc6"; do
    has "$depends" "$d" "Depends"
done
contents=$(dpkg-deb -c "$deb")
for f in ./usr/lib/jni/libvorn.so ./usr/share/java/vorn.jar ./usr/bin/taskpin ./usr/share/doc/libvorn-java/api/index.html; do
    has "$contents" "$f" "libvorn-java"
done
grep -q libvornemu <<<"$contents" && fail "libvorn-java holds the emulated board"
has "$(dpkg-deb -c "$emu_deb")" "./usr/lib/jni/libvornemu.so" "libvorn-emulated-board"
dpkg-deb -x "$deb" root
dpkg-deb -x "$emu_deb" root
out=$(run_from "$tmp/root/usr" "$tmp/root/usr/share/java/vorn.jar:$lwjgl") || fail "the packaged files failed: $out"
[ "$out" = "$expected" ] || fail "the packaged files printed: $out"
echo "installed and packaged files run the program"
