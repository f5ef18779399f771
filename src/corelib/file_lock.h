#pragma once

// Whole-file advisory locks for model files: a save writing a file in place holds a write lock,
// a load a read lock, so that neither sees the other half done, whoever else holds locks on it.

#include <chrono>
#include <utility>

namespace vorna::model_file {

// How long a lock in the way is waited for, on the steady clock.
constexpr std::chrono::milliseconds kLockWait{5000};

enum class Lock {
    held,     // locked as asked, or not lockable at all (see locked)
    refused,  // still locked at the deadline, by a lock that carries no process (an open-file
              // lock: this process's, through another descriptor, or another's)
    refused_by_another_process,  // still locked at the deadline by another process's classic lock
};

// Locks the whole file open as `fd` for reading (F_RDLCK) or writing (F_WRLCK), keeping every
// other process's conflicting lock out, and this process's other saves and loads:
// - with an open-file lock (F_OFD_SETLK), which belongs to that open file, not to the process or
//   thread, and goes when the open file is closed;
// - where only this process's own classic locks (F_SETLK, lockf: they belong to the process and
//   conflict with its open-file locks) keep that out, with classic locks on `fd`, which merge
//   with the process's own: a write lock on the whole file, which other processes' read locks
//   keep out too; for reading, read locks where the process holds no classic write lock, so
//   that its write locks stay write locks. They go when any descriptor of the file in this
//   process is closed (a kernel rule): close_descriptor keeps this process's other descriptors
//   of the file open until `fd` itself is closed. Another save or load of the file in this
//   process waits meanwhile, as for another's lock.
// Any other lock in the way is waited for, in polls 2 ms apart, each followed by check_interrupt
// (whatever it throws ends the wait), until `wait` has gone by: refused then. `held` at once
// without a lock where the file system or the descriptor takes no such lock (a write lock on a
// descriptor opened for reading). flock(2) locks are another kind, which neither sees the other.
Lock locked(int fd, short type, std::chrono::milliseconds wait = kLockWait);

// Closes `fd`, and returns what close(2) returns; 0 at once for a descriptor of a file that this
// process holds classic locks on through another descriptor for a save or load (see locked),
// which is closed when that descriptor is.
int close_descriptor(int fd);

// Records `fd` as a descriptor of a save or load in progress, until close_descriptor closes it,
// and returns it. A process forked meanwhile holds none of them: in the child, each is made a
// read-only descriptor of /dev/null (its number stays taken, so that the copy of the save or load
// in the child fails rather than write to another file), which keeps no lock of the parent's open
// file, and the child's own later descriptors of the file are closed as usual.
int track(int fd);

// A file descriptor of a save or load (see track), closed through close_descriptor when it goes
// out of scope.
class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(track(fd)) {}
    ~Fd() { reset(-1); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void reset(int fd) {
        if (fd_ >= 0) close_descriptor(fd_);
        fd_ = track(fd);
    }
    // Closes now: false on a late write error, or an interruption, which may have lost one.
    bool close() { return close_descriptor(std::exchange(fd_, -1)) == 0; }

  private:
    int fd_;
};

}  // namespace vorna::model_file
