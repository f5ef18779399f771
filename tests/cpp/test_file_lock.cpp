// The whole-file locks of model files: which locks in the way are waited for, which are the
// process's own classic locks, made locks that keep other processes out, and the wait itself.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "corelib/file_lock.h"
#include "corelib/interrupt.h"
#include "corelib/model_file.h"

namespace vorna::model_file {
namespace {

using std::chrono::milliseconds;

bool set_lock(int fd, int command, short type, off_t start = 0, off_t length = 0) {
    struct flock lock = {};
    lock.l_type = type;
    lock.l_start = start;
    lock.l_len = length;
    return ::fcntl(fd, command, &lock) == 0;
}

// A classic lock another process would take (as a load or a save of it would, by its open-file
// lock, which conflicts the same): whether it is kept out.
struct Probe {
    short type;
    off_t start = 0, length = 0;
};

bool kept_out(const std::string& path, const Probe& probe) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
        ::_exit(set_lock(fd, F_SETLK, probe.type, probe.start, probe.length) ? 1 : 0);
    }
    int status = -1;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
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
        close_descriptor(fd);
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
    // A lock of a child process (classic, or flock), held until it is killed.
    void other_process(short type, bool flock = false) {
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        const pid_t pid = ::fork();
        if (pid == 0) {
            const int own = open();
            const bool ok = flock ? ::flock(own, type == F_WRLCK ? LOCK_EX : LOCK_SH) == 0
                                  : set_lock(own, F_SETLK, type);
            (void)!::write(ready[1], ok ? "y" : "n", 1);
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
    void close_others() {
        for (const int other : others) ::close(other);
        others.clear();
    }
    void release() {
        if (classic_fd >= 0) ::close(classic_fd);
        classic_fd = -1;
        close_others();
        for (const pid_t child : children) {
            ::kill(child, SIGKILL);
            ::waitpid(child, nullptr, 0);
        }
        children.clear();
    }
};

TEST(FileLock, WaitsForOthersAndMakesTheProcessOwnClassicLocksKeepOthersOut) {
    struct Row {
        const char* what;
        void (*hold)(LockedFile*);
        short type;
        Lock result;                  // at once when held; after the wait otherwise
        std::vector<Probe> kept_out;  // another process's locks that the locks held keep out
    };
    const Probe reader{F_RDLCK}, writer{F_WRLCK}, first_byte{F_RDLCK, 0, 1};
    const std::vector<Row> rows = {
        {"nothing in the way", [](LockedFile*) {}, F_WRLCK, Lock::held, {reader, first_byte}},
        {"another open file's read lock, shared",
         [](LockedFile* f) { f->other(F_RDLCK); },
         F_RDLCK,
         Lock::held,
         {writer}},
        // Merged into one whole-file write lock, which keeps other processes' loads out.
        {"own classic read locks on two parts, to write",
         [](LockedFile* f) {
             f->classic(F_RDLCK, 0, 10);
             f->classic(F_RDLCK, 20, 10);
         },
         F_WRLCK,
         Lock::held,
         {first_byte, {F_RDLCK, 50, 1}}},
        {"own classic write lock (lockf), to write",
         [](LockedFile* f) { f->classic(F_WRLCK); },
         F_WRLCK,
         Lock::held,
         {reader}},
        // Kept a write lock, not made a read lock: other processes' readers stay out too.
        {"own classic write lock (lockf), to read",
         [](LockedFile* f) { f->classic(F_WRLCK); },
         F_RDLCK,
         Lock::held,
         {reader}},
        // Read locks beside the own write lock keep other writers out of the rest of the file.
        {"own classic write locks on two bytes, to read",
         [](LockedFile* f) {
             f->classic(F_WRLCK, 10, 1);
             f->classic(F_WRLCK, 30, 1);
         },
         F_RDLCK,
         Lock::held,
         {{F_RDLCK, 10, 1},
          {F_RDLCK, 30, 1},
          {F_WRLCK, 0, 10},
          {F_WRLCK, 20, 1},
          {F_WRLCK, 99, 1},
          {F_WRLCK, 1000, 0}}},
        {"own classic read lock and another process's, to write",
         [](LockedFile* f) {
             f->classic(F_RDLCK);
             f->other_process(F_RDLCK);
         },
         F_WRLCK,
         Lock::refused_by_another_process,
         {}},
        // An open-file lock names no process: this process's, through another descriptor, or
        // another's.
        {"another open file's write lock (another thread's save)",
         [](LockedFile* f) { f->other(F_WRLCK); },
         F_RDLCK,
         Lock::refused,
         {}},
        {"another open file's read lock, to write",
         [](LockedFile* f) { f->other(F_RDLCK); },
         F_WRLCK,
         Lock::refused,
         {}},
        {"another process's classic write lock",
         [](LockedFile* f) { f->other_process(F_WRLCK); },
         F_RDLCK,
         Lock::refused_by_another_process,
         {}},
        {"another process's classic read lock, to write",
         [](LockedFile* f) { f->other_process(F_RDLCK); },
         F_WRLCK,
         Lock::refused_by_another_process,
         {}},
        // Another's lock where the process's own lock is in the way too.
        {"another's read lock under the own one",
         [](LockedFile* f) {
             f->classic(F_RDLCK, 0, 10);
             f->other(F_RDLCK, 0, 10);
         },
         F_WRLCK,
         Lock::refused,
         {}},
        {"another's read lock beside the own one",
         [](LockedFile* f) {
             f->classic(F_RDLCK, 20, 10);
             f->other(F_RDLCK, 0, 10);
         },
         F_WRLCK,
         Lock::refused,
         {}},
        // flock locks are another kind: neither sees the other.
        {"another process's flock",
         [](LockedFile* f) { f->other_process(F_WRLCK, true); },
         F_WRLCK,
         Lock::held,
         {reader}},
        // A lock refused for another reason than another's lock (here a write lock through a
        // read-only descriptor; elsewhere a file system without locks) guards nothing.
        {"a lock the descriptor cannot take",
         [](LockedFile* f) {
             f->other(F_RDLCK);
             ::close(f->fd);
             f->fd = ::open(f->path.c_str(), O_RDONLY | O_CLOEXEC);
         },
         F_WRLCK,
         Lock::held,
         {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        LockedFile file;
        row.hold(&file);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(locked(file.fd, row.type, milliseconds(row.result == Lock::held ? 0 : 20)),
                  row.result);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
        // Only the locks taken keep the probes out, not the other open files' locks in the way.
        file.close_others();
        for (const Probe& probe : row.kept_out) {
            EXPECT_TRUE(kept_out(file.path, probe)) << probe.type << " at " << probe.start;
        }
    }
}

// The classic locks of one save or load keep out the process's other saves and loads of the
// file, and stay while they close their descriptors of it: closing any descriptor of a file
// drops the process's classic locks on it.
TEST(FileLock, TheProcessOwnClassicLocksStayUntilTheirDescriptorCloses) {
    LockedFile file;
    file.classic(F_RDLCK);
    ASSERT_EQ(locked(file.fd, F_WRLCK, milliseconds(0)), Lock::held);
    const int second = file.open();
    EXPECT_EQ(locked(second, F_RDLCK, milliseconds(20)), Lock::refused);
    EXPECT_EQ(close_descriptor(second), 0);
    EXPECT_EQ(close_descriptor(file.classic_fd), 0);
    file.classic_fd = -1;
    EXPECT_TRUE(kept_out(file.path, {F_RDLCK}));
    EXPECT_EQ(close_descriptor(file.fd), 0);
    file.fd = -1;
    EXPECT_FALSE(kept_out(file.path, {F_WRLCK}));
    EXPECT_EQ(::fcntl(second, F_GETFD), -1);  // closed with the lock's descriptor
}

// A process forked during a save or a load holds none of its locks: the parent's open-file lock
// goes when the parent closes its descriptor, and the child's own descriptors of a file that the
// parent holds classic locks on close as any other.
TEST(FileLock, AChildForkedMidwayHoldsNoneOfTheLocksAndClosesItsOwnDescriptors) {
    LockedFile saved, loaded;
    Fd save(saved.open());
    ASSERT_EQ(locked(save.get(), F_WRLCK, milliseconds(0)), Lock::held);
    loaded.classic(F_WRLCK);
    ASSERT_EQ(locked(loaded.fd, F_RDLCK, milliseconds(0)), Lock::held);  // as the process
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::alarm(10);
        const int own = loaded.open();
        const bool closed = close_descriptor(own) == 0 && ::fcntl(own, F_GETFD) == -1;
        (void)!::write(ready[1], closed ? "y" : "n", 1);
        ::pause();
        ::_exit(0);
    }
    char closed = 0;
    EXPECT_EQ(::read(ready[0], &closed, 1), 1);
    EXPECT_EQ(closed, 'y');
    EXPECT_TRUE(kept_out(saved.path, {F_RDLCK}));
    save.reset(-1);
    EXPECT_FALSE(kept_out(saved.path, {F_RDLCK}));  // the child still lives
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);
}

// Children forked while other threads open, lock and close files find the lock tables free.
TEST(FileLock, ChildrenForkedWhileThreadsLockAllEnd) {
    LockedFile file;
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&] {
            while (!stop) {
                Fd fd(file.open());
                locked(fd.get(), F_RDLCK, milliseconds(0));
            }
        });
    }
    int hung = 0;
    for (int child = 0; child < 40 && hung == 0; ++child) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::alarm(5);
            Fd fd(file.open());
            ::_exit(locked(fd.get(), F_RDLCK, milliseconds(0)) == Lock::held ? 0 : 1);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        hung += !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    stop = true;
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(hung, 0);
}

