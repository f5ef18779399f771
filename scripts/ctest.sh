#!/usr/bin/env bash
# Runs the C++ suite of a build folder with ctest. Of ctest's output, the failures (with their
# output), the skipped tests and the summary show, then each skipped test's name with the
# reason GoogleTest gave (from ctest's log); a line for each passing test does not show.
#     bash scripts/ctest.sh <build-dir> <jobs>
# The tests' temporary files go to <build-dir>/tmp, emptied first: whatever a test leaves there
# (one stopped by Ctrl-C, a timeout or a crash does not clean up) goes with the build folder,
# not to TMPDIR, where nothing would remove it. The exit status is ctest's.
set -uo pipefail
build="$(realpath -m -- "${1:?usage: ctest.sh <build-dir> <jobs>}")"
jobs="${2:-$(nproc)}"
log="$build/Testing/Temporary/LastTest.log"
rm -rf -- "$build/tmp" "$log"
mkdir -p -- "$build/tmp" || exit 1

TMPDIR="$build/tmp" ctest --test-dir "$build" --output-on-failure -j "$jobs" |
    awk '/^ *Start +[0-9]+: / || / Test +#[0-9]+: .* Passed +[0-9.]+ sec$/ { next }
         /^Internal ctest changing into directory: / { next }
         { print; fflush() }'
status=${PIPESTATUS[0]}

# ctest's log holds every test's output: a GoogleTest skip prints "<file>:<line>: Skipped", the
# reason's lines (then "Google Test trace:" and the scopes the test traced, left out here), then
# "[  SKIPPED ] <test>"; ctest then names the skip pattern it found.
if [ -f "$log" ]; then
    awk '/^[0-9]+\/[0-9]+ Test: / { name = $0; sub(/^[0-9]+\/[0-9]+ Test: /, "", name)
                                    reason = ""; in_reason = 0; next }
         /^\[  SKIPPED \] / || /^<end of output>$/ || /^Google Test trace:$/ { in_reason = 0; next }
         in_reason { reason = reason (reason == "" ? "" : " ") $0; next }
         /: Skipped$/ { in_reason = 1; next }
         /^Skip regular expression found in output/ {
             print "  " name ": " (reason == "" ? "(no reason given)" : reason) }' "$log" |
        sort | awk 'NR == 1 { print "Why the skipped tests did not run:" } { print }'
fi
exit "$status"
