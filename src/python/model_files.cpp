#include "python/model_files.h"

#include <fcntl.h>
#include <snappy.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <vector>

namespace vorna::python {

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
// replaces the file it points to and leaves the link in place.
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

// A new file next to `target`, created exclusively: "<dir>/.<name>.<pid>.<n>.tmp".
int create_temporary(const std::string& target, std::string* name) {
    static std::atomic<unsigned> counter{0};
    const size_t slash = target.rfind('/');
    const std::string dir =
        slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    for (int attempt = 0; attempt < 100; ++attempt) {
        *name = dir + "." + base + "." + std::to_string(::getpid()) + "." +
                std::to_string(counter.fetch_add(1)) + ".tmp";
        const int fd = ::open(name->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

// Writes `data` to `path` in place (devices and pipes, which cannot be replaced).
void write_in_place(const std::string& path, const char* data, size_t size) {
    Fd fd(::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
    if (fd.get() < 0) throw std::invalid_argument("Unable to open file for saving model: " + path);
    const bool written = write_all(fd.get(), data, size);
    if (!fd.close() || !written) throw std::runtime_error("Unable to write model file: " + path);
}

// Replaces the file at `path` with `data`: the bytes go to a temporary file in the same
// directory, which is flushed and then renamed over the target. Until the rename the old file
// is untouched; any failure removes the temporary file.
void replace_file(const std::string& path, const char* data, size_t size) {
    const std::string target = link_target(path);
    struct stat old;
    const bool exists = ::stat(target.c_str(), &old) == 0;
    if (exists && !S_ISREG(old.st_mode) && !S_ISDIR(old.st_mode)) {
        write_in_place(path, data, size);
        return;
    }
    if (exists && S_ISDIR(old.st_mode)) {
        throw std::invalid_argument("Unable to open file for saving model: " + path);
    }
    std::string temporary;
    Fd fd(create_temporary(target, &temporary));
    if (fd.get() < 0) throw std::invalid_argument("Unable to open file for saving model: " + path);
    // The new file keeps the permissions of the one it replaces.
    bool ok = !exists || ::fchmod(fd.get(), old.st_mode & 07777) == 0;
    ok = ok && write_all(fd.get(), data, size);
    ok = ok && ::fsync(fd.get()) == 0;
    ok = fd.close() && ok;
    ok = ok && ::rename(temporary.c_str(), target.c_str()) == 0;
    if (!ok) {
        ::unlink(temporary.c_str());
        throw std::runtime_error("Unable to write model file: " + path);
    }
}

// The whole content of the file at `path`, read without zero-filling the buffer first.
std::unique_ptr<char[]> read_file(const std::string& path, size_t* size) {
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
    if (end > std::numeric_limits<int32_t>::max()) throw std::runtime_error("File is too large.");
    *size = static_cast<size_t>(end);
    std::unique_ptr<char[]> content(new char[*size]);
    size_t done = 0;
    while (done < *size) {
        const ssize_t n = ::read(fd.get(), content.get() + done, *size - done);
        if (n < 0 && errno == EINTR) continue;
        // A file that shrank while it was read is as unreadable as a missing one.
        if (n <= 0) throw std::runtime_error("File not found.");
        done += static_cast<size_t>(n);
    }
    return content;
}

}  // namespace

void save_model_file(const Model& model, const std::string& path) {
    // Everything that can fail before the file is touched happens first.
    const std::vector<uint8_t> bytes = model.serialize();
    std::unique_ptr<char[]> compressed(new char[snappy::MaxCompressedLength(bytes.size())]);
    size_t compressed_length = 0;
    snappy::RawCompress(reinterpret_cast<const char*>(bytes.data()), bytes.size(), compressed.get(),
                        &compressed_length);
    replace_file(path, compressed.get(), compressed_length);
}

std::unique_ptr<Model> load_model_file(const std::string& path) {
    size_t size = 0;
    const std::unique_ptr<char[]> content = read_file(path, &size);

    size_t length = 0;
    if (!snappy::GetUncompressedLength(content.get(), size, &length) ||
        length > size * kMaxExpansion + kExpansionSlack) {
        throw std::invalid_argument("Cannot uncompress corrupted serialization buffer");
    }
    if (length == 0) return Model::from_buffer(nullptr, 0);
    std::unique_ptr<char[]> buffer(new char[length]);
    if (!snappy::RawUncompress(content.get(), size, buffer.get())) {
        // Bytes after the compressed block make the decompressor report failure although the
        // block itself is whole, so the result is decided by what the buffer holds. Decoding
        // again into a zeroed buffer leaves no unwritten byte undefined: a damaged block leaves
        // the buffer partly zero, which from_buffer refuses.
        std::memset(buffer.get(), 0, length);
        (void)snappy::RawUncompress(content.get(), size, buffer.get());
    }
    return Model::from_buffer(buffer.get(), length);
}

}  // namespace vorna::python