// A descriptor of a save above a descriptor limit lowered meanwhile is still made /dev/null in
// the child, the limit raised for the moment and then restored.
TEST(FileLock, AChildBelowALoweredLimitStillHoldsNoneOfTheDescriptors) {
    LockedFile file;
    const int opened = file.open();
    Fd high(::fcntl(opened, F_DUPFD_CLOEXEC, 100));
    ::close(opened);
    ASSERT_EQ(locked(high.get(), F_WRLCK, milliseconds(0)), Lock::held);
    struct rlimit was, low;
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &was), 0);
    low = {64, was.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        struct stat st;
        struct rlimit now;
        const bool null = ::fstat(high.get(), &st) == 0 && S_ISCHR(st.st_mode);
        ::_exit(null && ::getrlimit(RLIMIT_NOFILE, &now) == 0 && now.rlim_cur == 64 ? 0 : 1);
    }
    ::setrlimit(RLIMIT_NOFILE, &was);
    int status = -1;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

int g_checks;
void count_check() { ++g_checks; }
void interrupt_third_check() {
    if (++g_checks == 3) throw std::runtime_error("interrupted");
}

// The wait is a time on the steady clock, however often it polls, and the interruption check
// follows each poll: it goes on when the check returns, and ends with what the check throws.
TEST(FileLock, AnotherLockIsWaitedForAFixedTimeAndTheCheckCanEndTheWait) {
    LockedFile file;
    file.other(F_WRLCK);
    g_checks = 0;
    set_interrupt_check(count_check);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(locked(file.fd, F_RDLCK, milliseconds(300)), Lock::refused);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, milliseconds(300));
    EXPECT_LT(waited, milliseconds(900));
    EXPECT_GT(g_checks, 10);
    EXPECT_LE(g_checks, 151);  // polls 2 ms apart, not a busy loop
    g_checks = 0;
    set_interrupt_check(interrupt_third_check);
    EXPECT_THROW(locked(file.fd, F_RDLCK, std::chrono::seconds(10)), std::runtime_error);
    EXPECT_EQ(g_checks, 3);
    set_interrupt_check(nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

std::string content(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// A save or load that waits for another open file's lock, whose first interruption check forks
// at the descriptor limit, as a signal handler that forks would. The child makes room for files
// of its own, opens two and returns into its copy of the call; or, as a daemon does (`daemon`),
// closes every descriptor and opens files of its own under every number the parent had in use,
// the call's included. The parent drops the lock in the way, so that its call goes on.
struct ForkedMidway {
    static ForkedMidway* self;
    LockedFile file;
    std::string mine[2];
    std::vector<int> own;  // own[i] is the child's descriptor of mine[i % 2]
    bool daemon;
    bool in_child = false;

    explicit ForkedMidway(bool daemon) : daemon(daemon) {
        for (int i = 0; i < 2; ++i) {
            mine[i] = file.path + ".mine" + std::to_string(i);
            std::ofstream(mine[i]) << "the child's own file " << i;
        }
        self = this;
        set_interrupt_check(fork_once);
    }
    ~ForkedMidway() {
        set_interrupt_check(nullptr);
        for (const std::string& path : mine) ::unlink(path.c_str());
        ::unlink((file.path + ".2").c_str());
    }
    void open_own() { own.push_back(::open(mine[own.size() % 2].c_str(), O_RDWR | O_CLOEXEC)); }
    static void fork_once() {
        if (self->in_child || self->file.others.empty()) return;
        struct rlimit was, low;
        ::getrlimit(RLIMIT_NOFILE, &was);
        low = {std::min<rlim_t>(was.rlim_cur, 256), was.rlim_max};
        ::setrlimit(RLIMIT_NOFILE, &low);
        std::vector<int> filler;
        for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) filler.push_back(fd);
        int top = 2;  // the highest number in use before the filler
        for (int fd = 3; !filler.empty() && fd < filler.back(); ++fd) {
            if (!std::binary_search(filler.begin(), filler.end(), fd)) top = fd;
        }
        const pid_t pid = ::fork();
        if (pid == 0) {
            self->in_child = true;
            ::alarm(10);
            if (self->daemon) {
                ::close_range(3, ~0U, 0);
                while (self->own.empty() || self->own.back() < top) self->open_own();
                return;
            }
            // Two more free numbers than it opens, for the sanitizers' own pipes.
            for (int i = 1; i <= 4; ++i) ::close(filler[filler.size() - i]);
            for (int i = 0; i < 2; ++i) self->open_own();
            return;
        }
        for (const int fd : filler) ::close(fd);
        ::setrlimit(RLIMIT_NOFILE, &was);
        self->file.close_others();
        self->child = pid;
    }
    // In the child: whether its copy of the call failed with `message` and left its own files
    // open as they were; the child ends here.
    [[noreturn]] void end_child(const std::string& failure, const std::string& message) {
        bool whole = failure == message;
        for (size_t i = 0; i < own.size(); ++i) {
            const std::string expected = "the child's own file " + std::to_string(i % 2);
            std::string read_back(64, '\0');
            const ssize_t n = ::pread(own[i], read_back.data(), read_back.size(), 0);
            whole = whole && n >= 0 && read_back.substr(0, static_cast<size_t>(n)) == expected;
        }
        ::_exit(whole ? 0 : 1);
    }
    pid_t child = -1;
};
ForkedMidway* ForkedMidway::self = nullptr;

bool ended_well(pid_t pid) {
    int status = -1;
    return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

// The child's copy of an in-place save (the file has two names) fails at its first step after
// the fork, without writing anything; the parent's save goes on to the end.
TEST(FileLock, AForkedCopyOfASaveFailsAtOnceAndTouchesNoFile) {
    for (const bool daemon : {false, true}) {
        ForkedMidway run(daemon);
        ASSERT_EQ(::link(run.file.path.c_str(), (run.file.path + ".2").c_str()), 0);
        run.file.other(F_RDLCK);
        const std::string model(300, 'm');
        try {
            write(run.file.path, model.data(), model.size());
        } catch (const std::runtime_error& failure) {
            ASSERT_TRUE(run.in_child) << failure.what();
            run.end_child(failure.what(), "Unable to write model file: " + run.file.path +
                                              " (the process forked during the save)");
        }
        ASSERT_FALSE(run.in_child);  // the child's copy went on
        EXPECT_TRUE(ended_well(run.child)) << "daemon: " << daemon;
        EXPECT_EQ(content(run.file.path), model);
    }
}

// The child's copy of a load fails at once, returning nothing it read; the parent's load reads
// the file.
TEST(FileLock, AForkedCopyOfALoadFailsAtOnceAndReadsNothing) {
    for (const bool daemon : {false, true}) {
        ForkedMidway run(daemon);
        run.file.other(F_WRLCK);
        try {
            const Bytes read_back = read(run.file.path);
            ASSERT_FALSE(run.in_child) << std::string(read_back.data.get(), read_back.size);
            EXPECT_EQ(std::string(read_back.data.get(), read_back.size), std::string(100, 'x'));
        } catch (const std::runtime_error& failure) {
            ASSERT_TRUE(run.in_child) << failure.what();
            run.end_child(failure.what(), "Unable to read model file: " + run.file.path +
                                              " (the process forked during the load)");
        }
        EXPECT_TRUE(ended_well(run.child)) << "daemon: " << daemon;
    }
}

}  // namespace
}  // namespace vorna::model_file
