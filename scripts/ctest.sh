#!/usr/bin/env bash
# Runs the C++ suite of a build folder with ctest. Of ctest's output, the failures (with their
# output), the skipped tests and the summary show, then each skipped test's name with the
# reason GoogleTest gave (from ctest's log); a line for each passing test does not show.
#     bash scripts/ctest.sh <build-dir> <jobs>
# The tests' temporary files go to a folder of their own in TMPDIR (default /tmp), removed when
# the suite ends, Ctrl-C included, with whatever a stopped, timed-out or crashed test left there.
# It is not in the tree: as root, some tests give their folders to 'nobody', who must be able to
# pass through every folder above them, and a clone's folders need not let other users through;
# this one lets them through (mode 0711) without letting them list it. The exit status is ctest's.
set -uo pipefail
build="$(realpath -m -- "${1:?usage: ctest.sh <build-dir> <jobs>}")"
jobs="${2:-$(nproc)}"
log="$build/Testing/Temporary/LastTest.log"
rm -f -- "$log"
tmp="$(mktemp -d -- "${TMPDIR:-/tmp}/vorna-ctest.XXXXXX")" && chmod 0711 -- "$tmp" || exit 1
trap 'rm -rf -- "$tmp"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

TMPDIR="$tmp" ctest --test-dir "$build" --output-on-failure -j "$jobs" |
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
