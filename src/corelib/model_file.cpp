#include "corelib/model_file.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <snappy-sinksource.h>
#include <snappy.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
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
        // Interrupted, the descriptor is closed all the same.
        return ::close(fd) == 0 || errno == EINTR;
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

// Makes sure that the regular file open as `fd`, `old` bytes long, can hold the `size` bytes of
// `data` before any of its bytes is overwritten, so that a full file system, a quota or a
// file-size limit refuses the save while the file still holds the old model. Returns the number
// of leading bytes of `data` still to be written (the rest is already in the file), or -1, with
// the file as it was, when it cannot hold them.
//
// The new length is reserved on the file itself. A file system that cannot reserve (EOPNOTSUPP;
// EINVAL or ENOSYS from some that do not implement it) is not refused, as most network and user
// space file systems would then never take an in-place save: there the bytes past the old end
// are written first, which touches no old byte, and once the file is that long an overwrite of
// its old bytes takes no new space (short of a copy-on-write file system, which nothing short of
// a reservation covers). The C library's emulation of a reservation is not used: it cannot read
// a file opened only for writing, and it writes zeros over bytes it has just read.
off_t reserve(int fd, off_t old, const char* data, size_t size) {
    const off_t length = static_cast<off_t>(size);
    int result;
    do {
        result = ::fallocate(fd, 0, 0, length);
    } while (result != 0 && errno == EINTR);
    if (result == 0) return length;
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

void reached(SaveStep step) {
    if (const SaveHook hook = save_hook.load()) hook(step);
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

// Opens for writing without truncating, and without waiting for a reader of a pipe.
constexpr int kOpenFlags = O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

// What a file written in place holds at its head until the rest is written: the first five
// bytes of a length that does not fit 32 bits, which load refuses whatever follows.
constexpr char kRefusedHead[5] = {'\xff', '\xff', '\xff', '\xff', '\xff'};
constexpr size_t kHead = sizeof kRefusedHead;

// Errors of creating or filling a second file that leave writing the first in place: the
// directory takes no new file, or there is no room, quota or size allowance for a second copy.
bool no_second_file(int error) {
    return error == EACCES || error == EPERM || error == EROFS || error == ENOSPC ||
           error == EDQUOT || error == EFBIG;
}

std::string descriptor_path(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// Whether opening `path` passes through a descriptor link (/proc/<pid>/fd/N, which /dev/stdout
// names, and the like): such a target is whatever the descriptor holds, which its name in a
// directory, if it has one, does not replace. Where this cannot be told (a kernel without
// openat2), it is taken as one. The path is read again only to tell this: whatever it reaches
// now, the file written stays the one that was opened.
bool through_descriptor_link(const std::string& path) {
    struct open_how how{};
    how.flags = O_PATH | O_CLOEXEC;
    how.resolve = RESOLVE_NO_MAGICLINKS;
    const int fd = static_cast<int>(
        retried([&] { return ::syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how); }));
    if (fd < 0) return true;
    ::close(fd);
    return false;
}

// Whether `name` in the directory `dir` is the file `st` itself (not a link to it), and not a
// mount point, which cannot be renamed over.
bool names_the_file(int dir, const std::string& name, const struct stat& st) {
    struct statx now;
    return ::statx(dir, name.c_str(), AT_SYMLINK_NOFOLLOW, STATX_INO, &now) == 0 &&
           ::makedev(now.stx_dev_major, now.stx_dev_minor) == st.st_dev &&
           now.stx_ino == st.st_ino && !(now.stx_attributes & STATX_ATTR_MOUNT_ROOT);
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

// The file a save writes. Everything is decided here, before the content is made, against the
// file that was opened: whether it is written as a stream (a pipe, a device), replaced by a new
// file renamed over it, or written in place through the descriptor opened here.
class Target {
  public:
    explicit Target(const std::string& path) : path_(path) {
        // The system would read the path only up to a null byte, a file the caller did not
        // name; "" and a trailing "/" name no file to create.
        if (path.empty() || path.back() == '/' || path.find('\0') != std::string::npos) {
            throw open_error(path);
        }
        fd_.reset(retried([&] { return ::open(path.c_str(), kOpenFlags); }));
        if (fd_.get() < 0) {
            // Only a missing file is created; anything else (a directory, a link loop, a pipe
            // without a reader, a protected file) is refused.
            if (errno != ENOENT) throw open_error(path);
            open_missing();
        }
        if (fd_.get() >= 0) {
            const int flags = ::fcntl(fd_.get(), F_GETFL);
            if (::fstat(fd_.get(), &st_) != 0 || flags < 0 ||
                ::fcntl(fd_.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
                throw open_error(path);
            }
            way_ = !S_ISREG(st_.st_mode) ? Way::stream
                   : replaceable()       ? Way::replace
                                         : Way::in_place;
        }
        if (way_ == Way::replace && !prepare_replacement()) {
            // A missing file has nothing to write in place.
            if (fd_.get() < 0) throw open_error(path);
            way_ = Way::in_place;
        }
        reached(SaveStep::opened);
    }

    // A save that does not complete leaves no new file behind, and none it created through a
    // link to a missing file.
    ~Target() {
        drop_replacement();
        if (created_ && dir_.get() >= 0 && names_the_file(dir_.get(), name_, st_)) {
            ::unlinkat(dir_.get(), name_.c_str(), 0);
        }
    }
    Target(const Target&) = delete;
    Target& operator=(const Target&) = delete;

    void write(const char* data, size_t size) {
        if (way_ == Way::stream) {
            const bool ok = write_all(fd_.get(), data, size);
            if (!fd_.close() || !ok) throw write_error(path_);
        } else if (way_ != Way::replace || !replace(data, size)) {
            write_in_place(data, size);
        }
        created_ = false;
    }

  private:
    enum class Way { stream, replace, in_place };

    // The path names no file: its directory, opened as open would reach it, and its last
    // component, which the replacement takes at the end. A link there points to a missing
    // file, or something appeared since: that is opened as open would, creating the file the
    // link names.
    void open_missing() {
        const size_t slash = path_.rfind('/');
        const std::string parent = slash == std::string::npos ? "."
                                   : slash == 0               ? "/"
                                                              : path_.substr(0, slash);
        name_ = slash == std::string::npos ? path_ : path_.substr(slash + 1);
        dir_.reset(
            retried([&] { return ::open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC); }));
        struct stat st;
        if (dir_.get() < 0) throw open_error(path_);
        if (::fstatat(dir_.get(), name_.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
            // A link open could not follow names a file that is missing, so this creates it.
            created_ = S_ISLNK(st.st_mode);
            fd_.reset(retried(
                [&] { return ::openat(dir_.get(), name_.c_str(), kOpenFlags | O_CREAT, 0666); }));
            if (fd_.get() < 0) throw open_error(path_);
            dir_.reset(-1);  // the file opened is found again from its descriptor
        } else if (errno != ENOENT) {
            throw open_error(path_);
        }
    }

    // Whether the regular file opened can be replaced: one link, a name in a directory that
    // the kernel gives for the descriptor and that still names it, reached without a descriptor
    // link, and a directory that lets this process rename over it.
    bool replaceable() {
        if (st_.st_nlink != 1 || through_descriptor_link(path_)) return false;
        char link[PATH_MAX + 1];
        const ssize_t n = ::readlink(descriptor_path(fd_.get()).c_str(), link, sizeof link);
        if (n <= 0 || static_cast<size_t>(n) >= sizeof link || link[0] != '/') return false;
        const std::string where(link, static_cast<size_t>(n));
        const size_t slash = where.rfind('/');
        name_ = where.substr(slash + 1);
        const std::string parent = slash == 0 ? "/" : where.substr(0, slash);
        dir_.reset(
            retried([&] { return ::open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC); }));
        // An unlinked file's name ends in " (deleted)", which names nothing or another file.
        struct stat dir;
        if (dir_.get() < 0 || !names_the_file(dir_.get(), name_, st_) ||
            ::fstat(dir_.get(), &dir) != 0) {
            return false;
        }
        // In a sticky directory only the file's owner, the directory's and a privileged user
        // may rename over a file.
        const uid_t me = ::geteuid();
        return !(dir.st_mode & S_ISVTX) || me == 0 || st_.st_uid == me || dir.st_uid == me;
    }

    // Creates the new file in the directory and, for an existing target, gives it the target's
    // owner, group, mode and extended attributes. False, with nothing left, when the directory
    // takes no new file or the new file cannot be given them.
    bool prepare_replacement() {
        temp_.reset(retried(
            [&] { return ::openat(dir_.get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666); }));
        // Naming it at the end goes through its descriptor link.
        if (temp_.get() >= 0 && ::access(descriptor_path(temp_.get()).c_str(), F_OK) != 0) {
            temp_.reset(-1);
            errno = EOPNOTSUPP;
        }
        // A file system without unnamed files gets a named one.
        if (temp_.get() < 0 && !no_second_file(errno)) new_temporary_name(&Target::create);
        if (temp_.get() < 0) return false;
        if (fd_.get() < 0) return true;
        struct stat now;
        bool ok = ::fstat(temp_.get(), &now) == 0;
        if (ok && (now.st_uid != st_.st_uid || now.st_gid != st_.st_gid)) {
            ok = ::fchown(temp_.get(), st_.st_uid, st_.st_gid) == 0;
        }
        ok = ok && ::fchmod(temp_.get(), st_.st_mode & 07777) == 0 &&
             copy_attributes(fd_.get(), temp_.get()) && ::fstat(temp_.get(), &now) == 0 &&
             now.st_uid == st_.st_uid && now.st_gid == st_.st_gid &&
             (now.st_mode & 07777) == (st_.st_mode & 07777);
        if (!ok) drop_replacement();
        return ok;
    }

    // Gives the new file a name of its own ("<dir>/.vorna-<pid>-<n>.tmp", short, so that a
    // target name near the length limit still leaves room) through `make`, which makes `name`
    // in the directory or fails with errno set (EEXIST: taken, another one is tried).
    bool new_temporary_name(bool (Target::*make)(const std::string&)) {
        static std::atomic<unsigned> counter{0};
        for (int attempt = 0; attempt < 100; ++attempt) {
            const std::string name = ".vorna-" + std::to_string(::getpid()) + "-" +
                                     std::to_string(counter.fetch_add(1)) + ".tmp";
            if ((this->*make)(name)) {
                temp_name_ = name;
                return true;
            }
            if (errno != EEXIST) return false;
        }
        return false;
    }

    bool create(const std::string& name) {
        temp_.reset(retried([&] {
            return ::openat(dir_.get(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                            0666);
        }));
        return temp_.get() >= 0;
    }

    bool link(const std::string& name) {
        return retried([&] {
                   return ::linkat(AT_FDCWD, descriptor_path(temp_.get()).c_str(), dir_.get(),
                                   name.c_str(), AT_SYMLINK_FOLLOW);
               }) == 0;
    }

    // Closes the new file and removes its name, if it has one.
    void drop_replacement() {
        temp_.reset(-1);
        if (!temp_name_.empty()) ::unlinkat(dir_.get(), temp_name_.c_str(), 0);
        temp_name_.clear();
    }

    // Writes the new file and renames it over the target. Returns false, with the new file
    // gone and the target untouched, when the target is to be written in place instead.
    bool replace(const char* data, size_t size) {
        // The whole length is reserved first, so that no room for a second copy shows before
        // anything is written. The file is not forced to the disk: that would cost more than
        // the whole save.
        int error = 0;
        if (size > 0 && retried([&] {
                            return ::fallocate(temp_.get(), 0, 0, static_cast<off_t>(size));
                        }) != 0 &&
            errno != EOPNOTSUPP && errno != ENOSYS && errno != EINVAL) {
            error = errno;
        }
        if (error == 0 && !write_all(temp_.get(), data, size)) error = errno;
        // Writing drops the set-user and set-group bits of a file.
        if (error == 0 && (st_.st_mode & 06000) &&
            ::fchmod(temp_.get(), st_.st_mode & 07777) != 0) {
            error = EPERM;
        }
        if (error == 0) {
            reached(SaveStep::replacement_written);
            // An unnamed file is given a name only now; every byte is handed to the system and
            // the close checked (some file systems report write errors only there).
            if (temp_name_.empty() && !new_temporary_name(&Target::link)) error = errno;
            if (error == 0 && !temp_.close()) error = errno;
        }
        if (error != 0) {
            drop_replacement();
            if (fd_.get() >= 0 && no_second_file(error)) return false;
            throw write_error(path_);
        }
        if (fd_.get() >= 0) {
            // The name must still be the file opened: a link planted since is not followed,
            // and a file put there since is not replaced.
            if (!names_the_file(dir_.get(), name_, st_)) {
                drop_replacement();
                throw open_error(path_);
            }
            if (retried([&] {
                    return ::renameat(dir_.get(), temp_name_.c_str(), dir_.get(), name_.c_str());
                }) != 0) {
                error = errno;
                drop_replacement();
                if (error == EACCES || error == EPERM || error == EBUSY) return false;
                throw write_error(path_);
            }
        } else {
            // Nothing that appeared under the name since is replaced. A file system without
            // that kind of rename gets a hard link, which never replaces either.
            bool linked = false;
            int result = retried([&] {
                return ::renameat2(dir_.get(), temp_name_.c_str(), dir_.get(), name_.c_str(),
                                   RENAME_NOREPLACE);
            });
            if (result != 0 && (errno == EINVAL || errno == ENOSYS)) {
                result = retried([&] {
                    return ::linkat(dir_.get(), temp_name_.c_str(), dir_.get(), name_.c_str(), 0);
                });
                linked = result == 0;
            }
            if (result != 0) {
                error = errno;
                drop_replacement();
                if (error == EEXIST) throw open_error(path_);
                throw write_error(path_);
            }
            if (linked) ::unlinkat(dir_.get(), temp_name_.c_str(), 0);
        }
        temp_name_.clear();
        return true;
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
    Fd fd_;             // the file opened; none when it is missing
    struct stat st_{};  // what it was when opened
    Way way_ = Way::replace;
    Fd dir_;                 // replacing: the directory holding the target's name
    std::string name_;       // and that name
    Fd temp_;                // the new file
    std::string temp_name_;  // its name, while it has one
    bool created_ = false;   // the file opened was created here, through a link, and not written
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
