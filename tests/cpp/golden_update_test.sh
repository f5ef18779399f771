#!/usr/bin/env bash
# Runs the mote program-bytes test against a copy of its expected files with one word
# altered, under each value of VORNA_UPDATE_GOLDEN: only the exact value 1 rewrites (the
# altered file alone) and even then the run fails, naming the file it rewrote.
# Usage: golden_update_test.sh <vorna_tests binary> <tests/data/golden of the source tree>
set -uo pipefail
BIN="$1"
SOURCE="$2"
FILTER=--gtest_filter=GoldenMote.ProgramBytesOfEveryFormatterPath
FILE=mote/three_layers_subsample.txt
WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT
failures=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# A fresh copy with the first program word of $FILE altered.
prepare() {
    rm -rf "$WORK/golden"
    mkdir -p "$WORK/golden"
    cp -r "$SOURCE/mote" "$WORK/golden/"
    alter_first_word "$WORK/golden/$FILE"
    cp "$WORK/golden/$FILE" "$WORK/altered"
}

# Flips the lowest bit of the first word line (0x and 8 hex digits) of a file.
alter_first_word() {
    local line n
    n=$(grep -n -m1 '^0x[0-9a-f]\{8\}$' "$1" | cut -d: -f1)
    line=$(sed -n "${n}p" "$1")
    printf -v line '0x%08x' $((line ^ 1))
    sed -i "${n}s/.*/$line/" "$1"
}

# The variables are exported in a subshell rather than given to env: env would read a path
# holding '=' (the binary's) as one more assignment.
run() {  # run <value or "unset">: the test's output in $WORK/out, its exit code returned
    (
        export VORNA_GOLDEN_DIR="$WORK/golden"
        if [ "$1" = unset ]; then unset VORNA_UPDATE_GOLDEN; else export VORNA_UPDATE_GOLDEN="$1"; fi
        exec "$BIN" "$FILTER"
    ) >"$WORK/out" 2>&1
}

# value | the altered file afterwards (altered: left alone; source: rewritten) | text in the output
CASES=(
    "unset|altered|program bytes differ from $WORK/golden/$FILE"
    "0|altered|program bytes differ from $WORK/golden/$FILE"
    "|altered|program bytes differ from $WORK/golden/$FILE"
    "true|altered|program bytes differ from $WORK/golden/$FILE"
    " 1|altered|program bytes differ from $WORK/golden/$FILE"
    "10|altered|program bytes differ from $WORK/golden/$FILE"
    "1|source|VORNA_UPDATE_GOLDEN=1 rewrote $WORK/golden/$FILE;"
)
for row in "${CASES[@]}"; do
    IFS='|' read -r value after text <<<"$row"
    prepare
    if run "$value"; then fail "VORNA_UPDATE_GOLDEN='$value': the run passed"; fi
    grep -qF -- "$text" "$WORK/out" || fail "VORNA_UPDATE_GOLDEN='$value': no '$text' in the output"
    if [ "$after" = altered ]; then want="$WORK/altered"; else want="$SOURCE/$FILE"; fi
    cmp -s "$want" "$WORK/golden/$FILE" || fail "VORNA_UPDATE_GOLDEN='$value': $FILE is not the $after one"
    # Every other file is left byte for byte, and no temporary file stays behind.
    for f in "$SOURCE"/mote/*; do
        [ "mote/$(basename "$f")" = "$FILE" ] && continue
        cmp -s "$f" "$WORK/golden/mote/$(basename "$f")" || fail "VORNA_UPDATE_GOLDEN='$value': $f changed"
    done
    ! ls "$WORK/golden/mote" | grep -qv '\.txt$' ||
        fail "VORNA_UPDATE_GOLDEN='$value': files left behind: $(ls "$WORK/golden/mote")"
done

# After the rewrite, a run without the variable passes; a run with 1 over unchanged files
# still fails, saying they are unchanged.
prepare
run 1
run unset || fail "the run after the rewrite failed: $(cat "$WORK/out")"
if run 1; then fail "VORNA_UPDATE_GOLDEN=1 over unchanged files passed"; fi
grep -qF "VORNA_UPDATE_GOLDEN=1: $WORK/golden/$FILE unchanged" "$WORK/out" ||
    fail "VORNA_UPDATE_GOLDEN=1 over unchanged files: no 'unchanged' in the output"
grep -qF "rewrote" "$WORK/out" && fail "VORNA_UPDATE_GOLDEN=1 over unchanged files rewrote one"

if [ "$failures" -ne 0 ]; then
    echo "$failures failures; the last output:"
    cat "$WORK/out"
    exit 1
fi
echo "every VORNA_UPDATE_GOLDEN case behaved"
