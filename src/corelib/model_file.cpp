#include "corelib/model_file.h"

#include <fcntl.h>
#include <snappy.h>
#include <sys/stat.h>
#include <unistd.h>

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
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    // Closes now and reports whether the close succeeded (a late write error shows here).
    bool close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

  private:
    int fd_;
};

std::invalid_argument open_error(const std::string& path) {
    return std::invalid_argument("Unable to open file for saving model: " + path);
}

std::runtime_error write_error(const std::string& path) {
    return std::runtime_error("Unable to write model file: " + path);
}

bool write_all(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
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

// Writes `data` into the file at `path` itself, creating it when missing. A regular file is
// cut to the new length after the bytes are written rather than emptied first, so a reader never
// sees it empty; a device or pipe is only written.
void write_in_place(const std::string& path, const char* data, size_t size) {
    Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
    if (fd.get() < 0) throw open_error(path);
    struct stat st;
    const bool regular = ::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode);
    bool ok = write_all(fd.get(), data, size);
    ok = ok && (!regular || ::ftruncate(fd.get(), static_cast<off_t>(size)) == 0);
    ok = fd.close() && ok;
    if (!ok) throw write_error(path);
}

// Replaces the regular file `target` (reached through `path`) with `data` through a temporary
// file renamed over it; `old` is the file replaced, null when there is none. Returns false,
// having touched nothing, when the directory takes no new file (no write permission, a read-only
// file system), so that the caller writes in place as opening the path would.
bool replace_file(const std::string& path, const std::string& target, const struct stat* old,
                  const char* data, size_t size) {
    std::string temporary;
    Fd fd(create_temporary(target, &temporary));
    if (fd.get() < 0) {
        if (errno == EACCES || errno == EPERM || errno == EROFS) return false;
        throw open_error(path);
    }
    // The new file keeps the permissions of the one it replaces.
    bool ok = old == nullptr || ::fchmod(fd.get(), old->st_mode & 07777) == 0;
    // Every byte is handed to the system and the close is checked (some file systems report
    // write errors only there). The file is not forced to the disk: that would cost more than
    // the whole save, and the failures a save must survive (a full disk, a size limit, an
    // error while serializing) all show before the rename.
    ok = ok && write_all(fd.get(), data, size);
    ok = fd.close() && ok;
    ok = ok && ::rename(temporary.c_str(), target.c_str()) == 0;
    if (!ok) {
        ::unlink(temporary.c_str());
        throw write_error(path);
    }
    return true;
}

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
    size_t length = 0;
    if (!snappy::GetUncompressedLength(data, size, &length) ||
        length > size * kMaxExpansion + kExpansionSlack) {
        throw std::invalid_argument("Cannot uncompress corrupted serialization buffer");
    }
    if (length == 0) return Model::from_buffer(nullptr, 0);
    // RawUncompress reads the length again from these same bytes and never writes beyond it.
    std::unique_ptr<char[]> buffer(new char[length]);
    if (!snappy::RawUncompress(data, size, buffer.get())) {
        // Bytes after the compressed block make the decompressor report failure although the
        // block itself is whole, so the result is decided by what the buffer holds. Decoding
        // again into a zeroed buffer leaves no byte undefined: a damaged block leaves the
        // buffer partly zero, which from_buffer refuses.
        std::memset(buffer.get(), 0, length);
        (void)snappy::RawUncompress(data, size, buffer.get());
    }
    return Model::from_buffer(buffer.get(), length);
}

Bytes read(const std::string& path) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st;
    // A directory opens but has no content to read.
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || S_ISDIR(st.st_mode)) {
        throw std::runtime_error("File not found.");
    }
    // A file that cannot tell its size (a pipe, for one) is not a model file.
    const off_t end = ::lseek(fd.get(), 0, SEEK_END);
    if (end < 0 || ::lseek(fd.get(), 0, SEEK_SET) != 0) throw std::runtime_error("File not found.");
    if (end == 0) throw std::runtime_error("File is empty.");
    if (static_cast<uint64_t>(end) > kMaxFileSize) throw std::runtime_error("File is too large.");
    Bytes content{std::unique_ptr<char[]>(new char[static_cast<size_t>(end)]),
                  static_cast<size_t>(end)};
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
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        // Opening would fail as well: a symbolic-link loop, a path through a file, a directory
        // that cannot be searched. Only a missing file (or a link to one) is created.
        if (errno != ENOENT) throw open_error(path);
        if (!replace_file(path, link_target(path), nullptr, data, size)) {
            write_in_place(path, data, size);
        }
        return;
    }
    if (S_ISDIR(st.st_mode)) throw open_error(path);
    // A rename would give the other names of the file the old content, and a device or pipe
    // cannot be replaced at all.
    if (!S_ISREG(st.st_mode) || st.st_nlink > 1) {
        write_in_place(path, data, size);
        return;
    }
    if (!replace_file(path, link_target(path), &st, data, size)) write_in_place(path, data, size);
}

void save(const Model& model, const std::string& path, uint64_t limit, uint64_t file_limit) {
    // Everything that can fail before the file is touched happens first.
    const Bytes content = encode(model.serialize(), limit, file_limit);
    write(path, content.data.get(), content.size);
}

std::unique_ptr<Model> load(const std::string& path) {
    const Bytes content = read(path);
    return decode(content.data.get(), content.size);
}

}  // namespace vorna::model_file
