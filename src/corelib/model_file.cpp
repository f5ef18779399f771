#include "corelib/model_file.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <poll.h>
#include <snappy-sinksource.h>
#include <snappy.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <map>
#include <stdexcept>
#include <utility>

#include "corelib/file_lock.h"

namespace vorna::model_file {

namespace {

// Snappy's densest element, a 3-byte copy of 64 bytes, expands about 21 times; a claimed
// length beyond this bound cannot come from the file's content and is not allocated.
constexpr uint64_t kMaxExpansion = 32;
constexpr uint64_t kExpansionSlack = 64;

// The path as a message shows it: a null byte, which would end the message, is shown as "\0".
std::string shown(std::string path) {
    for (size_t at = 0; (at = path.find('\0', at)) != std::string::npos; at += 2) {
        path.replace(at, 1, "\\0");
    }
    return path;
}

std::invalid_argument open_error(const std::string& path) {
    return std::invalid_argument("Unable to open file for saving model: " + shown(path));
}

std::runtime_error write_error(const std::string& path, const char* why = "") {
    return std::runtime_error("Unable to write model file: " + shown(path) + why);
}

// Writes every byte at the descriptor's position (`offset` < 0: a stream or a new file) or from
// `offset` on. A stream that takes nothing for now (a pipe no one reads) is waited for in polls of
// 100 ms, each followed by the interruption check, however it ended (a signal that cuts every poll
// short still has its handler run), as is an interrupted write to the descriptor's position; a
// write in place is not interrupted. Leaves errno set when it fails.
bool write_all(int fd, const char* data, size_t size, off_t offset = -1) {
    while (size > 0) {
        const ssize_t n = offset < 0 ? ::write(fd, data, size) : ::pwrite(fd, data, size, offset);
        if (n < 0 && (errno == EINTR || (offset < 0 && errno == EAGAIN))) {
            struct pollfd ready = {fd, POLLOUT, 0};
            if (offset >= 0) continue;
            if (errno == EAGAIN) ::poll(&ready, 1, 100);
            check_wait();
            continue;
        }
        if (n == 0) errno = EIO;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
        if (offset >= 0) offset += n;
    }
    return true;
}

// A sink that keeps at most `capacity` bytes in `out` and counts what it keeps.
class BoundedSink : public snappy::Sink {
  public:
    BoundedSink(char* out, size_t capacity) : out_(out), capacity_(capacity) {}
    // Snappy decodes into buffers of its own and hands them over here.
    void Append(const char* bytes, size_t n) override {
        n = std::min(n, capacity_ - kept_);
        std::memcpy(out_ + kept_, bytes, n);
        kept_ += n;
    }
    size_t kept() const { return kept_; }

