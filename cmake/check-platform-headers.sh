#!/usr/bin/env bash
# Compiles every daemon source, syntax only, against the real libutils and liblog headers (from
# Debian's android-libutils-dev and android-liblog-dev), with only the binder and libzel stand-ins
# beside them: whatever compiles only against our own stand-ins is a fault.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
android_include=${ANDROID_INCLUDE:-/usr/include/android}
cxx=${CXX:-g++}

[ -f "$android_include/utils/String8.h" ] || { echo "no libutils headers in $android_include"; exit 1; }
[ -f "$android_include/log/log.h" ] || { echo "no liblog headers in $android_include"; exit 1; }

shim=$(mktemp -d)
trap 'rm -rf "$shim"' EXIT
ln -s "$root/platform/include/binder" "$shim/binder"
ln -s "$root/platform/include/zel" "$shim/zel"

sources=$(sed -n '/^set(TARND_DAEMON_SOURCES/,/^)/p' "$root/CMakeLists.txt" | grep -E '\.cpp$' | tr -d ' ')
sources="$sources service/main.cpp"
failed=0
count=0
for src in $sources; do
    count=$((count + 1))
    if ! "$cxx" -std=c++17 -fsyntax-only -Wall -Wextra -Werror -I"$root" -isystem "$android_include" \
            -I"$shim" "$root/$src"; then
        echo "FAILED: $src"
        failed=$((failed + 1))
    fi
done
echo "platform headers: $((count - failed)) of $count sources compile"
[ "$failed" -eq 0 ]
