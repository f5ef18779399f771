#pragma once

// Whole-file advisory locks for model files: a save writing a file in place holds a write lock,
// a load a read lock, so that neither sees the other half done, whoever else holds locks on it.

#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
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
// Any other lock in the way is waited for, in polls 2 ms apart, each followed by check_wait
// (whatever it throws ends the wait), until `wait` has gone by: refused then. `held` at once
// without a lock where the file system or the descriptor takes no such lock (a write lock on a
// descriptor opened for reading). flock(2) locks are another kind, which neither sees the other.
Lock locked(int fd, short type, std::chrono::milliseconds wait = kLockWait);

// Closes `fd`, and returns what close(2) returns; 0 at once for a descriptor of a file that this
// process holds classic locks on through another descriptor for a save or load (see locked),
// which is closed when that descriptor is.
int close_descriptor(int fd);

// Records `fd` as a descriptor of a save or load in progress, until close_descriptor closes it,
// and returns it. Fork handlers, registered when the library is loaded (before any caller's thread
// can save or load, so that nothing of them is made on a path a fork can cut), keep a forked
// child from holding any of them:
// - a fork waits until no other thread is changing the lock tables, so that the child finds them
//   whole and their mutex free;
// - with no save or load in progress, the child does nothing more;
// - otherwise each recorded descriptor is made, in the child, a copy of a read-only descriptor of
//   /dev/null opened when the library was loaded (or, where there is none, of "/" opened as a
//   path only), kept open, close-on-exec, for the life of the process: it holds no lock of the
//   parent's open file, and its number stays taken, whatever the child's descriptor limit, so
//   that no file the child opens later gets it unless the child closes it first. Where the
//   program closed that descriptor meanwhile, a new one of /dev/null is opened (failing that, at
//   the child's descriptor limit, the call's descriptors are closed: the only case where their
//   numbers go free); where a lowered descriptor limit puts a number out of reach, the limit is
//   raised for the moment, up to the hard limit; a number past even that is closed (no open can
//   take it, unless the child raises its hard limit, a privilege);
// - the classic-lock holders are forgotten (classic locks belong to a process and are not
//   inherited), and the child's copies of their parked descriptors closed, so that the child's
//   own descriptors of the file close as usual.
// The copy of the call in the child stops at its next check (see Call), and closes none of these
// numbers on its way out (see Fd): they are the child's, whatever it has made of them since.
int track(int fd);

// How many forks lie between the first process and this one: the child's fork handler raises it
// first thing, in every child, whether or not a save or load is in progress. A call and its
// descriptors record it, and a copy in a forked process is told from the original by it. A process
// id is not enough: ids are used again once a process has ended, so a child forked during a call
// that outlives the original process may fork a process that gets the original's id (at once in a
// small pid namespace, or where the next id can be chosen), whose copy would pass for the call.
// The id is compared as well, for a process made without the fork handlers (_Fork, a bare clone).
uint64_t forks();

// A save (`save`) or load of `path` running on this thread, from its start to its end; calls nest
// (a signal handler that a wait runs may save or load too). A fork made during the call (the one
// way a Python program gets there: a signal handler that a wait runs forks, and the child returns
// from it) leaves a copy of it in the child, which check_wait stops at once.
class Call {
  public:
    Call(const std::string& path, bool save);
    ~Call();
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;
    // Whether this is the process that the call began in, not a child forked during it (nor one
    // of its descendants, whatever its process id: see forks).
    bool here() const;

  private:
    friend void check_wait();
    const std::string& path_;
    bool save_;
    pid_t pid_;
    uint64_t forks_;
    Call* outer_;
};

// What a save or load runs after each poll or interrupted system call of a wait: check_interrupt
// (whatever it throws ends the call), then, in the copy of the call on this thread in the child of
// a fork made during it, std::runtime_error "Unable to write model file: <path> (the process forked
// during the save)", or "Unable to read model file: <path> (the process forked during the load)",
// before any further lock, read or write: the copy writes no file and returns no model, and the
// files it had opened are the child's copies of /dev/null (see track).
void check_wait();

// A file descriptor of a save or load (see track), closed through close_descriptor when it goes
// out of scope, by the process that opened it only. In the child of a fork made meanwhile, the
// number is the child's: a copy of /dev/null that the fork handler put there, or a file the child
// opened after closing that copy (as a daemon closes every descriptor), which the copy of the call
// must leave open. So the copy closes nothing on its way out.
class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(track(fd)), pid_(::getpid()), forks_(forks()) {}
    ~Fd() { reset(-1); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void reset(int fd) {
        if (fd_ >= 0 && mine()) close_descriptor(fd_);
        fd_ = track(fd);
        pid_ = ::getpid();
        forks_ = forks();
    }
    // Closes now: false on a late write error, or an interruption, which may have lost one, and
    // in a child forked meanwhile, which closes nothing.
    bool close() {
        const bool own = mine();
        const int fd = std::exchange(fd_, -1);
        return own && close_descriptor(fd) == 0;
    }

  private:
    bool mine() const { return forks() == forks_ && ::getpid() == pid_; }
    int fd_;
    pid_t pid_;
    uint64_t forks_;
};

}  // namespace vorna::model_file