  private:
    char* out_;
    size_t capacity_;
    size_t kept_ = 0;
};

// Decodes the compressed block at the start of `data` into the `length` bytes of `out` and
// returns how many of them it gave before the block ended or broke, whatever follows it.
size_t uncompress_prefix(const char* data, size_t size, char* out, size_t length) {
    snappy::ByteArraySource source(data, size);
    BoundedSink sink(out, length);
    // The count returned goes on past the end of the block when bytes follow it; what the sink
    // kept never does.
    const size_t valid = snappy::UncompressAsMuchAsPossible(&source, &sink);
    return std::min(valid, sink.kept());
}

// Runs a system call again while a signal interrupts it; an `interruptible` one (an open, before
// anything is changed) after the interruption check.
template <typename Function>
auto retried(Function call, bool interruptible = false) {
    decltype(call()) result;
    while ((result = call()) < 0 && errno == EINTR) {
        if (interruptible) check_wait();
    }
    return result;
}

// Reserves `size` bytes for the file open as `fd`, where its file system can reserve space (it
// cannot: EOPNOTSUPP; EINVAL or ENOSYS from some).
bool reserved(int fd, size_t size) {
    return size == 0 ||
           retried([&] { return ::fallocate(fd, 0, 0, static_cast<off_t>(size)); }) == 0 ||
           errno == EOPNOTSUPP || errno == EINVAL || errno == ENOSYS;
}

// Makes sure that the regular file open as `fd`, `old` bytes long, can hold the `size` bytes of
// `data` before any old byte is overwritten: the file-size limit checked, the length reserved and
// the bytes past the old end written (where nothing can be reserved, overwriting then takes no
// new space). Returns how many leading bytes are still to be written, or -1, the file as it was.
off_t reserve(int fd, off_t old, const char* data, size_t size) {
    // A write past the limit fails even where the file is already that long.
    struct rlimit limit;
    const off_t length = static_cast<off_t>(size);
    if (::getrlimit(RLIMIT_FSIZE, &limit) == 0 &&
        (limit.rlim_cur == RLIM_INFINITY || size <= limit.rlim_cur) && reserved(fd, size) &&
        (length <= old || write_all(fd, data + old, size - static_cast<size_t>(old), old))) {
        return std::min(length, old);
    }
    // A reservation or a tail that ran out of space partway may have lengthened the file.
    struct stat st;
    if (::fstat(fd, &st) == 0 && st.st_size != old) (void)::ftruncate(fd, old);
    return -1;
}

std::atomic<SaveHook> save_hook{nullptr};
std::atomic<int> regular_level{-1}, fifo_level{-1};

void reached(SaveStep step) {
    if (const SaveHook hook = save_hook.load()) hook(step);
}

// Opens for writing without truncating, and without waiting for a reader of a pipe.
constexpr int kOpenFlags = O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

// What a file written in place holds at its head until the rest is written: the first five
// bytes of a length that does not fit 32 bits, which load refuses whatever follows.
constexpr char kRefusedHead[5] = {'\xff', '\xff', '\xff', '\xff', '\xff'};
constexpr size_t kHead = sizeof kRefusedHead;

// Errors of making or filling a second file that leave writing the first in place, which makes
// sure of the room first; not a file-size limit (EFBIG), which would stop that write as well.
bool no_second_file(int error) {
    return error == EACCES || error == EPERM || error == EROFS || error == ENOSPC ||
           error == EDQUOT;
}

// What `name` in the directory `dir` is now, without following a link; false when missing.
bool look(int dir, const std::string& name, struct statx* now) {
    const int mask = STATX_TYPE | STATX_INO | STATX_NLINK;
    return ::statx(dir, name.c_str(), AT_SYMLINK_NOFOLLOW, mask, now) == 0;
}

// Whether `name` in `dir` is the file `st` itself, its only name, and not a mount point (never
// renamed over).
bool names_the_file(int dir, const std::string& name, const struct stat& st) {
    struct statx now;
    return look(dir, name, &now) && ::makedev(now.stx_dev_major, now.stx_dev_minor) == st.st_dev &&
           now.stx_ino == st.st_ino && now.stx_nlink == 1 &&
           !(now.stx_attributes & STATX_ATTR_MOUNT_ROOT);
}

// Whether the kernel refuses to open `file` in `dir` for creating, at the levels of the settings
// fs.protected_regular and fs.protected_fifos (or the test seam; 1 where unreadable): another
// user's regular file or FIFO, not the directory owner's either, in a sticky directory others
// may write (from level 1) or its group may (at level 2). Root is such a user too.
bool protected_file(const struct stat& dir, const struct stat& file) {
    if (!(dir.st_mode & S_ISVTX) || !(dir.st_mode & (S_IWOTH | S_IWGRP)) ||
        file.st_uid == dir.st_uid || file.st_uid == ::geteuid() ||
        !(S_ISREG(file.st_mode) || S_ISFIFO(file.st_mode))) {
        return false;
    }
    const bool regular = S_ISREG(file.st_mode);
    char level = static_cast<char>('0' + (regular ? regular_level : fifo_level).load());
    const Fd setting(level >= '0' ? -1
                                  : ::open(regular ? "/proc/sys/fs/protected_regular"
                                                   : "/proc/sys/fs/protected_fifos",
                                           O_RDONLY | O_CLOEXEC));
    if (level < '0' && (setting.get() < 0 || ::read(setting.get(), &level, 1) != 1)) level = '1';
    return level >= '2' || (level == '1' && (dir.st_mode & S_IWOTH));
}

// The extended attributes of the file open as `fd` by name, none where the file system has none;
// false when they cannot be read, or change while they are read.
bool attributes(int fd, std::map<std::string, std::string>* out) {
    ssize_t size = ::flistxattr(fd, nullptr, 0);
    if (size <= 0) return size == 0 || errno == ENOTSUP;
    std::string list(static_cast<size_t>(size), '\0');
    if (::flistxattr(fd, list.data(), list.size()) != size) return false;
    for (size_t at = 0; at < list.size(); at = list.find('\0', at) + 1) {
        std::string& value = (*out)[list.c_str() + at];
        size = ::fgetxattr(fd, list.c_str() + at, nullptr, 0);
        value.resize(size < 0 ? 0 : static_cast<size_t>(size));
        if (size < 0 || ::fgetxattr(fd, list.c_str() + at, value.data(), value.size()) != size) {
            return false;
        }
    }
    return true;
}

// Gives the file open as `to` exactly the extended attributes of the one open as `from` that this
// process can read, but for security.capability.
bool copy_attributes(int from, int to) {
    std::map<std::string, std::string> wanted, present;
    if (!attributes(from, &wanted) || !attributes(to, &present)) return false;
    wanted.erase("security.capability");  // which writing the file removes
    for (const auto& [name, value] : wanted) {
        if (::fsetxattr(to, name.c_str(), value.data(), value.size(), 0) != 0) return false;
    }
    // The new file may have been given some of its own (a directory's default access list).
    for (const auto& [name, value] : present) {
        if (!wanted.count(name) && ::fremovexattr(to, name.c_str()) != 0) return false;
    }
    return true;
}

// The file a save writes, decided when it is opened: as a stream (a pipe, a device), by a new
// file that takes its name, or in place. The directory holding the name is kept open and every
// later step is relative to it, so that the caller's path is resolved once.
class Target {
  public:
    explicit Target(const std::string& path) : call_(path, true), path_(path) {
        // The system would read the path only up to a null byte, a file the caller did not
        // name; "" and a trailing "/" name no file to create.
        if (path.empty() || path.back() == '/' || path.find('\0') != std::string::npos ||
            !open_directory(path, AT_FDCWD)) {
            throw open_error(path);
        }
        fd_.reset(open_name(O_NOFOLLOW));
        const bool link = fd_.get() < 0 && errno == ELOOP;
        if (link) {
            // Followed as the create-or-truncate open follows it; a missing file it names is
            // created at once, and not removed again (the link may have changed meanwhile).
            reached(SaveStep::link_found);
            fd_.reset(open_name(O_CREAT));
        }
        if ((fd_.get() < 0 && (link || errno != ENOENT)) || !decide(link)) throw open_error(path);
        reached(SaveStep::opened);
    }

