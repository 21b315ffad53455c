#!/usr/bin/env bash
# Line coverage of the daemon code by the unit tests of a coverage build (preset "coverage").
#
# usage: cmake/coverage.sh reset|report BUILD_DIR
#   reset   forgets the counts of earlier runs, so that the report covers one test run
#   report  prints the line coverage of service/, config/, events/, detectors/ and housekeeping/
set -euo pipefail

if [ $# -ne 2 ]; then
    echo "usage: $0 reset|report BUILD_DIR" >&2
    exit 2
fi
build=$(cd "$2" && pwd)
repo=$(cd "$(dirname "$0")/.." && pwd)

case "$1" in
reset)
    find "$build" -name '*.gcda' -delete
    ;;
report)
    command -v gcovr >/dev/null || { echo "gcovr is not installed (apt-get install gcovr)" >&2; exit 1; }
    gcovr --root "$repo" --object-directory "$build" \
          --filter "$repo/(service|config|events|detectors|housekeeping)/" \
          --exclude "$repo/service/main\.cpp" --gcov-ignore-parse-errors \
          --print-summary --output /dev/null
    ;;
*)
    echo "usage: $0 reset|report BUILD_DIR" >&2
    exit 2
    ;;
esac
