#include "corelib/model_file.h"

#include <fcntl.h>
#include <snappy-sinksource.h>
#include <snappy.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
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

// The file a path names once symbolic links are followed, so that saving through a link
// replaces the file it points to and leaves the link in place. Called only once the path is
// known to resolve (or to end in a missing file), so a loop cannot reach here.
std::string link_target(std::string path) {
    for (int depth = 0; depth < 40; ++depth) {
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
        std::vector<char> buf(static_cast<size_t>(st.st_size > 0 ? st.st_size : 255) + 1);
        const ssize_t n = ::readlink(path.c_str(), buf.data(), buf.size());
        if (n < 0 || static_cast<size_t>(n) >= buf.size()) return path;
        std::string target(buf.data(), static_cast<size_t>(n));
        if (target.empty() || target.front() != '/') {
            const size_t slash = path.rfind('/');
            if (slash != std::string::npos) target = path.substr(0, slash + 1) + target;
        }
        path = std::move(target);
    }
    return path;
}

// A new file next to `target`, created exclusively with a short name of its own
// ("<dir>/.vorna-<pid>-<n>.tmp"), so that a target name near the length limit still leaves room.
// Returns -1 with errno set when none can be created.
int create_temporary(const std::string& target, std::string* name) {
    static std::atomic<unsigned> counter{0};
    const size_t slash = target.rfind('/');
    const std::string dir =
        slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    for (int attempt = 0; attempt < 100; ++attempt) {
        *name = dir + ".vorna-" + std::to_string(::getpid()) + "-" +
                std::to_string(counter.fetch_add(1)) + ".tmp";
        const int fd = ::open(name->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
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

// Writes `data` into the file open as `fd` itself. A regular file is reserved first and cut to
// the new length after the bytes are written rather than emptied first, so a reader never sees
// it empty; a device or pipe is only written.
void write_in_place(Fd& fd, const std::string& path, const char* data, size_t size) {
    struct stat st;
    bool ok = ::fstat(fd.get(), &st) == 0;
    if (ok && S_ISREG(st.st_mode)) {
        const off_t head = reserve(fd.get(), st.st_size, data, size);
        ok = head >= 0 && write_all(fd.get(), data, static_cast<size_t>(head), 0) &&
             ::ftruncate(fd.get(), static_cast<off_t>(size)) == 0;
    } else {
        ok = ok && write_all(fd.get(), data, size);
    }
    ok = fd.close() && ok;
    if (!ok) throw write_error(path);
}

// The file a save writes, opened before the content is made: a file that exists must open for
// writing (its protection is what refuses the save, as opening it would), and a file that cannot
// be replaced is written through this same descriptor.
class Target {
  public:
    explicit Target(const std::string& path) : path_(path) {
        // The system would read the path only up to the null byte, a file the caller did not
        // name.
        if (path.find('\0') != std::string::npos) throw open_error(path);
        // Not truncated: the old content stays until the new one is whole.
        fd_.reset(::open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC));
        if (fd_.get() < 0) {
            // Only a missing file (or a link to one) is created, by the rename; anything else
            // (a directory, a symbolic-link loop, a protected file) is refused.
            if (errno != ENOENT) throw open_error(path);
        } else if (::fstat(fd_.get(), &st_) != 0) {
            throw open_error(path);
        }
    }

    void write(const char* data, size_t size) {
        const bool exists = fd_.get() >= 0;
        // A rename would give the other names of the file the old content, and a device or pipe
        // cannot be replaced at all.
        if (exists && (!S_ISREG(st_.st_mode) || st_.st_nlink > 1)) {
            write_in_place(fd_, path_, data, size);
            return;
        }
        if (replace(data, size)) return;
        write_in_place(fd_, path_, data, size);
    }

  private:
    enum class Step { create, write, rename };

    // Whether a step of replacing the file that failed with `error` leaves writing it in place:
    // the directory takes no new file, the file system has no room or quota for a second copy,
    // or the file cannot be renamed over (another user's file in a sticky directory, a file in
    // use as a mount point). A missing file has nothing to write in place.
    bool in_place_after(Step step, int error) const {
        if (fd_.get() < 0) return false;
        if (error == ENOSPC || error == EDQUOT) return true;
        switch (step) {
            case Step::create:
                return error == EACCES || error == EPERM || error == EROFS;
            case Step::rename:
                return error == EACCES || error == EPERM || error == EBUSY;
            case Step::write:
                break;
        }
        return false;
    }

    // Replaces the target with `data` through a temporary file renamed over it. Returns false,
    // having removed the temporary file, when the file is to be written in place instead.
    bool replace(const char* data, size_t size) {
        const std::string target = link_target(path_);
        std::string temporary;
        Fd fd(create_temporary(target, &temporary));
        if (fd.get() < 0) {
            if (in_place_after(Step::create, errno)) return false;
            throw open_error(path_);
        }
        // The new file keeps the permissions of the one it replaces. Every byte is handed to
        // the system and the close is checked (some file systems report write errors only
        // there). The file is not forced to the disk: that would cost more than the whole save,
        // and the failures a save must survive (a full disk, a size limit, an error while
        // serializing) all show before the rename.
        bool ok = fd_.get() < 0 || ::fchmod(fd.get(), st_.st_mode & 07777) == 0;
        ok = ok && write_all(fd.get(), data, size);
        int error = ok ? 0 : errno;
        if (!fd.close() && ok) {
            ok = false;
            error = errno;
        }
        Step step = Step::write;
        if (ok) {
            step = Step::rename;
            ok = ::rename(temporary.c_str(), target.c_str()) == 0;
            error = errno;
        }
        if (ok) return true;
        ::unlink(temporary.c_str());
        if (in_place_after(step, error)) return false;
        throw write_error(path_);
    }

    const std::string& path_;
    Fd fd_;
    struct stat st_{};
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