    // A save that does not complete leaves no new file behind, nor a new name it made; its copy in
    // the child of a fork made during it touches no name (the files are the parent's).
    ~Target() {
        if (!call_.here()) return;
        drop_replacement();
        if (created_ && names_the_file(dir_.get(), name_, st_)) {
            ::unlinkat(dir_.get(), name_.c_str(), 0);
        }
    }

    void write(const char* data, size_t size) {
        for (int attempt = 1;; ++attempt) {
            if (way_ == Way::stream) {
                const bool ok = write_all(fd_.get(), data, size);
                if (!fd_.close() || !ok) throw write_error(path_);
                return;
            }
            const Done done = way_ == Way::replace ? replace(data, size) : Done::in_place;
            if (done == Done::in_place) write_in_place(data, size);
            if (done != Done::moved) return;
            // Another file took the name since the open: it is opened, without following a link,
            // and the save starts over with it, a few times at most, so that the last save wins.
            fd_.reset(attempt < 8 ? open_name(O_NOFOLLOW) : -1);
            if (fd_.get() < 0 || !decide(false) || way_ == Way::stream) throw write_error(path_);
        }
    }

  private:
    enum class Way { stream, replace, in_place };
    enum class Done { named, in_place, moved };

    // A file of `name` in the directory that did not exist before.
    int make_file(const char* name, mode_t mode) {
        return retried(
            [&] {
                return ::openat(dir_.get(), name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
            },
            true);
    }

    int open_name(int flags) {
        return retried(
            [&] { return ::openat(dir_.get(), name_.c_str(), kOpenFlags | flags, 0666); }, true);
    }

    // Holds the directory of `path`, relative to `at`, as open reaches it, and its last
    // component as the name.
    bool open_directory(const std::string& path, int at) {
        const size_t slash = path.rfind('/');
        const std::string parent =
            slash == std::string::npos ? "." : path.substr(0, std::max<size_t>(slash, 1));
        name_ = path.substr(slash + 1);  // npos + 1 == 0
        dir_.reset(retried(
            [&] { return ::openat(at, parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC); }, true));
        return dir_.get() >= 0;
    }

    // Decides how the file opened (none: a missing name) is written. False when it may not be:
    // a file the kernel protects from this process (a link followed was checked by the kernel),
    // or a missing name in a directory that takes no new file.
    bool decide(bool link) {
        way_ = Way::replace;
        if (fd_.get() >= 0) {
            const int flags = ::fcntl(fd_.get(), F_GETFL);
            struct stat parent;
            if (::fstat(fd_.get(), &st_) != 0 || flags < 0 ||
                // A stream stays non-blocking, so that a wait for it can be interrupted.
                ::fcntl(fd_.get(), F_SETFL, S_ISREG(st_.st_mode) ? flags & ~O_NONBLOCK : flags) ||
                ::fstat(dir_.get(), &parent) != 0 || (!link && protected_file(parent, st_))) {
                return false;
            }
            way_ = !S_ISREG(st_.st_mode) ? Way::stream
                   : replaceable(link)   ? Way::replace
                                         : Way::in_place;
        }
        if (way_ != Way::replace || temp_.get() >= 0) return true;
        // An unnamed new file, made now as a kill leaves nothing of it, where the file system and
        // the descriptor link that names it work; elsewhere a named one once the content is ready.
        temp_.reset(retried(
            [&] { return ::openat(dir_.get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666); },
            true));
        if (temp_.get() >= 0 && ::access("/proc/self/fd", F_OK) != 0) temp_.reset(-1);
        if (temp_.get() >= 0 || fd_.get() >= 0) {
            if (temp_.get() < 0 && no_second_file(errno)) way_ = Way::in_place;
            return true;
        }
        // Without unnamed files a missing name is made now, exclusively, and written in place;
        // when another file took it meanwhile, that file is opened instead, as at first.
        way_ = Way::in_place;
        fd_.reset(make_file(name_.c_str(), 0666));
        created_ = fd_.get() >= 0;
        if (!created_ && errno == EEXIST) fd_.reset(open_name(O_NOFOLLOW));
        return fd_.get() >= 0 && (created_ ? ::fstat(fd_.get(), &st_) == 0 : decide(false));
    }

    // Whether the regular file opened can be replaced: its only name, in a directory that still
    // holds it, reached without a descriptor link, and a directory that lets this process rename
    // over it: not marked append-only or immutable, and in a sticky one, only the file's owner,
    // the directory's and root may.
    bool replaceable(bool link) {
        struct statx dir;
        if ((link && !follow_links()) || !names_the_file(dir_.get(), name_, st_) ||
            ::statx(dir_.get(), "", AT_EMPTY_PATH, STATX_MODE | STATX_UID, &dir) != 0 ||
            (dir.stx_attributes & (STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE))) {
            return false;
        }
        const uid_t me = ::geteuid();
        return !(dir.stx_mode & S_ISVTX) || me == 0 || st_.st_uid == me || dir.stx_uid == me;
    }

    // Moves the directory and name held from the link there to the file it leads to, link by
    // link. False where a link lies in the proc file system (a descriptor link, as /dev/stdout
    // leads to: the file is whatever the descriptor holds, which no name replaces), or cannot be
    // read. The links are read after the open that followed them; whatever they say now, the
    // file written stays the one opened, replaced only where the name found holds it.
    bool follow_links() {
        for (int hop = 0; hop < 40; ++hop) {
            struct statfs where;
            std::string to(PATH_MAX, '\0');
            if (::fstatfs(dir_.get(), &where) != 0 || where.f_type == PROC_SUPER_MAGIC) {
                return false;
            }
            const ssize_t n = ::readlinkat(dir_.get(), name_.c_str(), to.data(), to.size());
            if (n < 0) return errno == EINVAL;  // not a link: the file itself
            to.resize(static_cast<size_t>(n));
            if (!open_directory(to, to[0] == '/' ? AT_FDCWD : dir_.get())) return false;
        }
        return false;
    }

    // Gives the new file a name no one can guess (".vorna-<random>.tmp", short enough beside a
    // target name near the length limit) beside the file it replaces: a named new file is made
    // under it, readable by its owner only until it is whole, an unnamed one linked to it.
    bool new_temporary_name() {
        const bool make = temp_.get() < 0;
        for (int attempt = 0; attempt < 8; ++attempt) {
            uint64_t bits[2];
            char name[48];
            if (::getrandom(bits, sizeof bits, 0) != sizeof bits) return false;
            std::snprintf(name, sizeof name, ".vorna-%016llx%016llx.tmp",
                          static_cast<unsigned long long>(bits[0]),
                          static_cast<unsigned long long>(bits[1]));
            if (make) temp_.reset(make_file(name, 0600));
            if (make ? temp_.get() >= 0 : link(name)) {
                temp_name_ = name;
                return true;
            }
            if (errno != EEXIST) return false;
        }
        return false;
    }

    // Gives the unnamed new file `name`, which replaces nothing there.
    bool link(const std::string& name) {
        return retried([&] {
                   const std::string from = "/proc/self/fd/" + std::to_string(temp_.get());
                   return ::linkat(AT_FDCWD, from.c_str(), dir_.get(), name.c_str(),
                                   AT_SYMLINK_FOLLOW);
               }) == 0;
    }

    // Closes the new file and removes its name, if it has one: only a file made here has one.
    void drop_replacement() {
        temp_.reset(-1);
        written_ = false;
        if (!temp_name_.empty()) ::unlinkat(dir_.get(), temp_name_.c_str(), 0);
        temp_name_.clear();
    }

    // The name no longer holds the file opened, or a missing name was taken: another regular
    // file, as another save leaves it, starts the save over; anything else refuses it.
    Done moved() {
        struct statx now;
        if (!look(dir_.get(), name_, &now) || !S_ISREG(now.stx_mode)) throw write_error(path_);
        return Done::moved;
    }

    // Fills the new file (a named one is made now) once for all attempts, its whole length
    // reserved first so that no room for a second copy shows before anything is written.
    int fill(const char* data, size_t size) {
        if (!written_ && ((temp_.get() < 0 && !new_temporary_name()) ||
                          !reserved(temp_.get(), size) || !write_all(temp_.get(), data, size))) {
            return errno;
        }
        if (!std::exchange(written_, true)) reached(SaveStep::replacement_written);
        return 0;
    }

    // Fills the new file and gives it the name. `in_place`, with the new file gone and the
    // target untouched, when the target is to be written in place instead; `moved` when another
    // file has taken the name.
    Done replace(const char* data, size_t size) {
        const bool existing = fd_.get() >= 0;
        struct stat now;
        int error = fill(data, size);
        // The owner, group, extended attributes (not security.capability, which writing removes)
        // and mode of the file replaced, given after the content, as writing drops set-user and
        // set-group bits, and only where the file system keeps them. A new name has open's mode.
        const mode_t mode = st_.st_mode & 07777;
        if (error == 0 && existing &&
            (::fchown(temp_.get(), st_.st_uid, st_.st_gid) != 0 ||
             !copy_attributes(fd_.get(), temp_.get()) || ::fchmod(temp_.get(), mode) != 0 ||
             ::fstat(temp_.get(), &now) != 0 || (now.st_mode & 07777) != mode ||
             now.st_uid != st_.st_uid || now.st_gid != st_.st_gid)) {
            error = EPERM;
        }
        // Closing a copy of the descriptor hands every byte to the file system and shows the
        // write errors some report only at a close, before the file has the name.
        if (error == 0 && ::close(::dup(temp_.get())) != 0) error = errno;
        if (error == 0 && existing && temp_name_.empty() && !new_temporary_name()) error = errno;
        // The name must still hold the file opened, and be its only name, which would keep the
        // old model (a link put there is never followed).
        if (error == 0 && existing && !names_the_file(dir_.get(), name_, st_)) return moved();
        const auto rename = [&] {
            return ::renameat(dir_.get(), temp_name_.c_str(), dir_.get(), name_.c_str());
        };
        if (error == 0 && !(existing ? retried(rename) == 0 : link(name_)) &&
            (error = errno) == EEXIST) {
            return moved();
        }
        if (error != 0) {
            drop_replacement();
            // A directory that refuses the rename (a security module, a mount point) leaves the
            // file to be written in place, as one that takes no second file.
            if (existing && (no_second_file(error) || error == EBUSY)) return Done::in_place;
            throw write_error(path_);
        }
        temp_name_.clear();
        return Done::named;
    }

    // Writes the regular file opened through its own descriptor, under its write lock (which
    // keeps out other in-place saves and loads; another's lock held too long refuses the save),
    // ordered so that a stop at
    // any point leaves the old model, the new one or a file load refuses: the length reserved
    // (or the save refused), the head made invalid, the rest written, the true head last, then
    // the cut (a whole block followed by old bytes loads as the new model).
    void write_in_place(const char* data, size_t size) {
        struct stat st;
        const int fd = fd_.get();
        const Lock lock = locked(fd, F_WRLCK);
        if (lock == Lock::refused) throw write_error(path_, " (locked)");
        if (lock != Lock::held) throw write_error(path_, " (locked by another process)");
        const off_t from = ::fstat(fd, &st) == 0 ? reserve(fd, st.st_size, data, size) : -1;
        bool ok = from >= 0;
        if (ok) reached(SaveStep::in_place_reserved);
        ok = ok && write_all(fd, kRefusedHead, kHead, 0);
        if (ok) reached(SaveStep::in_place_head_refused);
        ok = ok && (from <= static_cast<off_t>(kHead) ||
                    write_all(fd, data + kHead, static_cast<size_t>(from) - kHead, kHead));
        if (ok) reached(SaveStep::in_place_body_written);
        ok = ok && write_all(fd, data, std::min(size, kHead), 0);
        if (ok) reached(SaveStep::in_place_head_written);
        ok = ok && retried([&] { return ::ftruncate(fd, static_cast<off_t>(size)); }) == 0;
        ok = fd_.close() && ok;
        if (!ok) throw write_error(path_);
        created_ = false;
    }

    const Call call_;  // first made, last gone
    const std::string& path_;
    Fd dir_;            // the directory holding the name
    std::string name_;  // the name of the file in it
    Fd fd_;             // the file opened; none when the name is missing
    struct stat st_{};  // what it was when opened
    Way way_ = Way::replace;
    Fd temp_;                // the new file
    std::string temp_name_;  // its name, while it has one of its own
    bool written_ = false;   // it holds the whole content
    bool created_ = false;   // the name was missing and this save made it, exclusively
};

}  // namespace

void check_serialized_size(uint64_t size, uint64_t limit) {
    if (size > limit) {
        throw std::runtime_error("Model too large to save: its serialization of " +
                                 std::to_string(size) + " bytes exceeds the " +
                                 std::to_string(limit) + " bytes a model file can hold");
    }
}

void check_file_size(uint64_t size, uint64_t limit) {
    if (size > limit) {
        throw std::runtime_error("Model too large to save: its model file of " +
                                 std::to_string(size) + " bytes exceeds the " +
                                 std::to_string(limit) + " bytes that can be read back");
    }
}

Bytes encode(const std::vector<uint8_t>& serialization, uint64_t limit, uint64_t file_limit) {
    check_serialized_size(serialization.size(), limit);
    Bytes file{std::unique_ptr<char[]>(new char[snappy::MaxCompressedLength(serialization.size())]),
               0};
    snappy::RawCompress(reinterpret_cast<const char*>(serialization.data()), serialization.size(),
                        file.data.get(), &file.size);
    check_file_size(file.size, file_limit);
    return file;
}

std::unique_ptr<Model> decode(const char* data, size_t size) {
    const auto corrupted = [] {
        return std::invalid_argument("Cannot uncompress corrupted serialization buffer");
    };
    size_t length = 0;
    if (!snappy::GetUncompressedLength(data, size, &length) ||
        length > size * kMaxExpansion + kExpansionSlack) {
        throw corrupted();
    }
    if (length == 0) return Model::from_buffer(nullptr, 0);
    // RawUncompress reads the length again from these same bytes and never writes beyond it.
    std::unique_ptr<char[]> buffer(new char[length]);
    // Bytes after the compressed block make the decompressor report failure although the block
    // itself is whole: a block is whole when it gives every byte of its length, and one that
    // ends (or breaks) before is refused.
    if (!snappy::RawUncompress(data, size, buffer.get()) &&
        uncompress_prefix(data, size, buffer.get(), length) != length) {
        throw corrupted();
    }
    return Model::from_buffer(buffer.get(), length);
}

Bytes read(const std::string& path) {
    // A path holding a null byte names another file (the system reads it up to that byte): it
    // is refused before any open. A pipe is opened without waiting for a writer.
    const int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    const Call call(path, false);
    Fd fd(path.find('\0') == std::string::npos
              ? retried([&] { return ::open(path.c_str(), flags); }, true)
              : -1);
    struct stat st;
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || S_ISSOCK(st.st_mode)) {
        throw std::runtime_error("File not found.");
    }
    // A regular file is read under a shared lock, so that a save writing it in place is never
    // seen half done; one that stays locked is not read. Anything else is measured by its end
    // position: none for a pipe, 0 for /dev/null; a directory holds no bytes (its end is a cookie
    // or none).
    if (S_ISREG(st.st_mode) && locked(fd.get(), F_RDLCK) != Lock::held) {
        throw std::runtime_error("Unable to read model file: " + shown(path) +
                                 " (locked by a writer)");
    }
    const off_t size = S_ISDIR(st.st_mode) ? 0 : ::lseek(fd.get(), 0, SEEK_END);
    if (size <= 0) throw std::runtime_error("File is empty.");
    if (static_cast<uint64_t>(size) > kMaxFileSize) throw std::runtime_error("File is too large.");
    Bytes content{std::unique_ptr<char[]>(new char[static_cast<size_t>(size)]),
                  static_cast<size_t>(size)};
    for (size_t done = 0; done < content.size;) {
        const ssize_t n = ::pread(fd.get(), content.data.get() + done, content.size - done,
                                  static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) {
            check_wait();
            continue;
        }
        if (n <= 0) throw std::runtime_error("File not found.");  // shrank, or cannot be read
        done += static_cast<size_t>(n);
    }
    return content;
}

void set_save_hook(SaveHook hook) { save_hook.store(hook); }

void set_protection_levels(int regular, int fifos) {
    regular_level.store(regular);
    fifo_level.store(fifos);
}

void write(const std::string& path, const char* data, size_t size) {
    Target(path).write(data, size);
}

void save(const Model& model, const std::string& path, uint64_t limit, uint64_t file_limit) {
    // The file is opened first, as a file that cannot be written is refused before anything
    // else; it is not changed before the content is whole, so a model that cannot be saved
    // leaves it untouched.
    Target target(path);
    const Bytes content = encode(model.serialize(), limit, file_limit);
    target.write(content.data.get(), content.size);
}

std::unique_ptr<Model> load(const std::string& path) {
    const Bytes content = read(path);
    return decode(content.data.get(), content.size);
}

}  // namespace vorna::model_file
