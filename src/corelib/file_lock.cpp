#include "corelib/file_lock.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
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
// Written only by the child's fork handler, while the child has one thread.
uint64_t fork_count = 0;

bool identify(int fd, FileId* id) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return false;
    *id = {st.st_dev, st.st_ino};
    return true;
}

thread_local Call* current = nullptr;  // the innermost save or load on this thread

// What the child of a fork puts in place of the descriptors of saves and loads (see track).
struct StandIn {
    int fd = -1;
    FileId id{};
};

StandIn open_stand_in() {
    StandIn stand_in;
    stand_in.fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (stand_in.fd < 0) stand_in.fd = ::open("/", O_PATH | O_CLOEXEC);
    if (stand_in.fd >= 0) identify(stand_in.fd, &stand_in.id);
    return stand_in;
}

// Puts a copy of `from` at the number `fd`, where a lowered descriptor limit may put it out of
// reach: the limit is raised for the moment, up to the hard limit.
bool replace(int from, int fd) {
    if (::dup3(from, fd, O_CLOEXEC) >= 0) return true;
    struct rlimit was, raised;
    if (errno != EBADF || ::getrlimit(RLIMIT_NOFILE, &was) != 0) return false;
    raised = {was.rlim_max, was.rlim_max};
    if (::setrlimit(RLIMIT_NOFILE, &raised) != 0) return false;
    const bool done = ::dup3(from, fd, O_CLOEXEC) >= 0;
    ::setrlimit(RLIMIT_NOFILE, &was);
    return done;
}

void before_fork() { holders_mutex.lock(); }
void after_fork_in_parent() { holders_mutex.unlock(); }
void after_fork_in_child();

// Made when the library is loaded, in this order, after the tables above.
const StandIn stand_in = open_stand_in();
const int registered = ::pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);

void after_fork_in_child() {
    ++fork_count;
    if (holders.empty() && tracked.empty()) return holders_mutex.unlock();
    for (const auto& [id, holder] : holders) {
        for (const int parked : holder.parked) ::close(parked);
    }
    holders.clear();
    // The program may have closed the stand-in, and its number gone to another file.
    FileId id;
    const bool kept = stand_in.fd >= 0 && identify(stand_in.fd, &id) && id == stand_in.id;
    const int nothing = kept ? stand_in.fd : ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    for (const int fd : tracked) {
        if (nothing < 0 || !replace(nothing, fd)) ::close(fd);
    }
    if (!kept && nothing >= 0) ::close(nothing);
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
        check_wait();
        if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

uint64_t forks() { return fork_count; }

int track(int fd) {
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

Call::Call(const std::string& path, bool save)
    : path_(path),
      save_(save),
      pid_(::getpid()),
      forks_(forks()),
      outer_(std::exchange(current, this)) {}

Call::~Call() { current = outer_; }

bool Call::here() const { return forks() == forks_ && ::getpid() == pid_; }

void check_wait() {
    check_interrupt();
    if (current == nullptr || current->here()) return;
    throw std::runtime_error(current->save_ ? "Unable to write model file: " + current->path_ +
                                                  " (the process forked during the save)"
                                            : "Unable to read model file: " + current->path_ +
                                                  " (the process forked during the load)");
}

}  // namespace vorna::model_file
