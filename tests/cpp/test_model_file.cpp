// Model files below the bindings: decoding hostile bytes without writing out of bounds, and
// refusing a serialization the format cannot record before the file is touched.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/fs.h>
#include <linux/seccomp.h>
#include <pwd.h>
#include <snappy.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "corelib/model.h"
#include "corelib/model_file.h"
#include "test_support.h"

namespace vorna {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// in (w, 1, 1) -> Dense1D of `units` units whose weights hold incompressible values.
std::unique_ptr<Model> dense_model(int inputs, int units) {
    auto m = Model::create();
    m->add(test_support::make_layer(
               LayerType::InputData,
               {{"input_width", inputs}, {"input_height", 1}, {"input_channels", 1}}, "in"),
           {});
    auto d = test_support::make_layer(LayerType::Dense1D, {{"units", units}}, "d");
    m->add(d, {});
    auto& w = test_support::dense_var(*d, "weights");
    uint32_t state = 777;
    for (size_t i = 0; i < w.size(); ++i) {
        state = state * 1103515245u + 12345u;
        w.data<int8_t>()[i] = static_cast<int8_t>(state >> 24);
    }
    return m;
}

std::string encoded(const Bytes& serialization, uint64_t limit = model_file::kMaxSerializedSize) {
    const model_file::Bytes file = model_file::encode(serialization, limit);
    return std::string(file.data.get(), file.size);
}

// The varint of `length` followed by the compressed elements of `file`.
std::string with_length(const std::string& file, uint64_t length) {
    size_t old = 0;
    while (static_cast<uint8_t>(file[old]) & 0x80) ++old;
    std::string out;
    for (; length >= 0x80; length >>= 7) out.push_back(static_cast<char>(length | 0x80));
    out.push_back(static_cast<char>(length));
    return out + file.substr(old + 1);
}

// The number of hostile files that decode to something other than the model or a refusal.
int wrong_decodes() {
    const Bytes small = dense_model(4, 2)->serialize();
    const Bytes big = dense_model(64, 32)->serialize();
    const std::string a = encoded(small), b = encoded(big);
    auto decoded = [](const std::string& file) {
        try {
            return model_file::decode(file.data(), file.size())->serialize();
        } catch (const std::exception&) {
            return Bytes{};
        }
    };
    int wrong = 0;
    wrong += decoded(a) != small;
    wrong += decoded(a + std::string(100, '\xff')) != small;  // bytes after the block
    // A block that ends before its length is damaged, wherever it is cut.
    for (size_t n = 1; n < a.size(); ++n) {
        const std::string cut = a.substr(0, n);
        wrong += test_support::kinded_error_text([&] {
                     model_file::decode(cut.data(), cut.size());
                 }) != "invalid_argument: Cannot uncompress corrupted serialization buffer";
    }
    for (size_t i = 0; i < b.size(); i += 7) {
        for (int flip : {0x01, 0x80, 0xff}) {
            std::string m = b;
            m[i] = static_cast<char>(m[i] ^ flip);
            (void)decoded(m);
        }
    }
    // The header of the small model over the body of the big one: what a file rewritten
    // between two reads gave the old loader.
    wrong += !decoded(with_length(b, small.size())).empty();
    for (uint64_t length : {uint64_t{0}, uint64_t{1}, uint64_t{big.size() - 1},
                            uint64_t{big.size() + 1}, uint64_t{big.size() * 20}}) {
        wrong += !decoded(with_length(b, length)).empty();
    }
    const std::string huge = with_length(b, uint64_t{b.size()} * 33);
    wrong += test_support::kinded_error_text([&] {
                 model_file::decode(huge.data(), huge.size());
             }) != "invalid_argument: Cannot uncompress corrupted serialization buffer";
    return wrong;
}

// Truncated, mutated and length-lying files never make the decoder write past its output (the
// suite runs under AddressSanitizer; the cases run in a child, so a memory error fails this test
// only).
TEST(ModelFileDecode, HostileBytesAreRefusedWithoutWritingOutOfBounds) {
    EXPECT_EXIT(std::exit(wrong_decodes()), ::testing::ExitedWithCode(0), "");
}

// The serialization's length is recorded in 32 bits; the file's size is read back as a signed
// 32-bit count.
TEST(ModelFileSize, LimitsOfTheRecordedLengthAndOfTheFile) {
    EXPECT_NO_THROW(model_file::check_file_size(0x7FFFFFFFu));
    EXPECT_EQ(
        test_support::kinded_error_text([] { model_file::check_file_size(0x80000000u); }),
        "runtime_error: Model too large to save: its model file of 2147483648 bytes exceeds the "
        "2147483647 bytes that can be read back");
    EXPECT_NO_THROW(model_file::check_serialized_size(0xFFFFFFFFu));
    EXPECT_EQ(test_support::kinded_error_text(
                  [] { model_file::check_serialized_size(uint64_t{1} << 32); }),
              "runtime_error: Model too large to save: its serialization of 4294967296 bytes "
              "exceeds the 4294967295 bytes a model file can hold");
    // The length snappy records is the one checked: at the limit the header still holds it.
    const Bytes bytes(300, 7);
    const std::string file = encoded(bytes, 300);
    size_t length = 0;
    ASSERT_TRUE(snappy::GetUncompressedLength(file.data(), file.size(), &length));
    EXPECT_EQ(length, 300u);
    EXPECT_THROW(model_file::encode(bytes, 299), std::runtime_error);
}

// A model over the limit is refused before the file is opened: the old file stays byte for byte
// and nothing is created next to it.
TEST(ModelFileSize, ARefusedSaveTouchesNoFile) {
    std::string tmpl = (fs::temp_directory_path() / "vorna-size-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    const fs::path dir = tmpl;
    const std::string path = (dir / "m.fbz").string();
    auto read = [&] {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    };
    model_file::save(*dense_model(4, 2), path);
    const std::string before = read();
    auto big = dense_model(8, 8);
    const uint64_t size = big->serialize().size();
    EXPECT_EQ(test_support::kinded_error_text([&] { model_file::save(*big, path, size - 1); }),
              "runtime_error: Model too large to save: its serialization of " +
                  std::to_string(size) + " bytes exceeds the " + std::to_string(size - 1) +
                  " bytes a model file can hold");
    EXPECT_EQ(read(), before);
    // A file too large to be read back is refused as well.
    const uint64_t file_size = model_file::encode(big->serialize()).size;
    EXPECT_EQ(
        test_support::kinded_error_text([&] { model_file::save(*big, path, size, file_size - 1); }),
        "runtime_error: Model too large to save: its model file of " + std::to_string(file_size) +
            " bytes exceeds the " + std::to_string(file_size - 1) + " bytes that can be read back");
    EXPECT_EQ(read(), before);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
    model_file::save(*big, path, size, file_size);
    EXPECT_EQ(model_file::load(path)->serialize(), big->serialize());
    fs::remove_all(dir);
}

// A directory of its own holding "m.fbz" (mode 0666) with a small model; removed on destruction.
struct SavedFile {
    fs::path dir;
    std::string path;
    SavedFile() {
        std::string tmpl = (fs::temp_directory_path() / "vorna-inplace-XXXXXX").string();
        if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        dir = tmpl;
        path = (dir / "m.fbz").string();
        model_file::save(*dense_model(4, 2), path);
        ::chmod(path.c_str(), 0666);
    }
    ~SavedFile() { fs::remove_all(dir); }
    // The new model was written into the file itself: nothing else was created beside it.
    void expect_replaced_in_place(const Model& model) const {
        EXPECT_EQ(model_file::load(path)->serialize(), model.serialize());
        EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
    }
};

// Sets or clears the immutable flag of a directory; false when the file system or the caller
// cannot.
bool set_immutable(const fs::path& dir, bool on) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    int flags = 0;
    bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    ok = ok && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    ::close(fd);
    return ok;
}

// No file can be created in an immutable directory (EPERM), but its files can be written: the
// save writes the file in place.
TEST(ModelFileSave, WritesInPlaceWhenTheDirectoryRefusesNewFilesWithEperm) {
    SavedFile file;
    if (!set_immutable(file.dir, true)) GTEST_SKIP() << "cannot make a directory immutable here";
    auto next = dense_model(8, 3);
    std::string error;
    try {
        model_file::save(*next, file.path);
    } catch (const std::exception& e) {
        error = e.what();
    }
    ASSERT_TRUE(set_immutable(file.dir, false));
    EXPECT_EQ(error, "");
    file.expect_replaced_in_place(*next);
}

// A caller without write permission on the directory (EACCES) but with it on the file: the save
// writes the file in place. Root drops to 'nobody' in a child; the directory stays root's.
TEST(ModelFileSave, WritesInPlaceWhenTheDirectoryRefusesNewFilesWithEacces) {
    SavedFile file;
    const struct passwd* nobody = ::getpwnam("nobody");
    if (::geteuid() == 0 && nobody == nullptr) GTEST_SKIP() << "no 'nobody' user to drop to";
    ::chmod(file.dir.c_str(), ::geteuid() == 0 ? 0755 : 0555);
    auto next = dense_model(8, 3);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int code = 1;
        if (::geteuid() != 0 || (::setgid(nobody->pw_gid) == 0 && ::setuid(nobody->pw_uid) == 0)) {
            try {
                model_file::save(*next, file.path);
                code = 0;
            } catch (...) {
                code = 2;
            }
        }
        ::_exit(code);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ::chmod(file.dir.c_str(), 0700);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: could not drop privileges, 2: the save threw";
    file.expect_replaced_in_place(*next);
}

// Makes fallocate fail with EOPNOTSUPP in this process, as on a file system that cannot reserve
// space.
bool without_reservation() {
    struct sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_fallocate, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EOPNOTSUPP),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    struct sock_fprog program = {static_cast<unsigned short>(std::size(filter)), filter};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// A file with two names is written in place. Under a file-size limit the new length is refused
// before any old byte is overwritten, whether the file system reserves space or not (then the
// bytes past the old end go first, and are cut off again when they do not fit).
TEST(ModelFileSave, InPlaceSaveMakesRoomBeforeOverwritingAnyOldByte) {
    struct Case {
        bool reserves;
        bool limited;
        int units;  // of the new model; the old one has 8 x 8 weights
    };
    for (const Case c : {Case{true, false, 40}, Case{true, true, 40}, Case{false, true, 40},
                         Case{false, false, 40}, Case{false, false, 2}}) {
        SCOPED_TRACE(testing::Message() << "reserves " << c.reserves << ", limited " << c.limited
                                        << ", units " << c.units);
        SavedFile file;
        const std::string other = (file.dir / "other.fbz").string();
        model_file::save(*dense_model(8, 8), file.path);
        ASSERT_EQ(::link(file.path.c_str(), other.c_str()), 0);
        const uint64_t old_size = fs::file_size(file.path);
        auto next = dense_model(8, c.units);
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::signal(SIGXFSZ, SIG_IGN);
            const rlim_t limit = old_size + 100;
            const struct rlimit rl = {limit, limit};
            if ((c.limited && ::setrlimit(RLIMIT_FSIZE, &rl) != 0) ||
                (!c.reserves && !without_reservation())) {
                ::_exit(3);
            }
            const std::string error =
                test_support::kinded_error_text([&] { model_file::save(*next, file.path); });
            ::_exit(error == "<no exception>"                                            ? 0
                    : error == "runtime_error: Unable to write model file: " + file.path ? 1
                                                                                         : 2);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        ASSERT_NE(WEXITSTATUS(status), 3) << "could not set up the child";
        EXPECT_EQ(WEXITSTATUS(status), c.limited ? 1 : 0);
        const Bytes expected = c.limited ? dense_model(8, 8)->serialize() : next->serialize();
        for (const std::string& name : {file.path, other}) {
            EXPECT_EQ(model_file::load(name)->serialize(), expected);
        }
        if (c.limited) {
            EXPECT_EQ(fs::file_size(file.path), old_size);
        }
        EXPECT_EQ(fs::hard_link_count(file.path), 2u);
    }
}

}  // namespace
}  // namespace vorna
