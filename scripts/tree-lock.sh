#!/usr/bin/env bash
# One make at a time in a tree: takes the tree's lock for the life of process <pid> (the make,
# or a script run by hand) and prints the tree's identity, which the caller exports as
# VORNA_TREE_LOCK so that what it starts in the same tree (install-deps.sh, a make within make)
# goes on without locking again. <who> names the caller in the notes (make by default).
#     bash scripts/tree-lock.sh <pid> [<who>]
#
# The lock is a flock on .make.lock at the top of the tree, a regular file of the user's own,
# opened for reading and writing (NFS grants an exclusive lock only on a descriptor open for
# writing). Anything else there (a symbolic link, a FIFO, a device, a folder, another user's
# file) is never opened: the caller goes on without the lock, saying so once. Its one
# descriptor lives in a process of its own that ends as soon as <pid> has ended: no process
# that <pid> starts inherits it, so none can keep it after <pid>. A second caller waits, saying
# so once. Where the lock cannot be had for another reason than another holder (a read-only
# tree, a file system without locks), the caller goes on without it, saying so once.
#
# `sudo make` in the tree of the user who ran sudo would leave root's files in it: it is refused
# here, before anything is opened or written and before anything is said, the refusal printed
# on standard output with status 3 for the caller to show as its only message.
set -uo pipefail
owner="${1:?usage: tree-lock.sh <pid> [<who>]}"
who="${2:-make}"
ROOT="$(cd "$(dirname "$0")/.." && pwd -P)" || exit 0
uid="$(id -u)"
if [ "$uid" -eq 0 ] && [ -n "${SUDO_UID:-}" ] && [ "$SUDO_UID" != 0 ] &&
   [ "$(stat -c %u "$ROOT")" = "$SUDO_UID" ]; then
    echo "$who runs as root through sudo in a tree that is yours: run $who as yourself, without" \
         "sudo; it asks for sudo itself where it must (to install Debian packages)"
    exit 3
fi
identity="$(stat -c %d:%i "$ROOT")" || exit 0
if [ "${VORNA_TREE_LOCK:-}" = "$identity" ]; then  # a caller's make already holds it
    echo "$identity"
    exit 0
fi

without() {
    echo "note: $who runs without the tree's lock ($*): another make in this tree would not" \
         "wait for this one" >&2
    echo "$identity"  # tried once: what the caller starts does not try again
    exit 0
}

LOCK="$ROOT/.make.lock"
# Root opens nothing in another user's tree (sudo make there is refused before anything is
# written): whatever that user's .make.lock is, root's make neither makes nor opens it.
if [ "$uid" -eq 0 ] && [ "$(stat -c %u "$ROOT")" != 0 ]; then
    without "root takes no lock in a tree that is not root's"
fi

# What .make.lock is, as "<type> <owner>" without following a link; nothing when it is missing.
what() {
    stat -c '%F %u' -- "$LOCK" 2>/dev/null || true
}
not_own() {
    case "$1" in
        "") without "$LOCK cannot be made" ;;
        "symbolic link "*) without "$LOCK is a symbolic link, not a file of its own" ;;
        "regular "*" $uid") ;;
        "regular "*) without "$LOCK belongs to another user" ;;
        "fifo "*) without "$LOCK is a FIFO, not a regular file" ;;
        *) without "$LOCK is a ${1% *}, not a regular file" ;;
    esac
}

# Made where missing with O_EXCL (noclobber), which follows no link: a link put there in the
# meantime makes the creation fail instead of making a file where it points.
if [ -z "$(what)" ]; then
    (set -C; : >"$LOCK") 2>/dev/null
fi
found="$(what)"
not_own "$found"
# Opened for reading and writing, which never blocks on a FIFO put there since the check; the
# descriptor is then checked to be that very file.
{ exec {fd}<>"$LOCK"; } 2>/dev/null || without "$LOCK cannot be opened for writing"
if [ "$(stat -L -c '%d:%i' "/proc/$$/fd/$fd" 2>/dev/null)" != "$(stat -c '%d:%i' -- "$LOCK" 2>/dev/null)" ]; then
    without "$LOCK changed while it was opened"
fi
not_own "$(stat -L -c '%F %u' "/proc/$$/fd/$fd" 2>/dev/null)"

# flock exits 75 only when another process holds the lock. A make that has just ended keeps it
# a moment longer (its holder notices the end within 0.2 s): a quiet wait of a second comes
# before the message, so that one make started right after another says nothing.
error="$(flock -n -E 75 "$fd" 2>&1)"
status=$?
if [ "$status" -eq 75 ]; then
    error="$(flock -w 1 -E 75 "$fd" 2>&1)"
    status=$?
fi
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
