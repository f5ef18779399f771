#include "corelib/model_file.h"

#include <fcntl.h>
#include <linux/magic.h>
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
#include <fstream>
#include <stdexcept>

namespace vorna::model_file {

namespace {

// Snappy's densest element, a 3-byte copy of 64 bytes, expands about 21 times; a claimed
// length beyond this bound cannot come from the file's content and is not allocated.
constexpr uint64_t kMaxExpansion = 32;
constexpr uint64_t kExpansionSlack = 64;

// A file descriptor closed when it goes out of scope.
class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void reset(int fd) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    // Closes now and reports whether the close succeeded (a late write error shows here).
    bool close() {
        const int fd = fd_;
        fd_ = -1;
        // Interrupted, the descriptor is closed all the same, but an error may be lost.
        return ::close(fd) == 0;
    }

  private:
    int fd_;
};

// The path as a message shows it: a null byte, which would end the message, is shown as "\0".
std::string shown(const std::string& path) {
    std::string out;
    for (char c : path) {
        if (c == '\0') {
            out += "\\0";
        } else {
            out += c;
        }
    }
    return out;
}

std::invalid_argument open_error(const std::string& path) {
    return std::invalid_argument("Unable to open file for saving model: " + shown(path));
}

std::runtime_error write_error(const std::string& path) {
    return std::runtime_error("Unable to write model file: " + shown(path));
}

// Writes every byte at the descriptor's position (`offset` < 0) or from `offset` on. Leaves
// errno set when it fails.
bool write_all(int fd, const char* data, size_t size, off_t offset = -1) {
    while (size > 0) {
        const ssize_t n = offset < 0 ? ::write(fd, data, size) : ::pwrite(fd, data, size, offset);
        if (n < 0 && errno == EINTR) continue;
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

// Runs a system call again while a signal interrupts it.
template <typename Call>
auto retried(Call call) {
    decltype(call()) result;
    do {
        result = call();
    } while (result < 0 && errno == EINTR);
    return result;
}

// Makes sure that the regular file open as `fd`, `old` bytes long, can hold the `size` bytes of
// `data` before any of its bytes is overwritten, so that the process's file-size limit, a full
// file system or a quota refuses the save while the file still holds the old model. Returns the
// number of leading bytes of `data` still to be written (the rest is already in the file), or
// -1, with the file as it was, when it cannot hold them.
//
// The new length is reserved on the file itself. A file system that cannot reserve (EOPNOTSUPP;
// EINVAL or ENOSYS from some that do not implement it) is not refused, as most network and user
// space file systems would then never take an in-place save: there the bytes past the old end
// are written first, which touches no old byte, and once the file is that long an overwrite of
// its old bytes takes no new space (short of a copy-on-write file system, which nothing short of
// a reservation covers). The C library's emulation of a reservation is not used: it cannot read
// a file opened only for writing, and it writes zeros over bytes it has just read.
off_t reserve(int fd, off_t old, const char* data, size_t size) {
    // A write past the limit fails even where the file is already that long.
    struct rlimit limit;
    if (::getrlimit(RLIMIT_FSIZE, &limit) != 0 ||
        (limit.rlim_cur != RLIM_INFINITY && size > limit.rlim_cur)) {
        return -1;
    }
    const off_t length = static_cast<off_t>(size);
    if (retried([&] { return ::fallocate(fd, 0, 0, length); }) == 0) return length;
    if (errno == EOPNOTSUPP || errno == EINVAL || errno == ENOSYS) {
        if (length <= old) return length;
        if (write_all(fd, data + old, size - static_cast<size_t>(old), old)) return old;
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

// How many times a save starts over when other saves keep replacing the file under the name.
constexpr int kAttempts = 8;

// Errors of making or filling a second file that leave writing the first in place: the
// directory takes no new file, or there is no room or quota for a second copy, which the
// in-place write proves before overwriting anything. A file-size limit (EFBIG) is not one of
// them: it would stop the in-place write as well.
bool no_second_file(int error) {
    return error == EACCES || error == EPERM || error == EROFS || error == ENOSPC ||
           error == EDQUOT;
}

std::string descriptor_path(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// What `name` in the directory `dir` is now, without following a link; false when missing.
bool look(int dir, const std::string& name, struct statx* now) {
    return ::statx(dir, name.c_str(), AT_SYMLINK_NOFOLLOW, STATX_TYPE | STATX_INO, now) == 0;
}

// Whether `now` is the file `st` itself, and not a mount point, which cannot be renamed over.
bool is_the_file(const struct statx& now, const struct stat& st) {
    return ::makedev(now.stx_dev_major, now.stx_dev_minor) == st.st_dev &&
           now.stx_ino == st.st_ino && !(now.stx_attributes & STATX_ATTR_MOUNT_ROOT);
}

// The level of one of the kernel's protections of shared directories: the test seam's, else the
// machine's setting at `setting`; 1, the usual default, where it cannot be read.
int protection_level(const std::atomic<int>& seam, const char* setting) {
    if (seam.load() >= 0) return seam.load();
    char level = '1';
    Fd fd(::open(setting, O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0 || ::read(fd.get(), &level, 1) != 1) level = '1';
    return level - '0';
}

// Whether the kernel refuses to open `file`, found in the directory `dir`, for creating, as the
// settings fs.protected_regular and fs.protected_fifos make it: another user's regular file or
// FIFO in a sticky directory, neither of them owned by the directory's owner, that others may
// write (at level 1) or that its group may write (at level 2). This process is one such user,
// root included.
bool protected_file(const struct stat& dir, const struct stat& file) {
    if (!(dir.st_mode & S_ISVTX) || !(dir.st_mode & (S_IWOTH | S_IWGRP)) ||
        file.st_uid == dir.st_uid || file.st_uid == ::geteuid()) {
        return false;
    }
    const int level =
        S_ISREG(file.st_mode)    ? protection_level(regular_level, "/proc/sys/fs/protected_regular")
        : S_ISFIFO(file.st_mode) ? protection_level(fifo_level, "/proc/sys/fs/protected_fifos")
                                 : 0;
    return level >= 2 || (level == 1 && (dir.st_mode & S_IWOTH));
}

// The mode open gives a new file: 0666 less the process's mask, read without setting it (which
// would race other threads).
mode_t new_file_mode() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("Umask:", 0) == 0) return 0666 & ~std::stoul(line.substr(6), nullptr, 8);
    }
    return 0644;
}

// The names of the extended attributes of the file open as `fd`, none where the file system
// has none. False when they cannot be read.
bool attribute_names(int fd, std::vector<std::string>* names) {
    names->clear();
    std::string list;
    for (;;) {
        const ssize_t size = ::flistxattr(fd, nullptr, 0);
        if (size < 0) return errno == ENOTSUP;
        list.resize(static_cast<size_t>(size));
        const ssize_t n = size == 0 ? 0 : ::flistxattr(fd, list.data(), list.size());
        if (n >= 0) {
            list.resize(static_cast<size_t>(n));
            break;
        }
        if (errno != ERANGE) return false;  // ERANGE: the list grew meanwhile
    }
    for (size_t start = 0; start < list.size();) {
        const size_t end = list.find('\0', start);
        names->push_back(list.substr(start, end - start));
        start = end == std::string::npos ? list.size() : end + 1;
    }
    return true;
}

// Gives the file open as `to` exactly the extended attributes of the one open as `from`.
bool copy_attributes(int from, int to) {
    std::vector<std::string> names, present;
    if (!attribute_names(from, &names) || !attribute_names(to, &present)) return false;
    for (const std::string& name : names) {
        std::string value;
        ssize_t n;
        do {
            n = ::fgetxattr(from, name.c_str(), nullptr, 0);
            if (n < 0) return false;
            value.resize(static_cast<size_t>(n));
            n = n == 0 ? 0 : ::fgetxattr(from, name.c_str(), value.data(), value.size());
        } while (n < 0 && errno == ERANGE);
        if (n < 0 || ::fsetxattr(to, name.c_str(), value.data(), static_cast<size_t>(n), 0) != 0) {
            return false;
        }
    }
    // The new file may have been given some of its own (a directory's default access list).
    for (const std::string& name : present) {
        if (std::find(names.begin(), names.end(), name) == names.end() &&
            ::fremovexattr(to, name.c_str()) != 0) {
            return false;
        }
    }
    return true;
}

// The file a save writes. How is decided when it is opened, before the content is made: as a
// stream (a pipe, a device), by a new file that takes its name, or in place through the
// descriptor opened here. The file's directory is held open and every later step names the file
// relative to it, so the caller's path is resolved once.
class Target {
  public:
    explicit Target(const std::string& path) : path_(path) {
        // The system would read the path only up to a null byte, a file the caller did not
        // name; "" and a trailing "/" name no file to create.
        if (path.empty() || path.back() == '/' || path.find('\0') != std::string::npos ||
            !open_directory(path, AT_FDCWD)) {
            throw open_error(path);
        }
        fd_.reset(open_name(O_NOFOLLOW));
        const bool link = fd_.get() < 0 && errno == ELOOP;
        if (link) {
            // A link is followed as the create-or-truncate open follows it, with the kernel's
            // protections of links and shared directories, and a missing file it names is
            // created at once and empty. Nothing is ever removed again, as the link may have
            // been changed to name an existing file in between.
            reached(SaveStep::link_found);
            fd_.reset(open_name(O_CREAT));
            if (fd_.get() < 0) throw open_error(path);
        } else if (fd_.get() < 0 && errno != ENOENT) {
            throw open_error(path);  // a directory, a pipe without a reader, a protected file
        }
        if (!decide(link)) throw open_error(path);
        reached(SaveStep::opened);
    }

    // A save that does not complete leaves no new file behind.
    ~Target() { drop_replacement(); }
    Target(const Target&) = delete;
    Target& operator=(const Target&) = delete;

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
            // Another save put its file under the name since this one was opened: that file is
            // opened, without following a link, and the save starts over with it, so that the
            // last save wins. Anything else under the name is refused.
            fd_.reset(attempt < kAttempts ? open_name(O_NOFOLLOW) : -1);
            if (fd_.get() < 0 || !decide(false) || way_ == Way::stream) throw write_error(path_);
        }
    }

  private:
    enum class Way { stream, replace, in_place };
    enum class Done { named, in_place, moved };

    int open_name(int flags) {
        return retried([&] { return ::openat(dir_.get(), name_.c_str(), kOpenFlags | flags, 0666); });
    }

    // Holds the directory of `path`, relative to `at`, reached as open reaches it, and keeps
    // its last component as the name.
    bool open_directory(const std::string& path, int at) {
        const size_t slash = path.rfind('/');
        const std::string parent = slash == std::string::npos ? "."
                                   : slash == 0               ? "/"
                                                              : path.substr(0, slash);
        name_ = slash == std::string::npos ? path : path.substr(slash + 1);
        dir_.reset(retried(
            [&] { return ::openat(at, parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC); }));
        return dir_.get() >= 0;
    }

    // Decides how the file opened (none: a missing name) is written. False when it may not be:
    // a file the kernel protects from this process, which a link followed has already checked.
    bool decide(bool link) {
        way_ = Way::replace;
        if (fd_.get() >= 0) {
            const int flags = ::fcntl(fd_.get(), F_GETFL);
            struct stat dir;
            if (::fstat(fd_.get(), &st_) != 0 || flags < 0 ||
                ::fcntl(fd_.get(), F_SETFL, flags & ~O_NONBLOCK) != 0 ||
                ::fstat(dir_.get(), &dir) != 0 || (!link && protected_file(dir, st_))) {
                return false;
            }
            way_ = !S_ISREG(st_.st_mode) ? Way::stream
                   : replaceable(link)   ? Way::replace
                                         : Way::in_place;
        }
        if (way_ != Way::replace || temp_.get() >= 0) return true;
        // The new file is an unnamed one where the file system has them, made now, as a kill
        // leaves nothing of it; elsewhere a named one is made once the content is ready.
        temp_.reset(retried(
            [&] { return ::openat(dir_.get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666); }));
        // Naming it goes through its descriptor link.
        if (temp_.get() >= 0 && ::access(descriptor_path(temp_.get()).c_str(), F_OK) != 0) {
            temp_.reset(-1);
            errno = EOPNOTSUPP;
        }
        // A directory that takes no new file leaves an existing file to be written in place.
        if (temp_.get() < 0 && no_second_file(errno)) {
            way_ = Way::in_place;
            return fd_.get() >= 0;
        }
        return true;
    }

    // Whether the regular file opened can be replaced: one link, a name in a directory that
    // still holds it, reached without a descriptor link, and a directory that lets this process
    // rename over it: in a sticky one, only the file's owner, the directory's and root may.
    bool replaceable(bool link) {
        struct statx now;
        struct stat dir;
        if (st_.st_nlink != 1 || (link && !follow_links()) || !look(dir_.get(), name_, &now) ||
            !is_the_file(now, st_) || ::fstat(dir_.get(), &dir) != 0) {
            return false;
        }
        const uid_t me = ::geteuid();
        return !(dir.st_mode & S_ISVTX) || me == 0 || st_.st_uid == me || dir.st_uid == me;
    }

    // Moves the directory and name held from the link there to the file it leads to, link by
    // link. False where a link lies in the proc file system (a descriptor link, as /dev/stdout
    // leads to: the file is whatever the descriptor holds, which no name replaces), or cannot be
    // read. The links are read again after the open that followed them, but whatever they say
    // now, the file written stays the one opened, replaced only where the name found holds it.
    bool follow_links() {
        for (int hop = 0; hop < 40; ++hop) {
            struct statfs where;
            if (::fstatfs(dir_.get(), &where) != 0 || where.f_type == PROC_SUPER_MAGIC) return false;
            std::string to(PATH_MAX, '\0');
            const ssize_t n = ::readlinkat(dir_.get(), name_.c_str(), to.data(), to.size());
            if (n < 0) return errno == EINVAL;  // not a link: the file itself
            to.resize(static_cast<size_t>(n));
            if (!open_directory(to, to[0] == '/' ? AT_FDCWD : dir_.get())) return false;
        }
        return false;
    }

    // Gives the new file a name no one can guess (".vorna-<random>.tmp", short, so that a target
    // name near the length limit still leaves room) through `make`, which makes `name` in the
    // directory or fails with errno set (EEXIST: taken, another one is tried).
    bool new_temporary_name(bool (Target::*make)(const std::string&)) {
        for (int attempt = 0; attempt < 8; ++attempt) {
            uint64_t bits[2];
            if (::getrandom(bits, sizeof bits, 0) != sizeof bits) return false;
            char name[48];
            std::snprintf(name, sizeof name, ".vorna-%016llx%016llx.tmp",
                          static_cast<unsigned long long>(bits[0]),
                          static_cast<unsigned long long>(bits[1]));
            if ((this->*make)(name)) {
                temp_name_ = name;
                return true;
            }
            if (errno != EEXIST) return false;
        }
        return false;
    }

    // A named new file, readable by its owner only until it is whole.
    bool create(const std::string& name) {
        temp_.reset(retried([&] {
            return ::openat(dir_.get(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                            0600);
        }));
        return temp_.get() >= 0;
    }

    // A name for the unnamed new file, which never replaces anything.
    bool link(const std::string& name) {
        return retried([&] {
                   return ::linkat(AT_FDCWD, descriptor_path(temp_.get()).c_str(), dir_.get(),
                                   name.c_str(), AT_SYMLINK_FOLLOW);
               }) == 0;
    }

    // Closes the new file and removes its name, if it has one: only a file made here has one.
    void drop_replacement() {
        temp_.reset(-1);
        written_ = false;
        if (!temp_name_.empty()) ::unlinkat(dir_.get(), temp_name_.c_str(), 0);
        temp_name_.clear();
    }

    // What the name holds when it is no longer the file opened (or free): another regular file,
    // put there by another save, starts the save over, keeping the new file written; anything
    // else refuses it.
    Done moved() {
        struct statx now;
        if (!look(dir_.get(), name_, &now) || !S_ISREG(now.stx_mode)) throw write_error(path_);
        return Done::moved;
    }

    // Writes the new file, unless an earlier attempt did, and gives it the name. Returns
    // `in_place`, with the new file gone and the target untouched, when the target is to be
    // written in place instead, and `moved` when another regular file has taken the name.
    Done replace(const char* data, size_t size) {
        const bool existing = fd_.get() >= 0;
        if (temp_.get() < 0 && !new_temporary_name(&Target::create)) {
            // The directory takes no new file: a missing name cannot be made.
            if (!no_second_file(errno)) throw write_error(path_);
            if (!existing) throw open_error(path_);
            return Done::in_place;
        }
        // The new file gets the owner, group and extended attributes of the one it replaces
        // before it is written, so writing drops a capability, as writing the file would.
        struct stat now;
        if (existing && (::fstat(temp_.get(), &now) != 0 ||
                         ((now.st_uid != st_.st_uid || now.st_gid != st_.st_gid) &&
                          ::fchown(temp_.get(), st_.st_uid, st_.st_gid) != 0) ||
                         !copy_attributes(fd_.get(), temp_.get()))) {
            drop_replacement();
            return Done::in_place;
        }
        // The whole length is reserved first, so that no room for a second copy shows before
        // anything is written. The file is not forced to the disk: that would cost more than
        // the whole save.
        int error = 0;
        if (!written_ && size > 0 && retried([&] {
                return ::fallocate(temp_.get(), 0, 0, static_cast<off_t>(size));
            }) != 0 && errno != EOPNOTSUPP && errno != ENOSYS && errno != EINVAL) {
            error = errno;
        }
        if (!written_ && error == 0 && !write_all(temp_.get(), data, size)) error = errno;
        if (!written_ && error == 0) reached(SaveStep::replacement_written);
        // The mode is set once the content is whole (writing drops the set-user and set-group
        // bits), and kept only where the file system kept it, with the owner. An unnamed file
        // for a new name has the mode open gives.
        const mode_t mode = existing ? st_.st_mode & 07777 : new_file_mode();
        if (error == 0 && (existing || !temp_name_.empty()) &&
            (::fchmod(temp_.get(), mode) != 0 || ::fstat(temp_.get(), &now) != 0 ||
             (now.st_mode & 07777) != mode ||
             (existing && (now.st_uid != st_.st_uid || now.st_gid != st_.st_gid)))) {
            error = EPERM;
        }
        // Closing a copy of the descriptor hands every byte to the file system and shows the
        // write errors some of them report only when a file is closed, before it has the name.
        if (error == 0 && ::close(::dup(temp_.get())) != 0) error = errno;
        if (error == 0 && existing && temp_name_.empty() && !new_temporary_name(&Target::link)) {
            error = errno;
        }
        if (error != 0) {
            drop_replacement();
            if (existing && no_second_file(error)) return Done::in_place;
            throw write_error(path_);
        }
        written_ = true;
        int result;
        struct statx there;
        if (existing) {
            // The name must still be the file opened: a link planted since is not followed,
            // and a file put there since is opened anew.
            if (!look(dir_.get(), name_, &there) || !is_the_file(there, st_)) return moved();
            result = retried([&] {
                return ::renameat(dir_.get(), temp_name_.c_str(), dir_.get(), name_.c_str());
            });
        } else if (temp_name_.empty()) {
            result = link(name_) ? 0 : -1;
        } else {
            // A file system without a rename that replaces nothing gets a hard link, which
            // never replaces either.
            result = retried([&] {
                return ::renameat2(dir_.get(), temp_name_.c_str(), dir_.get(), name_.c_str(),
                                   RENAME_NOREPLACE);
            });
            if (result != 0 && (errno == EINVAL || errno == ENOSYS)) {
                result = retried([&] {
                    return ::linkat(dir_.get(), temp_name_.c_str(), dir_.get(), name_.c_str(), 0);
                });
                if (result == 0) return drop_replacement(), Done::named;
            }
        }
        if (result != 0 && errno == EEXIST) return moved();
        if (result != 0) {
            error = errno;
            drop_replacement();
            // A directory that refuses the rename (a security module) leaves the file in place.
            if (existing && (error == EACCES || error == EPERM || error == EBUSY)) {
                return Done::in_place;
            }
            throw write_error(path_);
        }
        temp_name_.clear();
        return Done::named;
    }

    // Writes the regular file opened through its own descriptor, ordered so that a stop at any
    // point leaves the old model, the new one or a file load refuses: the length is reserved
    // (refused with the file as it was when it cannot be), the head made invalid, the rest
    // written, the true head written last and the file cut to its new length. Load ignores
    // bytes after a whole block, so a stop before the cut loads as the new model.
    void write_in_place(const char* data, size_t size) {
        struct stat st;
        const int fd = fd_.get();
        const off_t from = ::fstat(fd, &st) == 0 ? reserve(fd, st.st_size, data, size) : -1;
        bool ok = from >= 0;
        if (ok) reached(SaveStep::in_place_reserved);
        ok = ok && write_all(fd, kRefusedHead, kHead, 0);
        if (ok) reached(SaveStep::in_place_head_refused);
        if (ok && from > static_cast<off_t>(kHead)) {
            ok = write_all(fd, data + kHead, static_cast<size_t>(from) - kHead, kHead);
        }
        if (ok) reached(SaveStep::in_place_body_written);
        ok = ok && write_all(fd, data, std::min(size, kHead), 0);
        if (ok) reached(SaveStep::in_place_head_written);
        ok = ok && retried([&] { return ::ftruncate(fd, static_cast<off_t>(size)); }) == 0;
        ok = fd_.close() && ok;
        if (!ok) throw write_error(path_);
    }

    const std::string& path_;
    Fd dir_;             // the directory holding the name
    std::string name_;   // the name of the file in it
    Fd fd_;              // the file opened; none when the name is missing
    struct stat st_{};   // what it was when opened
    Way way_ = Way::replace;
    Fd temp_;                // the new file
    std::string temp_name_;  // its name, while it has one of its own
    bool written_ = false;   // it holds the whole content
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
    if (path.find('\0') != std::string::npos) {
        // The system would read the path only up to the null byte, a file the caller did not
        // name.
        throw std::invalid_argument("Invalid model file path, it holds a null byte: " +
                                    shown(path));
    }
    // Opening a pipe must not wait for a writer: it is refused below like anything else that is
    // not a regular file (a directory, a device), as none can tell its size.
    Fd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st;
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        throw std::runtime_error("File not found.");
    }
    if (st.st_size <= 0) throw std::runtime_error("File is empty.");
    if (static_cast<uint64_t>(st.st_size) > kMaxFileSize) {
        throw std::runtime_error("File is too large.");
    }
    Bytes content{std::unique_ptr<char[]>(new char[static_cast<size_t>(st.st_size)]),
                  static_cast<size_t>(st.st_size)};
    size_t done = 0;
    while (done < content.size) {
        const ssize_t n = ::read(fd.get(), content.data.get() + done, content.size - done);
        if (n < 0 && errno == EINTR) continue;
        // The file shrank or could not be read.
        if (n <= 0) throw std::runtime_error("File not found.");
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
