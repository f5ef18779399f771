#include "corelib/file_lock.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "corelib/interrupt.h"

namespace vorna::model_file {

namespace {

using FileId = std::pair<dev_t, ino_t>;

// The end of every range: a lock's length 0 reaches it, however far the file grows.
constexpr off_t kEnd = std::numeric_limits<off_t>::max();

// The files this process holds classic locks on for a save or a load, by the descriptor that
// holds them, with the process's other descriptors of each, kept open until it is closed.
struct Holder {
    int fd;
    std::vector<int> parked;
};
std::mutex holders_mutex;
std::map<FileId, Holder> holders;
std::set<int> tracked;  // the descriptors of saves and loads in progress (see track)

// A fork waits until no other thread is changing the tables, so that the child finds them whole
// and their mutex free. The child holds no classic lock of the parent's (they belong to a
// process), so it forgets the holders and closes its copies of their parked descriptors; its
// copies of the descriptors in use are made /dev/null, so that they keep no open-file lock, and
// are its own to close.
void before_fork() { holders_mutex.lock(); }
void after_fork_in_parent() { holders_mutex.unlock(); }
void after_fork_in_child() {
    for (const auto& [id, holder] : holders) {
        for (const int parked : holder.parked) ::close(parked);
    }
    holders.clear();
    const int nothing = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    for (const int fd : tracked) {
        if (nothing < 0 || ::dup3(nothing, fd, O_CLOEXEC) < 0) ::close(fd);
    }
    if (nothing >= 0) ::close(nothing);
    tracked.clear();
    holders_mutex.unlock();
}

struct flock range(short type, off_t from, off_t to) {
    struct flock lock = {};
    lock.l_type = type;  // from SEEK_SET
    lock.l_start = from;
    lock.l_len = to == kEnd ? 0 : to - from;
    return lock;
}

bool identify(int fd, FileId* id) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return false;
    *id = {st.st_dev, st.st_ino};
    return true;
}

// Read locks on `fd` wherever this process holds no classic write lock, which a read lock would
// turn into a read lock. False when another's write lock is in the way.
bool lock_for_reading(int fd) {
    const pid_t me = ::getpid();
    std::vector<std::pair<off_t, off_t>> unknown{{0, kEnd}}, free;
    while (!unknown.empty()) {
        const auto [from, to] = unknown.back();
        unknown.pop_back();
        // The write lock the kernel names first in the range, whichever it is.
        struct flock found = range(F_RDLCK, from, to);
        if (::fcntl(fd, F_OFD_GETLK, &found) != 0) return false;
        if (found.l_type == F_UNLCK) {
            free.emplace_back(from, to);
            continue;
        }
        if (found.l_pid != me) return false;  // another's, or an open-file lock
        const off_t end = found.l_len == 0 ? kEnd : found.l_start + found.l_len;
        if (found.l_start > from) unknown.emplace_back(from, found.l_start);
        if (end < to) unknown.emplace_back(end, to);
    }
    for (const auto& [from, to] : free) {
        struct flock lock = range(F_RDLCK, from, to);
        if (::fcntl(fd, F_SETLK, &lock) != 0) return false;
    }
    return true;
}

// Takes the classic locks that keep others out where the process's own keep its open-file lock
// out, unless another save or load of the file in this process holds such locks.
bool lock_as_the_process(int fd, short type) {
    FileId id;
    const std::lock_guard<std::mutex> hold(holders_mutex);
    if (!identify(fd, &id) || holders.count(id)) return false;
    struct flock lock = range(F_WRLCK, 0, kEnd);
    if (type == F_WRLCK ? ::fcntl(fd, F_SETLK, &lock) != 0 : !lock_for_reading(fd)) return false;
    holders[id] = Holder{fd, {}};
    return true;
}

}  // namespace

Lock locked(int fd, short type, std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        struct flock lock = range(type, 0, kEnd);
        if (::fcntl(fd, F_OFD_SETLK, &lock) == 0) return Lock::held;
        if (errno != EAGAIN && errno != EACCES && errno != EINTR) return Lock::held;
        // A classic lock belongs to the process: asked as one, the kernel names any lock in the
        // way but this process's own classic locks (an open-file lock with no process, -1). With
        // none, the open-file question names the process's own, or none: one that went meanwhile.
        struct flock other = range(type, 0, kEnd), any = range(type, 0, kEnd);
        bool gone = false;
        if (::fcntl(fd, F_GETLK, &other) == 0 && other.l_type == F_UNLCK &&
            ::fcntl(fd, F_OFD_GETLK, &any) == 0) {
            gone = any.l_type == F_UNLCK;
            if (!gone && any.l_pid == ::getpid() && lock_as_the_process(fd, type)) {
                return Lock::held;
            }
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return other.l_type != F_UNLCK && other.l_pid > 0 ? Lock::refused_by_another_process
                                                              : Lock::refused;
        }
        check_interrupt();
        if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

int track(int fd) {
    static const int registered =
        ::pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
    (void)registered;
    if (fd >= 0) {
        const std::lock_guard<std::mutex> hold(holders_mutex);
        tracked.insert(fd);
    }
    return fd;
}

int close_descriptor(int fd) {
    const std::lock_guard<std::mutex> hold(holders_mutex);
    tracked.erase(fd);
    FileId id;
    const auto holder = holders.empty() || !identify(fd, &id) ? holders.end() : holders.find(id);
    if (holder == holders.end()) return ::close(fd);
    if (holder->second.fd != fd) {
        holder->second.parked.push_back(fd);
        return 0;
    }
    for (const int parked : holder->second.parked) ::close(parked);
    holders.erase(holder);
    return ::close(fd);
}

}  // namespace vorna::model_file
