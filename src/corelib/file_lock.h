#pragma once

// Whole-file advisory locks for model files: a save writing a file in place holds a write lock,
// a load a read lock, so that neither sees the other half done.

namespace vorna::model_file {

// A lock's bounded wait, in polls 2 ms apart: about five seconds.
constexpr int kLockPolls = 2500;

// Locks the whole file open as `fd` for reading (F_RDLCK) or writing (F_WRLCK) with an open-file
// lock (F_OFD_SETLK), which belongs to that open file, not to the process or thread, and goes
// when the open file is closed. Another's lock in the way is polled for `polls` times, 2 ms
// apart: false when it is still there. True at once without a lock where the file system has no
// such locks, and where every lock in the way is a classic (process-owned: F_SETLK, lockf) lock
// of this process itself: such locks conflict with the process's own open-file locks, so waiting
// would only wait for oneself, and the process's lock already keeps others out.
bool locked(int fd, short type, int polls = kLockPolls);

}  // namespace vorna::model_file
