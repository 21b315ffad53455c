#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build (preset "fuzz") for a while, each on a scratch copy of its
# seed corpus, and fails if any of them finds a crash, a leak, a sanitizer report, a time-out or a
# difference from its model. Builds nothing.
#
# usage: cmake/run-fuzzers.sh BUILD_DIR [SECONDS_PER_TARGET]   (default 60 seconds)
#
# The seed corpora in fuzz/corpus/ are never written; inputs that fail are kept in
# BUILD_DIR/fuzz-artifacts/<target>/ for reproduction: <target>_fuzzer <file>.
set -euo pipefail

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
    echo "usage: $0 BUILD_DIR [SECONDS_PER_TARGET]" >&2
    exit 2
fi
build=$(cd "$1" && pwd)
seconds=${2:-60}
repo=$(cd "$(dirname "$0")/.." && pwd)

# Target and the longest input it gets: a whole configuration file, a uevent datagram beyond the
# monitor thread's 8191-byte receive (so that the cut is exercised), channel streams and matcher
# texts of a few receives' and records' worth.
targets=(config uevent channel matcher)
declare -A max_len=([config]=4096 [uevent]=8704 [channel]=4096 [matcher]=4096)

scratch=$(mktemp -d "${TMPDIR:-/tmp}/tarnd-fuzz-run.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

failed=()
summary=()
for target in "${targets[@]}"; do
    exe=""
    for candidate in "$build/fuzz/${target}_fuzzer" "$build/${target}_fuzzer"; do
        if [ -x "$candidate" ]; then
            exe=$candidate
            break
        fi
    done
    if [ -z "$exe" ]; then
        echo "== ${target}_fuzzer: not built in $build" >&2
        failed+=("$target (not built)")
        continue
    fi

    work=$scratch/$target
    mkdir -p "$work/corpus" "$work/tmp"
    cp -R "$repo/fuzz/corpus/$target/." "$work/corpus/"
    artifacts=$build/fuzz-artifacts/$target
    mkdir -p "$artifacts"
    log=$work/log

    echo "== ${target}_fuzzer: ${seconds} s, max_len ${max_len[$target]}"
    # Its own working and temporary directory: whatever an input makes a target leave behind goes
    # away with the scratch directory.
    status=0
    (cd "$work" && TMPDIR="$work/tmp" "$exe" -max_total_time="$seconds" \
        -max_len="${max_len[$target]}" -timeout=25 -rss_limit_mb=2560 -print_final_stats=1 \
        -artifact_prefix="$artifacts/" corpus) >"$log" 2>&1 || status=$?

    done_line=$(grep -E '^Done [0-9]+ runs in [0-9]+ second' "$log" | tail -n 1 || true)
    if grep -q 'libFuzzer disabled leak detection' "$log"; then
        echo "   warning: libFuzzer switched its per-input leak check off (memory kept across inputs)"
    fi
    if [ "$status" -ne 0 ] || [ -z "$done_line" ] ||
        grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|UndefinedBehaviorSanitizer|libFuzzer)|runtime error:' "$log"; then
        echo "   FAILED (exit status $status); end of its output:"
        tail -n 80 "$log" | sed 's/^/   | /'
        found=$(ls -A "$artifacts")
        if [ -n "$found" ]; then
            echo "   failing inputs:"
            for f in $found; do echo "     $artifacts/$f"; done
        fi
        failed+=("$target")
        summary+=("${target}_fuzzer: FAILED${done_line:+ after: $done_line}")
    else
        echo "   $done_line"
        summary+=("${target}_fuzzer: $done_line")
        rmdir "$artifacts" 2>/dev/null || true
    fi
done
rmdir "$build/fuzz-artifacts" 2>/dev/null || true

echo
echo "== fuzzing summary"
for line in "${summary[@]}"; do echo "   $line"; done
if [ ${#failed[@]} -gt 0 ]; then
    echo "== fuzzing failed: ${failed[*]}"
    exit 1
fi
