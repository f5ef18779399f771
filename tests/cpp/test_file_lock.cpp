// The whole-file locks of model files: which locks in the way are waited for, and which are the
// process's own classic locks, gone past at once without a lock.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "corelib/file_lock.h"

namespace vorna::model_file {
namespace {

bool set_lock(int fd, int command, short type, off_t start = 0, off_t length = 0) {
    struct flock lock = {};
    lock.l_type = type;
    lock.l_start = start;
    lock.l_len = length;
    return ::fcntl(fd, command, &lock) == 0;
}

// A file of 100 bytes and the locks held on it by this process (classic ones through a
// descriptor of their own), by other open files of it, and by other processes.
struct LockedFile {
    std::string path;
    int fd = -1;  // the descriptor under test
    int classic_fd = -1;
    std::vector<int> others;
    std::vector<pid_t> children;

    LockedFile() {
        std::string tmpl = ::testing::TempDir() + "vorna-lock-XXXXXX";
        const int made = ::mkstemp(tmpl.data());
        path = tmpl;
        EXPECT_EQ(::write(made, std::string(100, 'x').data(), 100), 100);
        ::close(made);
        fd = open();
        classic_fd = open();
    }
    ~LockedFile() {
        release();
        ::close(fd);
        ::unlink(path.c_str());
    }
    int open() const { return ::open(path.c_str(), O_RDWR | O_CLOEXEC); }

    void classic(short type, off_t start = 0, off_t length = 0) {
        ASSERT_TRUE(set_lock(classic_fd, F_SETLK, type, start, length));
    }
    void other(short type, off_t start = 0, off_t length = 0) {
        others.push_back(open());
        ASSERT_TRUE(set_lock(others.back(), F_OFD_SETLK, type, start, length));
    }
    // A classic lock of a child process, held until it is killed.
    void other_process(short type) {
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        const pid_t pid = ::fork();
        if (pid == 0) {
            const int own = open();
            const char ok = set_lock(own, F_SETLK, type) ? 'y' : 'n';
            (void)!::write(ready[1], &ok, 1);
            ::pause();
            ::_exit(0);
        }
        char ok = 0;
        ::close(ready[1]);
        EXPECT_EQ(::read(ready[0], &ok, 1), 1);
        ::close(ready[0]);
        children.push_back(pid);
        ASSERT_EQ(ok, 'y');
    }
    // Drops every lock but the one under test (closing any descriptor of the file drops the
    // process's classic locks on it).
    void release() {
        if (classic_fd >= 0) ::close(classic_fd);
        classic_fd = -1;
        for (const int other : others) ::close(other);
        others.clear();
        for (const pid_t child : children) {
            ::kill(child, SIGKILL);
            ::waitpid(child, nullptr, 0);
        }
        children.clear();
    }
    // Whether the descriptor under test holds a lock that keeps a write lock out.
    bool held() {
        release();
        const int probe = open();
        struct flock lock = {};
        lock.l_type = F_WRLCK;
        const bool found = ::fcntl(probe, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
        ::close(probe);
        return found;
    }
};

TEST(FileLock, WaitsForOthersAndGoesPastTheProcessOwnClassicLocks) {
    struct Row {
        const char* what;
        void (*hold)(LockedFile*);
        short type;
        bool goes_on;  // at once; refused after a few polls otherwise
        bool holds;
    };
    const std::vector<Row> rows = {
        {"nothing in the way", [](LockedFile*) {}, F_WRLCK, true, true},
        {"another open file's read lock, shared", [](LockedFile* f) { f->other(F_RDLCK); }, F_RDLCK,
         true, true},
        {"own classic write lock (lockf), to read", [](LockedFile* f) { f->classic(F_WRLCK); },
         F_RDLCK, true, false},
        {"own classic write lock (lockf), to write", [](LockedFile* f) { f->classic(F_WRLCK); },
         F_WRLCK, true, false},
        {"own classic read locks on two parts",
         [](LockedFile* f) {
             f->classic(F_RDLCK, 0, 10);
             f->classic(F_RDLCK, 20, 10);
         },
         F_WRLCK, true, false},
        {"another open file's write lock (another thread's save)",
         [](LockedFile* f) { f->other(F_WRLCK); }, F_RDLCK, false, false},
        {"another process's classic write lock", [](LockedFile* f) { f->other_process(F_WRLCK); },
         F_RDLCK, false, false},
        {"another process's classic read lock, to write",
         [](LockedFile* f) { f->other_process(F_RDLCK); }, F_WRLCK, false, false},
        // Another's lock where the process's own lock is in the way too.
        {"another's read lock under the own one",
         [](LockedFile* f) {
             f->classic(F_RDLCK, 0, 10);
             f->other(F_RDLCK, 0, 10);
         },
         F_WRLCK, false, false},
        {"another's read lock beside the own one",
         [](LockedFile* f) {
             f->classic(F_RDLCK, 20, 10);
             f->other(F_RDLCK, 0, 10);
         },
         F_WRLCK, false, false},
        // A lock refused for another reason than another's lock (here a write lock through a
        // read-only descriptor; elsewhere a file system without locks) guards nothing.
        {"a lock the descriptor cannot take",
         [](LockedFile* f) {
             f->other(F_RDLCK);
             ::close(f->fd);
             f->fd = ::open(f->path.c_str(), O_RDONLY | O_CLOEXEC);
         },
         F_WRLCK, true, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        LockedFile file;
        row.hold(&file);
        const auto start = std::chrono::steady_clock::now();
        // Going on takes one try: no poll is left to wait with.
        EXPECT_EQ(locked(file.fd, row.type, row.goes_on ? 0 : 3), row.goes_on);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
        EXPECT_EQ(file.held(), row.holds);
    }
}

// Refused after its bounded wait: polls 2 ms apart.
TEST(FileLock, AnotherLockIsPolledForAboutTwoMillisecondsEach) {
    LockedFile file;
    file.other(F_WRLCK);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(locked(file.fd, F_RDLCK, 100));
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(200));
    EXPECT_LT(waited, std::chrono::seconds(2));
}

}  // namespace
}  // namespace vorna::model_file
