#!/usr/bin/env bash
# One make at a time in a tree: takes the tree's lock for the life of process <pid> (the make,
# or a script run by hand) and prints the tree's identity, which the caller exports as
# VORNA_TREE_LOCK so that what it starts in the same tree (install-deps.sh, a make within make)
# goes on without locking again.
#     bash scripts/tree-lock.sh <pid>
#
# The lock is a flock on .make.lock at the top of the tree, opened for writing (NFS grants an
# exclusive lock only on such a descriptor). Its one descriptor lives in a process of its own
# that ends as soon as <pid> has ended: no process that <pid> starts inherits it, so none can
# keep it after <pid>. A second caller waits, saying so once. Where the lock cannot be had for
# another reason than another holder (a read-only tree, a file system without locks), the
# caller goes on without it, saying so once.
set -uo pipefail
owner="${1:?usage: tree-lock.sh <pid>}"
ROOT="$(cd "$(dirname "$0")/.." && pwd -P)" || exit 0
identity="$(stat -c %d:%i "$ROOT")" || exit 0
if [ "${VORNA_TREE_LOCK:-}" = "$identity" ]; then  # a caller's make already holds it
    echo "$identity"
    exit 0
fi

without() {
    echo "note: make runs without the tree's lock ($*): another make in this tree would not" \
         "wait for this one" >&2
    echo "$identity"  # tried once: what the caller starts does not try again
    exit 0
}

LOCK="$ROOT/.make.lock"
# Root makes no file in another user's tree (sudo make there is refused before anything is
# written): it uses the lock file only where the tree's owner made it.
if [ "$(id -u)" -eq 0 ] && [ "$(stat -c %u "$ROOT")" != 0 ] && [ ! -e "$LOCK" ]; then
    without "root makes no lock file in a tree that is not root's"
fi
{ exec {fd}>>"$LOCK"; } 2>/dev/null || without "$LOCK cannot be opened for writing"
# flock exits 75 only when another process holds the lock.
error="$(flock -n -E 75 "$fd" 2>&1)"
status=$?
if [ "$status" -eq 75 ]; then
    echo "Waiting for another make in this tree to end" >&2
    error="$(flock -E 75 "$fd" 2>&1)"
    status=$?
fi
if [ "$status" -ne 0 ]; then without "${error:-flock failed with status $status}"; fi

# The holder: the lock's descriptor stays open in it alone (this script ends now) until <pid>
# ends. As a background process of a non-interactive shell it ignores Ctrl-C, so that an
# interrupted make keeps the lock until it has reaped what it started.
tail -s 0.2 --pid="$owner" -f /dev/null </dev/null >/dev/null 2>&1 &
echo "$identity"
