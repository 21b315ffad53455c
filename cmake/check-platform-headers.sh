#!/usr/bin/env bash
# Compiles every source that the device builds, syntax only, against the real platform headers:
# libutils, liblog and libbinder from Debian's android-libutils-dev, android-liblog-dev and
# android-platform-frameworks-native-headers, with only the libzel stand-in beside them. Whatever
# compiles only against our own stand-ins is a fault.
#
# The list of sources comes from a configured build (compile_commands.json), less the host-only
# directories, so that a source added to CMake is checked without further ado. Every source that
# Android.bp or Android.mk names must be in that list too, or the check fails.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
android_include=${ANDROID_INCLUDE:-/usr/include/android}
cxx=${CXX:-g++}

for h in utils/String8.h log/log.h binder/Parcel.h; do
    [ -f "$android_include/$h" ] || { echo "no $h in $android_include"; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/shim"
ln -s "$root/platform/include/zel" "$work/shim/zel"

# The build's own list of what it compiles.
cmake -S "$root" -B "$work/build" -G Ninja -DTARND_BUILD_BENCH=OFF \
      -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >"$work/configure.log" 2>&1 ||
    { cat "$work/configure.log"; echo "cannot configure the build"; exit 1; }
host_only='^(platform|tests|bench|fuzz|cmake|examples|docs|build)/'
sed -n 's/^ *"file": *"\(.*\)",\{0,1\}$/\1/p' "$work/build/compile_commands.json" |
    sed -n "s|^$root/||p" | grep -vE "$host_only" | sort -u >"$work/cmake.list"
[ -s "$work/cmake.list" ] || { echo "no device sources in the build"; exit 1; }

# What the device build files name.
sed -n '/srcs: \[/,/\]/p' "$root/Android.bp" | grep -oE '"[^"]+\.(c|cc|cpp)"' | tr -d '"' \
    >"$work/device.list"
grep -oE '^[[:space:]]*[A-Za-z0-9_./-]+\.(c|cc|cpp)' "$root/Android.mk" | tr -d ' \t' \
    >>"$work/device.list"
sort -u -o "$work/device.list" "$work/device.list"
missing=$(comm -13 "$work/cmake.list" "$work/device.list")
if [ -n "$missing" ]; then
    echo "built for the device but not by CMake, so never checked here:"
    echo "$missing"
    exit 1
fi
unlisted=$(comm -23 "$work/cmake.list" "$work/device.list")
[ -z "$unlisted" ] || echo "note: built by CMake but in neither Android.bp nor Android.mk:" $unlisted

# Debian's Parcel.h leans on <memory> and <limits> arriving through other headers, as they do
# with the platform's libc++ but not with libstdc++.
failed=0
count=0
: >"$work/checked.list"
while read -r src; do
    count=$((count + 1))
    echo "$src" >>"$work/checked.list"
    if ! "$cxx" -std=c++17 -fsyntax-only -Wall -Wextra -Werror -include memory -include limits \
            -I"$root" -isystem "$android_include" -I"$work/shim" "$root/$src"; then
        echo "FAILED: $src"
        failed=$((failed + 1))
    fi
done <"$work/cmake.list"
if ! cmp -s "$work/cmake.list" "$work/checked.list"; then
    echo "the check did not compile every source of the build"
    exit 1
fi
echo "platform headers: $((count - failed)) of $count device sources compile"
[ "$failed" -eq 0 ]
