#include "python/model_files.h"

#include <fcntl.h>
#include <snappy-sinksource.h>
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
// directory, which is written out whole and then renamed over the target. Until the rename the old
// file is untouched; any failure removes the temporary file.
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
    // Every byte is handed to the system and the close is checked (some file systems report
    // write errors only there). The file is not forced to the disk: that would cost more than
    // the whole save, and the failures a save must survive (a full disk, a size limit, an
    // error while serializing) all show before the rename.
    ok = ok && write_all(fd.get(), data, size);
    ok = fd.close() && ok;
    ok = ok && ::rename(temporary.c_str(), target.c_str()) == 0;
    if (!ok) {
        ::unlink(temporary.c_str());
        throw std::runtime_error("Unable to write model file: " + path);
    }
}

// The size of the open model file `fd`.
size_t input_size(int fd) {
    struct stat st;
    // A directory opens but has no content to read.
    if (fd < 0 || ::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        throw std::runtime_error("File not found.");
    }
    // A file that cannot tell its size (a pipe, for one) is not a model file.
    const off_t end = ::lseek(fd, 0, SEEK_END);
    if (end < 0) throw std::runtime_error("File not found.");
    if (end == 0) throw std::runtime_error("File is empty.");
    if (end > std::numeric_limits<int32_t>::max()) throw std::runtime_error("File is too large.");
    return static_cast<size_t>(end);
}

// The content of a file, from its start, as the decompressor's source. It is read piece by
// piece through one small buffer, so the compressed file is never held whole in memory.
class FileSource : public snappy::Source {
  public:
    FileSource(int fd, size_t size) : fd_(fd), remaining_(size), piece_(new char[kPiece]) {
        if (::lseek(fd_, 0, SEEK_SET) != 0) short_ = true;
    }

    size_t Available() const override { return remaining_; }
    // An empty piece while bytes remain (the file shrank) ends the decompression.
    const char* Peek(size_t* len) override {
        if (begin_ == end_ && remaining_ > 0 && !short_) fill();
        *len = end_ - begin_;
        return piece_.get() + begin_;
    }
    void Skip(size_t n) override {
        begin_ += n;
        remaining_ -= n;
    }
    // Whether the file ended before its size said.
    bool short_read() const { return short_; }

  private:
    static constexpr size_t kPiece = size_t{1} << 17;

    void fill() {
        begin_ = end_ = 0;
        const size_t want = remaining_ < kPiece ? remaining_ : kPiece;
        while (end_ < want) {
            const ssize_t n = ::read(fd_, piece_.get() + end_, want - end_);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                short_ = true;
                return;
            }
            end_ += static_cast<size_t>(n);
        }
    }

    int fd_;
    size_t remaining_;
    std::unique_ptr<char[]> piece_;
    size_t begin_ = 0;
    size_t end_ = 0;
    bool short_ = false;
};

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
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    const size_t size = input_size(fd.get());
    size_t length = 0;
    {
        FileSource source(fd.get(), size);
        size_t available = 0;
        const char* head = source.Peek(&available);
        if (source.short_read()) throw std::runtime_error("File not found.");
        if (!snappy::GetUncompressedLength(head, available, &length) ||
            length > size * kMaxExpansion + kExpansionSlack) {
            throw std::invalid_argument("Cannot uncompress corrupted serialization buffer");
        }
    }
    if (length == 0) return Model::from_buffer(nullptr, 0);
    // The file is decompressed as it is read, straight into the one buffer the model is
    // rebuilt from.
    std::unique_ptr<char[]> buffer(new char[length]);
    FileSource source(fd.get(), size);
    if (!snappy::RawUncompress(&source, buffer.get())) {
        // Bytes after the compressed block make the decompressor report failure although the
        // block itself is whole, so the result is decided by what the buffer holds. Decoding
        // again into a zeroed buffer leaves no byte undefined: a damaged block leaves the
        // buffer partly zero, which from_buffer refuses.
        std::memset(buffer.get(), 0, length);
        FileSource again(fd.get(), size);
        (void)snappy::RawUncompress(&again, buffer.get());
        if (again.short_read()) throw std::runtime_error("File not found.");
    }
    if (source.short_read()) throw std::runtime_error("File not found.");
    fd.close();
    return Model::from_buffer(buffer.get(), length);
}

}  // namespace vorna::python
