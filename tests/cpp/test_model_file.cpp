// Model files below the bindings: decoding hostile bytes without writing out of bounds,
// refusing a serialization the format cannot record before the file is touched, and where a
// save puts its bytes for every kind of target, whenever it is stopped.

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
#include <sys/time.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "corelib/interrupt.h"
#include "corelib/model.h"
#include "corelib/model_file.h"
#include "test_support.h"

namespace vorna {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// in (w, 1, 1) -> Dense1D of `units` units whose weights hold incompressible values drawn from
// `seed`: two seeds give two models of one layout, whose mixture would load.
std::unique_ptr<Model> dense_model(int inputs, int units, uint32_t seed = 777) {
    auto m = Model::create();
    m->add(test_support::make_layer(
               LayerType::InputData,
               {{"input_width", inputs}, {"input_height", 1}, {"input_channels", 1}}, "in"),
           {});
    auto d = test_support::make_layer(LayerType::Dense1D, {{"units", units}}, "d");
    m->add(d, {});
    auto& w = test_support::dense_var(*d, "weights");
    uint32_t state = seed;
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
    // Through a link to a missing file, the file is created where the link points, as open
    // creates it, and a refused save leaves it empty, which load refuses.
    const fs::path link = dir / "link.fbz";
    fs::create_symlink("new.fbz", link);
    EXPECT_THROW(model_file::save(*big, link.string(), size - 1), std::runtime_error);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(fs::file_size(dir / "new.fbz"), 0u);
    EXPECT_EQ(test_support::kinded_error_text([&] { model_file::load(link.string()); }),
              "runtime_error: File is empty.");
    fs::remove(dir / "new.fbz");
    fs::remove(link);
    model_file::save(*big, path, size, file_size);
    EXPECT_EQ(model_file::load(path)->serialize(), big->serialize());
    fs::remove_all(dir);
}

// Saves `model` to `path` and returns what was thrown ("" for nothing), the path shown as
// "<path>".
std::string save_text(const Model& model, const std::string& path,
                      uint64_t limit = model_file::kMaxSerializedSize) {
    std::string text =
        test_support::kinded_error_text([&] { model_file::save(model, path, limit); });
    if (text == "<no exception>") return "";
    const size_t at = path.empty() ? std::string::npos : text.rfind(path);
    return at == std::string::npos ? text : text.replace(at, path.size(), "<path>");
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

// Sets or clears an inode flag (chattr) of a directory; false when the file system or the caller
// cannot.
bool set_flag(const fs::path& dir, int flag, bool on) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    int flags = 0;
    bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? (flags | flag) : (flags & ~flag);
    ok = ok && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    ::close(fd);
    return ok;
}

// No file can be created in an immutable directory (EPERM), and none renamed over or removed in
// an append-only one, but their files can be written: the save writes the file in place, and
// leaves nothing beside it.
TEST(ModelFileSave, WritesInPlaceWhenTheDirectoryKeepsItsNames) {
    for (const int flag : {FS_IMMUTABLE_FL, FS_APPEND_FL}) {
        SCOPED_TRACE(flag == FS_APPEND_FL ? "append-only" : "immutable");
        SavedFile file;
        if (!set_flag(file.dir, flag, true)) {
            GTEST_SKIP() << (::geteuid() != 0
                                 ? "needs root's rights, to make a folder immutable or append-only"
                                 : "runs as root, but the file system of TMPDIR cannot make a "
                                   "folder immutable or append-only");
        }
        auto next = dense_model(8, 3);
        const std::string error = save_text(*next, file.path);
        ASSERT_TRUE(set_flag(file.dir, flag, false));
        EXPECT_EQ(error, "");
        file.expect_replaced_in_place(*next);
    }
}

// Why root cannot run a step as 'nobody' in a folder of TMPDIR, or "" when it can. 'nobody'
// must pass through TMPDIR and every folder above it, which a folder of root's alone (such as
// the 0700 /tmp/user/0 that pam_tmpdir makes) does not let it do: checked in a child that drops
// to 'nobody' as the tests do.
std::string cannot_act_as_nobody() {
    const struct passwd* nobody = ::getpwnam("nobody");
    if (nobody == nullptr) return "runs as root, and there is no user 'nobody' to act as";
    const std::string tmp = fs::temp_directory_path().string();
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgid(nobody->pw_gid) != 0 || ::setuid(nobody->pw_uid) != 0) ::_exit(2);
        ::_exit(::access(tmp.c_str(), X_OK) == 0 ? 0 : 1);
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
        return "could not fork to check TMPDIR";
    }
    if (WEXITSTATUS(status) == 2) return "root cannot become the user 'nobody' here";
    if (WEXITSTATUS(status) == 1) {
        return "the user 'nobody' cannot reach the tests' temporary folder (" + tmp +
               "): it or a folder above it lets no other user through; set TMPDIR to a folder "
               "every user can pass through, such as /tmp";
    }
    return "";
}

// A caller without write permission on the directory (EACCES) but with it on the file: the save
// writes the file in place. Root drops to 'nobody' in a child; the directory stays root's.
TEST(ModelFileSave, WritesInPlaceWhenTheDirectoryRefusesNewFilesWithEacces) {
    const std::string why = ::geteuid() == 0 ? cannot_act_as_nobody() : "";
    if (!why.empty()) GTEST_SKIP() << why;
    SavedFile file;
    const struct passwd* nobody = ::getpwnam("nobody");
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

// Installs `filter` as this process's system-call filter.
bool filter_calls(std::vector<struct sock_filter> filter) {
    struct sock_fprog program = {static_cast<unsigned short>(filter.size()), filter.data()};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// Makes fallocate fail with EOPNOTSUPP in this process, as on a file system that cannot reserve
// space.
bool without_reservation() {
    return filter_calls({
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_fallocate, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EOPNOTSUPP),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    });
}

// Makes opening an unnamed file fail with EOPNOTSUPP, and a rename with flags fail with EINVAL,
// in this process, as on a file system that has neither.
bool without_unnamed_files() {
    return filter_calls({
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_openat, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[2])),
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, O_TMPFILE & ~O_DIRECTORY, 0, 5),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EOPNOTSUPP),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_renameat2, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[4])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EINVAL),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    });
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

// What a save was given to write and what the table expects of it.
const char* const kOpenError = "invalid_argument: Unable to open file for saving model: <path>";
const char* const kWriteError = "runtime_error: Unable to write model file: <path>";

std::string contents(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string file_of(const Model& model) { return encoded(model.serialize()); }

model_file::SaveStep g_start_at;
std::function<std::string()> g_meanwhile;  // what the hook below starts
std::thread g_thread;                      // where it runs
std::atomic<bool> g_started, g_finished, g_finished_early, g_waits;
std::string g_meanwhile_got;

// The interruption check, which a lock's wait calls after each poll: the save is held in its
// hook meanwhile, so only the thread started there waits.
void note_a_wait() { g_waits = true; }

// At `g_start_at` of the first save to reach it: starts `g_meanwhile` on a thread and holds the
// save until that thread waits for the file's lock (or ends without waiting, which the test
// sees as an early finish). The deadline only bounds a hang.
void start_meanwhile(model_file::SaveStep step) {
    if (step != g_start_at || g_started.exchange(true)) return;
    g_waits = false;
    set_interrupt_check(note_a_wait);
    g_thread = std::thread([] {
        g_meanwhile_got = g_meanwhile();
        g_finished = true;
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!g_waits && !g_finished && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    g_finished_early = g_finished.load() || !g_waits;
    set_interrupt_check(nullptr);
}

// A save in place holds the file from its reservation to its cut. A second save in place of it,
// through its other name, started after the reservation, waits and then wins (without the wait,
// the first save's head would end up over the second's tail); a load started once the head is
// refused waits and gives the new model.
TEST(ModelFileSave, InPlaceSavesAndLoadsWaitForAnInPlaceSave) {
    using model_file::SaveStep;
    const auto first = dense_model(8, 8, 2), second = dense_model(8, 8, 3);
    for (const SaveStep at : {SaveStep::in_place_reserved, SaveStep::in_place_head_refused}) {
        SCOPED_TRACE(static_cast<int>(at));
        SavedFile file;
        const std::string other = (file.dir / "h.fbz").string();
        ASSERT_EQ(::link(file.path.c_str(), other.c_str()), 0);
        const bool saves = at == SaveStep::in_place_reserved;
        g_meanwhile = [&] {
            if (saves) return save_text(*second, other);
            Bytes got;
            const std::string error = test_support::kinded_error_text(
                [&] { got = model_file::load(other)->serialize(); });
            return got == first->serialize() ? std::string("first") : error;
        };
        g_start_at = at;
        g_started = g_finished = g_finished_early = false;
        model_file::set_save_hook(start_meanwhile);
        const std::string error = save_text(*first, file.path);
        model_file::set_save_hook(nullptr);
        ASSERT_TRUE(g_thread.joinable());
        g_thread.join();
        EXPECT_EQ(error, "");
        EXPECT_FALSE(g_finished_early);
        EXPECT_EQ(g_meanwhile_got, saves ? "" : "first");
        EXPECT_EQ(contents(file.path), file_of(saves ? *second : *first));
        EXPECT_TRUE(fs::equivalent(file.path, other));
    }
}

// A lock held longer than a save could take (another program's, a stopped process's) is waited
// for about five seconds: then a save in place is refused, saying why, with the file as it was,
// and a load is refused too: the writer that holds the lock may have written half of the file.
TEST(ModelFileSave, AnotherProcessLockHeldTooLongRefusesAnInPlaceSaveAndALoad) {
    SavedFile file;
    const std::string other = (file.dir / "h.fbz").string(), before = contents(file.path);
    ASSERT_EQ(::link(file.path.c_str(), other.c_str()), 0);
    // Another process holds a classic write lock on the file until it is killed.
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t holder = ::fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        const int fd = ::open(file.path.c_str(), O_RDWR | O_CLOEXEC);
        const char ok = ::lockf(fd, F_LOCK, 0) == 0 ? 'y' : 'n';
        (void)!::write(ready[1], &ok, 1);
        ::pause();
        ::_exit(0);
    }
    char ok = 0;
    EXPECT_EQ(::read(ready[0], &ok, 1), 1);
    ::close(ready[0]);
    ::close(ready[1]);
    std::string loaded;
    const auto start = std::chrono::steady_clock::now();
    std::thread load(
        [&] { loaded = test_support::kinded_error_text([&] { model_file::load(other); }); });
    const std::string saved = save_text(*dense_model(8, 3), file.path);
    load.join();
    const auto waited = std::chrono::steady_clock::now() - start;
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    ASSERT_EQ(ok, 'y');
    EXPECT_EQ(saved, std::string(kWriteError) + " (locked by another process)");
    EXPECT_EQ(loaded,
              "runtime_error: Unable to read model file: " + other + " (locked by a writer)");
    EXPECT_GE(waited, std::chrono::seconds(4));
    EXPECT_LT(waited, std::chrono::seconds(20));
    EXPECT_EQ(contents(file.path), before);
}

// A process that guards its model file with a classic lock of its own (lockf) saves it in place
// and loads it at once: that lock, which conflicts with the module's open-file locks, is made the
// lock they need. (Closing a descriptor of the file drops it, so it is taken before each.)
TEST(ModelFileSave, AProcessOwnClassicLockDoesNotHoldItBack) {
    SavedFile file;
    ASSERT_EQ(::link(file.path.c_str(), (file.dir / "h.fbz").c_str()), 0);
    const int fd = ::open(file.path.c_str(), O_RDWR | O_CLOEXEC);
    const auto next = dense_model(8, 3);
    for (const bool saves : {true, false}) {
        SCOPED_TRACE(saves ? "save" : "load");
        ASSERT_EQ(::lockf(fd, F_LOCK, 0), 0);
        const auto start = std::chrono::steady_clock::now();
        if (saves) {
            EXPECT_EQ(save_text(*next, file.path), "");
        } else {
            EXPECT_EQ(model_file::load(file.path)->serialize(), next->serialize());
        }
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    }
    ::close(fd);
    EXPECT_EQ(fs::hard_link_count(file.path), 2u);
    EXPECT_EQ(contents(file.dir / "h.fbz"), file_of(*next));
}

std::string g_probed;
bool g_load_kept_out;

// Once the head is refused: whether another process's load (its open-file read lock) is kept out.
void probe_a_load(model_file::SaveStep step) {
    if (step != model_file::SaveStep::in_place_head_refused) return;
    const pid_t pid = ::fork();
    if (pid == 0) {
        struct flock lock = {};
        lock.l_type = F_RDLCK;
        const int fd = ::open(g_probed.c_str(), O_RDONLY | O_CLOEXEC);
        ::_exit(::fcntl(fd, F_OFD_SETLK, &lock) == 0 ? 1 : 0);
    }
    int status = -1;
    ::waitpid(pid, &status, 0);
    g_load_kept_out = WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Whatever classic lock of its own the process holds on the file (a read lock keeps no one's
// reads out), an in-place save goes on at once and keeps other processes' loads out.
TEST(ModelFileSave, AProcessOwnClassicLocksKeepOtherProcessesLoadsOutOfAnInPlaceSave) {
    const auto next = dense_model(8, 3);
    for (const auto& [type, start, length] : std::vector<std::tuple<short, off_t, off_t>>{
             {F_RDLCK, 0, 0}, {F_RDLCK, 10, 1}, {F_WRLCK, 0, 0}, {F_WRLCK, 3, 2}}) {
        SCOPED_TRACE(std::to_string(type) + " at " + std::to_string(start));
        SavedFile file;
        ASSERT_EQ(::link(file.path.c_str(), (file.dir / "h.fbz").c_str()), 0);
        const int fd = ::open(file.path.c_str(), O_RDWR | O_CLOEXEC);
        struct flock lock = {};
        lock.l_type = type;
        lock.l_start = start;
        lock.l_len = length;
        ASSERT_EQ(::fcntl(fd, F_SETLK, &lock), 0);
        g_probed = file.path;
        g_load_kept_out = false;
        model_file::set_save_hook(probe_a_load);
        const auto began = std::chrono::steady_clock::now();
        EXPECT_EQ(save_text(*next, file.path), "");
        EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(1));
        model_file::set_save_hook(nullptr);
        EXPECT_TRUE(g_load_kept_out);
        EXPECT_EQ(contents(file.dir / "h.fbz"), file_of(*next));
        ::close(fd);
    }
}

int g_checks_left;
void interrupt_on_third_check() {
    if (--g_checks_left == 0) throw std::runtime_error("interrupted");
}

std::atomic<int> g_ticks;
void tick(int) {
    if (++g_ticks < 50) return;
    const struct itimerval off = {};
    ::setitimer(ITIMER_REAL, &off, nullptr);
}

// A save into a pipe no one reads waits with no deadline, calling the interruption check about
// every 100 ms: what it throws ends the save. A signal every 10 ms (`timer`, stopped after 50),
// which cuts every poll short, brings the check on sooner, not never.
TEST(ModelFileSave, AnInterruptionEndsASaveIntoAPipeNoOneReads) {
    for (const bool timer : {false, true}) {
        int ends[2];
        ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
        struct sigaction ticking = {}, was;
        ticking.sa_handler = tick;  // without SA_RESTART
        ::sigaction(SIGALRM, &ticking, &was);
        g_ticks = 0;
        const struct itimerval every = {{0, 10000}, {0, 10000}};
        if (timer) ::setitimer(ITIMER_REAL, &every, nullptr);
        g_checks_left = 3;
        set_interrupt_check(interrupt_on_third_check);
        const auto began = std::chrono::steady_clock::now();
        EXPECT_EQ(save_text(*dense_model(512, 256), "/proc/self/fd/" + std::to_string(ends[1])),
                  "runtime_error: interrupted");
        const auto waited = std::chrono::steady_clock::now() - began;
        const int ticks = g_ticks;
        set_interrupt_check(nullptr);
        const struct itimerval off = {};
        ::setitimer(ITIMER_REAL, &off, nullptr);
        ::sigaction(SIGALRM, &was, nullptr);
        EXPECT_GE(waited, std::chrono::milliseconds(timer ? 0 : 150));
        EXPECT_LT(waited, std::chrono::seconds(2));
        EXPECT_LT(ticks, timer ? 50 : 1);  // ended while the signals came
        ::close(ends[0]);
        ::close(ends[1]);
    }
}

// Runs `action` in a child process as 'nobody' when `as_nobody`, and returns what it sent back;
// "<stopped>" when the child ended otherwise (stopped by a hook, a crash, a hang ended by the
// alarm, no 'nobody' to become).
std::string in_child(bool as_nobody, const std::function<std::string()>& action) {
    int out[2];
    if (::pipe(out) != 0) return "<no pipe>";
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(out[0]);
        ::umask(022);
        ::alarm(20);
        const struct passwd* nobody = ::getpwnam("nobody");
        if (as_nobody &&
            (nobody == nullptr || ::setgid(nobody->pw_gid) != 0 || ::setuid(nobody->pw_uid) != 0)) {
            ::_exit(1);
        }
        const std::string text = action();
        (void)!::write(out[1], text.data(), text.size());
        ::_exit(0);
    }
    ::close(out[1]);
    std::string text;
    char buf[256];
    for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;) text.append(buf, n);
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? text : "<stopped>";
}

fs::path g_dir;  // the directory of the case run in a child, for its hook

// At step `at` (before the new file takes the name): the target is moved aside and a link to
// another file takes its name.
template <model_file::SaveStep at>
void plant_link(model_file::SaveStep step) {
    if (step != at) return;
    const fs::path target = g_dir / "m.fbz";
    if (fs::exists(fs::symlink_status(target))) fs::rename(target, g_dir / "moved.fbz");
    fs::create_symlink("victim.fbz", target);
}

// At step `at`, before the new file takes the name, another save's file takes it: the target is
// moved aside and a new regular file (mode 0644, with the attribute) takes its name.
template <model_file::SaveStep at>
void plant_file(model_file::SaveStep step) {
    if (step != at) return;
    const fs::path target = g_dir / "m.fbz";
    if (fs::exists(fs::symlink_status(target))) fs::rename(target, g_dir / "moved.fbz");
    std::ofstream(target) << "victim";
    (void)::setxattr(target.c_str(), "user.vorna", "kept", 4, 0);
}

// At `replacement_written`, another file with a capability (root only) takes the name.
void plant_capable_file(model_file::SaveStep step) {
    plant_file<model_file::SaveStep::replacement_written>(step);
    // Revision 2, effective, permitted CAP_NET_BIND_SERVICE (bit 10).
    const uint32_t cap[5] = {0x02000001, 1u << 10, 0, 0, 0};
    if (step == model_file::SaveStep::replacement_written &&
        ::setxattr((g_dir / "m.fbz").c_str(), "security.capability", cap, sizeof cap, 0) != 0) {
        ::_exit(7);
    }
}

// At `replacement_written`, the file gets a second name, "h.fbz".
void second_name(model_file::SaveStep step) {
    if (step == model_file::SaveStep::replacement_written) {
        fs::create_hard_link(g_dir / "m.fbz", g_dir / "h.fbz");
    }
}

enum class Holds { old_model, new_model, victim, link, pipe };

// Who owns a file: root, or 'nobody' as its user, its group or both.
enum class Owner { root, user, group, both };

uid_t uid_of(Owner owner) {
    return owner == Owner::user || owner == Owner::both ? ::getpwnam("nobody")->pw_uid : 0;
}

gid_t gid_of(Owner owner) {
    return owner == Owner::group || owner == Owner::both ? ::getpwnam("nobody")->pw_gid : 0;
}

// A name in the directory after the save: what it holds and, for a file, the name whose file
// it is (none: a new file), its owner, mode and link count.
struct Name {
    const char* name;
    Holds holds;
    const char* was = nullptr;
    Owner owner = Owner::root;
    mode_t mode = 0644;
    nlink_t links = 1;
};

using Save = std::function<std::string(std::string)>;

struct Row {
    const char* what;
    std::function<void(const fs::path&)> setup = nullptr;
    std::vector<Name> names = {};  // the whole directory afterwards
    const char* error = "";
    bool as_nobody = false;
    rlim_t file_limit = 0;
    model_file::SaveHook hook = nullptr;
    // Saves in the child through `save` and returns what it threw; by default "m.fbz".
    std::string (*run)(const fs::path& dir, const Save& save) = nullptr;
    int level = -1;  // of the kernel's protection of shared directories, -1: the machine's
    uint64_t limit = model_file::kMaxSerializedSize;  // of the serialization
    // The directory afterwards and the error with named new files, where they differ.
    std::vector<Name> named = {};
    const char* named_error = nullptr;
};

// "m.fbz" holding the old model with `mode` and `owner`, with an extended attribute where the
// file system has them.
std::function<void(const fs::path&)> old_file(mode_t mode, Owner owner = Owner::root) {
    return [=](const fs::path& dir) {
        const std::string path = (dir / "m.fbz").string();
        model_file::save(*dense_model(8, 8, 1), path);
        ::chmod(path.c_str(), mode);
        ASSERT_EQ(::chown(path.c_str(), uid_of(owner), gid_of(owner)), 0);
        (void)::setxattr(path.c_str(), "user.vorna", "kept", 4, 0);
    };
}

// The child's copy of what `fd` holds, as "read.bin".
void copy_out(int fd, const fs::path& dir) {
    std::string got(1 << 20, '\0');
    const ssize_t n = ::pread(fd, got.data(), got.size(), 0);
    got.resize(n < 0 ? 0 : static_cast<size_t>(n));
    std::ofstream(dir / "read.bin", std::ios::binary) << got;
}

std::string save_link(const fs::path& dir, const Save& save) {
    return save((dir / "l.fbz").string());
}

// Saves to the pipe "m.fbz" with a reader, and keeps what the reader got, if anything, as
// "read.bin". The model fits the pipe's buffer: it is read back once the save is done.
std::string save_to_read_pipe(const fs::path& dir, const Save& save) {
    const int fd = ::open((dir / "m.fbz").c_str(), O_RDONLY | O_NONBLOCK);
    const std::string error = save((dir / "m.fbz").string());
    std::string got(1 << 16, '\0');
    const ssize_t n = ::read(fd, got.data(), got.size());
    if (n > 0) std::ofstream(dir / "read.bin", std::ios::binary) << got.substr(0, n);
    return error;
}

bool g_named;  // the child's new files are named ones

// Where a named new file is whole: it is readable by its owner only, under a random name.
void temp_is_private(model_file::SaveStep step) {
    if (step != model_file::SaveStep::replacement_written) return;
    int named = 0;
    for (const auto& entry : fs::directory_iterator(g_dir)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(".vorna-", 0) != 0) continue;
        struct stat st;
        const bool random =
            name.size() == 43 && name.find_first_not_of("0123456789abcdef", 7) == 39;
        if (::stat(entry.path().c_str(), &st) != 0 || (st.st_mode & 07777) != 0600 || !random) {
            ::_exit(5);
        }
        ++named;
    }
    if (named != (g_named ? 1 : 0)) ::_exit(6);
}

// Between seeing that the name is a link and following it, the link is made to name "m.fbz".
void retarget_link(model_file::SaveStep step) {
    if (step != model_file::SaveStep::link_found) return;
    fs::remove(g_dir / "l.fbz");
    fs::create_symlink("m.fbz", g_dir / "l.fbz");
}

// Rows of another user's file or FIFO, "m.fbz", in a sticky directory of mode `dir_mode`, at
// each level of the kernel's protection: refused at open where the create-or-truncate open is
// (level 1: a directory others may write; level 2: also one its group may).
void add_protected_rows(std::vector<Row>* rows) {
    struct Protected {
        mode_t dir_mode;
        int level;
        bool refused;
    };
    for (const bool fifo : {false, true}) {
        for (const auto& [dir_mode, level, refused] :
             {Protected{01777, 0, false}, Protected{01777, 1, true}, Protected{01777, 2, true},
              Protected{01770, 1, false}, Protected{01770, 2, true}}) {
            Row row{fifo ? "another user's FIFO in a sticky directory"
                         : "another user's file in a sticky directory"};
            row.setup = [fifo, dir_mode = dir_mode](const fs::path& dir) {
                if (fifo) {
                    ::mkfifo((dir / "m.fbz").c_str(), 0666);
                    ASSERT_EQ(::chown((dir / "m.fbz").c_str(), uid_of(Owner::both), 0), 0);
                } else {
                    old_file(0666, Owner::both)(dir);
                }
                ::chmod(dir.c_str(), dir_mode);
            };
            row.names = {{"m.fbz",
                          fifo      ? Holds::pipe
                          : refused ? Holds::old_model
                                    : Holds::new_model,
                          refused ? "m.fbz" : nullptr, Owner::both, 0666}};
            if (fifo && !refused) row.names.push_back({"read.bin", Holds::new_model});
            row.error = refused ? kOpenError : "";
            row.level = level;
            if (fifo) row.run = save_to_read_pipe;
            rows->push_back(row);
        }
    }
}

std::vector<Row> target_rows() {
    const auto nothing = [](const fs::path&) {};
    const auto link = [](const char* name, const char* to,
                         std::function<void(const fs::path&)> then = nullptr) {
        return [=](const fs::path& dir) {
            if (then) then(dir);
            fs::create_symlink(to, dir / name);
        };
    };
    const auto victim = [](const fs::path& dir) {
        std::ofstream(dir / "victim.fbz") << "victim";
        ::chmod((dir / "victim.fbz").c_str(), 0644);
    };
    std::vector<Row> rows = {
        {"a new name", nothing, {{"m.fbz", Holds::new_model}}, "", false, 0, temp_is_private},
        {"a plain file",
         old_file(0640),
         {{"m.fbz", Holds::new_model, nullptr, Owner::root, 0640}},
         "",
         false,
         0,
         temp_is_private},
        {"a link to a descriptor link",
         old_file(0640),
         {{"l.fbz", Holds::link}, {"m.fbz", Holds::new_model, "m.fbz", Owner::root, 0640}},
         "",
         false,
         0,
         nullptr,
         [](const fs::path& dir, const Save& save) {
             const int fd = ::open((dir / "m.fbz").c_str(), O_RDWR);
             fs::create_symlink("/proc/self/fd/" + std::to_string(fd), dir / "l.fbz");
             return save_link(dir, save);
         }},
        {"a link turned to an existing file before it is followed, then a size limit",
         [](const fs::path& dir) {
             old_file(0640)(dir);
             fs::create_symlink("missing.fbz", dir / "l.fbz");
         },
         {{"l.fbz", Holds::link}, {"m.fbz", Holds::old_model, "m.fbz", Owner::root, 0640}},
         kWriteError,
         false,
         static_cast<rlim_t>(file_of(*dense_model(8, 8, 1)).size() + 100),
         retarget_link,
         save_link},
        {"a size limit below the file's size",
         old_file(0640),
         {{"m.fbz", Holds::old_model, "m.fbz", Owner::root, 0640}},
         kWriteError,
         false,
         static_cast<rlim_t>(file_of(*dense_model(8, 8, 1)).size() - 10)},
        {"a size limit below the size of a file with two links",
         [](const fs::path& dir) {
             old_file(0640)(dir);
             fs::create_hard_link(dir / "m.fbz", dir / "h.fbz");
         },
         {{"h.fbz", Holds::old_model, "m.fbz", Owner::root, 0640, 2},
          {"m.fbz", Holds::old_model, "m.fbz", Owner::root, 0640, 2}},
         kWriteError,
         false,
         static_cast<rlim_t>(file_of(*dense_model(8, 8, 1)).size() - 10)},
        {"a hard link",
         [](const fs::path& dir) {
             old_file(0640)(dir);
             fs::create_hard_link(dir / "m.fbz", dir / "h.fbz");
         },
         {{"h.fbz", Holds::new_model, "m.fbz", Owner::root, 0640, 2},
          {"m.fbz", Holds::new_model, "m.fbz", Owner::root, 0640, 2}}},
        {"a link to a file",
         link("l.fbz", "m.fbz", old_file(0640)),
         {{"l.fbz", Holds::link}, {"m.fbz", Holds::new_model, nullptr, Owner::root, 0640}},
         "",
         false,
         0,
         nullptr,
         save_link},
        {"a link to a missing file",
         link("l.fbz", "m.fbz"),
         {{"l.fbz", Holds::link}, {"m.fbz", Holds::new_model}},
         "",
         false,
         0,
         nullptr,
         save_link},
        {"a link swapped in before the rename",
         [=](const fs::path& dir) {
             old_file(0640)(dir);
             victim(dir);
         },
         {{"m.fbz", Holds::link},
          {"moved.fbz", Holds::old_model, "m.fbz", Owner::root, 0640},
          {"victim.fbz", Holds::victim, "victim.fbz"}},
         kWriteError,
         false,
         0,
         plant_link<model_file::SaveStep::replacement_written>},
        {"a file put under the name before the rename",
         old_file(0640),
         {{"m.fbz", Holds::new_model}, {"moved.fbz", Holds::old_model, "m.fbz", Owner::root, 0640}},
         "",
         false,
         0,
         plant_file<model_file::SaveStep::replacement_written>},
        {"a file put under a new name before it is taken",
         nothing,
         {{"m.fbz", Holds::new_model}},
         "",
         false,
         0,
         plant_file<model_file::SaveStep::opened>},
        {"a new name, then a size limit",
         nothing,
         {},
         kWriteError,
         false,
         static_cast<rlim_t>(file_of(*dense_model(8, 8, 1)).size())},
        {"a link planted at a new name",
         victim,
         {{"m.fbz", Holds::link}, {"victim.fbz", Holds::victim, "victim.fbz"}},
         kWriteError,
         false,
         0,
         plant_link<model_file::SaveStep::opened>},
        {"another owner's file, saved as root",
         old_file(0604, Owner::both),
         {{"m.fbz", Holds::new_model, nullptr, Owner::both, 0604}}},
        {"another user's file of root's group",
         old_file(0604, Owner::user),
         {{"m.fbz", Holds::new_model, nullptr, Owner::user, 0604}}},
        {"root's file of another group",
         old_file(0604, Owner::group),
         {{"m.fbz", Holds::new_model, nullptr, Owner::group, 0604}}},
        {"a pipe without a reader",
         [](const fs::path& dir) { ::mkfifo((dir / "m.fbz").c_str(), 0644); },
         {{"m.fbz", Holds::pipe}},
         kOpenError},
        {"a pipe with a reader",
         [](const fs::path& dir) { ::mkfifo((dir / "m.fbz").c_str(), 0644); },
         {{"m.fbz", Holds::pipe}, {"read.bin", Holds::new_model}},
         "",
         false,
         0,
         nullptr,
         save_to_read_pipe},
        {"a descriptor link to an unlinked file",
         nothing,
         {{"read.bin", Holds::new_model}},
         "",
         false,
         0,
         nullptr,
         [](const fs::path& dir, const Save& save) {
             const std::string path = (dir / "u.fbz").string();
             const int fd = ::open(path.c_str(), O_RDWR | O_CREAT, 0644);
             const std::string old = file_of(*dense_model(8, 8, 1));
             (void)!::write(fd, old.data(), old.size());
             ::unlink(path.c_str());
             const std::string error = save("/proc/self/fd/" + std::to_string(fd));
             copy_out(fd, dir);
             return error;
         }},
        {"\"\"",
         nothing,
         {},
         "invalid_argument: Unable to open file for saving model: ",
         false,
         0,
         nullptr,
         [](const fs::path& dir, const Save& save) {
             return ::chdir(dir.c_str()) == 0 ? save("") : "<no chdir>";
         }},
        {"a read-only directory",
         old_file(0666),
         {{"m.fbz", Holds::new_model, "m.fbz", Owner::root, 0666}},
         "",
         true},
        {"a new name in a read-only directory", nothing, {}, kOpenError, true},
        {"no room for a second copy (a size limit)",
         old_file(0640),
         {{"m.fbz", Holds::old_model, "m.fbz", Owner::root, 0640}},
         kWriteError,
         false,
         static_cast<rlim_t>(file_of(*dense_model(8, 8, 1)).size() + 100)},
    };
    // Without unnamed files a new name is made at the open, and written wherever it goes.
    for (Row& row : rows) {
        if (row.hook == plant_file<model_file::SaveStep::opened>) {
            row.named = {{"m.fbz", Holds::victim}, {"moved.fbz", Holds::new_model}};
        } else if (row.hook == plant_link<model_file::SaveStep::opened>) {
            row.named = {{"m.fbz", Holds::link},
                         {"moved.fbz", Holds::new_model},
                         {"victim.fbz", Holds::victim, "victim.fbz"}};
            row.named_error = "";
        }
    }
    Row row{"a second name given to the file before the rename", old_file(0640)};
    row.names = {{"h.fbz", Holds::new_model, "m.fbz", Owner::root, 0640, 2},
                 {"m.fbz", Holds::new_model, "m.fbz", Owner::root, 0640, 2}};
    row.hook = second_name;
    rows.push_back(row);
    row = {"a file with a capability put under the name before the rename", old_file(0640)};
    row.names = {{"m.fbz", Holds::new_model},
                 {"moved.fbz", Holds::old_model, "m.fbz", Owner::root, 0640}};
    row.hook = plant_capable_file;
    rows.push_back(row);
    row = {"a new name in a read-only directory, and no serialization fits",
           nothing,
           {},
           kOpenError,
           true};
    row.limit = 0;
    rows.push_back(row);
    add_protected_rows(&rows);
    return rows;
}

// Every kind of target: where the bytes went, what stayed, the owner, mode and link count of
// each file, and what is left in the directory, with unnamed new files, and with named ones.
// Each save runs in a child (as 'nobody' where the row says so, the directory being root's).
TEST(ModelFileSave, WhereEachKindOfTargetPutsTheBytes) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root's rights, to give files to 'nobody' and save as it";
    }
    const std::string why = cannot_act_as_nobody();
    if (!why.empty()) GTEST_SKIP() << why;
    const std::string old_bytes = file_of(*dense_model(8, 8, 1));
    const auto new_model = dense_model(8, 8, 2), big_model = dense_model(8, 40, 3);
    for (const bool unnamed : {true, false}) {
        for (const Row& row : target_rows()) {
            SCOPED_TRACE(testing::Message() << row.what << (unnamed ? "" : ", named new files"));
            std::string tmpl = (fs::temp_directory_path() / "vorna-save-XXXXXX").string();
            ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
            g_dir = tmpl;
            ::chmod(g_dir.c_str(), 0755);
            row.setup(g_dir);
            std::map<std::string, struct stat> before;
            std::set<std::string> attributed;  // the files with an extended attribute
            for (const auto& entry : fs::directory_iterator(g_dir)) {
                const std::string name = entry.path().filename().string();
                ::lstat(entry.path().c_str(), &before[name]);
                if (::lgetxattr(entry.path().c_str(), "user.vorna", nullptr, 0) > 0) {
                    attributed.insert(name);
                }
            }
            const Model& model = row.file_limit ? *big_model : *new_model;
            const std::string error = in_child(row.as_nobody, [&] {
                ::signal(SIGXFSZ, SIG_IGN);
                const struct rlimit rl = {row.file_limit, row.file_limit};
                if (row.file_limit) ::setrlimit(RLIMIT_FSIZE, &rl);
                model_file::set_save_hook(row.hook);
                model_file::set_protection_levels(row.level, row.level);
                g_named = !unnamed;
                if (!unnamed && !without_unnamed_files()) return std::string("<no filter>");
                const auto save = [&](std::string path) {
                    return save_text(model, path, row.limit);
                };
                return row.run ? row.run(g_dir, save) : save((g_dir / "m.fbz").string());
            });
            EXPECT_EQ(error, unnamed || !row.named_error ? row.error : row.named_error);
            std::vector<std::string> listed, expected;
            for (const auto& entry : fs::directory_iterator(g_dir)) {
                listed.push_back(entry.path().filename().string());
            }
            for (const Name& name : unnamed || row.named.empty() ? row.names : row.named) {
                SCOPED_TRACE(name.name);
                expected.push_back(name.name);
                const fs::path path = g_dir / name.name;
                struct stat st;
                if (::lstat(path.c_str(), &st) != 0) {
                    ADD_FAILURE() << "missing";
                    continue;
                }
                if (name.holds == Holds::link || name.holds == Holds::pipe) {
                    EXPECT_EQ(st.st_mode & S_IFMT, name.holds == Holds::link ? S_IFLNK : S_IFIFO);
                    continue;
                }
                EXPECT_EQ(contents(path), name.holds == Holds::victim      ? "victim"
                                          : name.holds == Holds::old_model ? old_bytes
                                                                           : file_of(model));
                EXPECT_EQ(st.st_ino, name.was ? before.at(name.was).st_ino : st.st_ino);
                if (!name.was && before.count(name.name)) {
                    EXPECT_NE(st.st_ino, before.at(name.name).st_ino) << "replaced";
                }
                EXPECT_EQ(st.st_uid, uid_of(name.owner));
                EXPECT_EQ(st.st_gid, gid_of(name.owner));
                EXPECT_EQ(st.st_mode & 07777, name.mode);
                EXPECT_EQ(st.st_nlink, name.links);
                EXPECT_LT(::getxattr(path.c_str(), "security.capability", nullptr, 0), 0);
                // A file that had the attribute (itself, or the one it replaced) keeps it.
                if (attributed.count(name.was ? name.was : name.name)) {
                    char value[8] = {};
                    const ssize_t n = ::getxattr(path.c_str(), "user.vorna", value, sizeof value);
                    EXPECT_EQ(std::string(value, n < 0 ? 0 : static_cast<size_t>(n)), "kept");
                }
            }
            std::sort(listed.begin(), listed.end());
            std::sort(expected.begin(), expected.end());
            EXPECT_EQ(listed, expected);
            fs::remove_all(g_dir);
        }
    }
}

model_file::SaveStep g_stop_at;

void stop_here(model_file::SaveStep step) {
    if (step == g_stop_at) ::_exit(3);
}

// A save stopped at each of its steps leaves a file that loads as the old model, as the new one,
// or is refused; never a mixture of the two, which would load (one layout, other weights). An
// in-place save under a size limit below the new length is refused before the first byte, at
// every limit. A new name stopped at any step is left free.
TEST(ModelFileSave, AStoppedSaveLeavesTheOldModelTheNewOneOrAFileLoadRefuses) {
    using model_file::SaveStep;
    const auto old_model = dense_model(8, 8, 1), new_model = dense_model(8, 8, 2);
    const std::string new_bytes = file_of(*new_model);
    const rlim_t size = new_bytes.size();
    struct Stop {
        int links;          // of the old file; 0: a new name
        size_t padding;     // bytes after the old block, which load ignores
        SaveStep step;      // where the hook stops the save, unless a limit does first
        rlim_t limit;       // a file-size limit, 0 for none
        const char* loads;  // "old", "new", "refused" or load's own error
    };
    const SaveStep never = static_cast<SaveStep>(-1);
    std::vector<Stop> stops = {
        {1, 0, SaveStep::replacement_written, 0, "old"},
        {2, 0, SaveStep::in_place_reserved, 0, "old"},
        {2, 0, SaveStep::in_place_head_refused, 0, "refused"},
        {2, 0, SaveStep::in_place_body_written, 0, "refused"},
        {2, 0, SaveStep::in_place_head_written, 0, "new"},
        {2, 300, SaveStep::in_place_head_written, 0, "new"},
        {2, 0, never, size - 1, "old"},
        {0, 0, SaveStep::opened, 0, "File not found."},
        {0, 0, SaveStep::replacement_written, 0, "File not found."},
    };
    for (const rlim_t limit : {rlim_t{5}, rlim_t{6}, rlim_t{100}, size / 2, size - 1}) {
        stops.push_back({2, 300, never, limit, "old"});
    }
    for (const Stop& stop : stops) {
        SCOPED_TRACE(testing::Message()
                     << "links " << stop.links << ", step " << static_cast<int>(stop.step)
                     << ", limit " << stop.limit << ", padding " << stop.padding);
        SavedFile file;
        std::ofstream(file.path, std::ios::binary | std::ios::trunc)
            << file_of(*old_model) + std::string(stop.padding, '\0');
        if (stop.links == 0) fs::remove(file.path);
        if (stop.links == 2) fs::create_hard_link(file.path, file.dir / "h.fbz");
        g_stop_at = stop.step;
        const std::string error = in_child(false, [&] {
            ::signal(SIGXFSZ, SIG_IGN);
            const struct rlimit rl = {stop.limit, stop.limit};
            if (stop.limit) ::setrlimit(RLIMIT_FSIZE, &rl);
            model_file::set_save_hook(stop_here);
            return save_text(*new_model, file.path);
        });
        EXPECT_EQ(error, stop.limit ? kWriteError : "<stopped>");
        Bytes got;
        std::string loads = test_support::kinded_error_text(
            [&] { got = model_file::load(file.path)->serialize(); });
        loads = loads == "<no exception>" ? (got == old_model->serialize()   ? "old"
                                             : got == new_model->serialize() ? "new"
                                                                             : "neither")
                : loads == "invalid_argument: Cannot uncompress corrupted serialization buffer"
                    ? "refused"
                    : loads.substr(loads.find(": ") + 2);
        EXPECT_EQ(loads, stop.loads);
        // A stopped replacement leaves no second file behind.
        EXPECT_EQ(std::distance(fs::directory_iterator(file.dir), fs::directory_iterator()),
                  stop.links);
    }
}

// Two processes saving to one name over and over: every save lands, and a load meanwhile and
// afterwards always gives one of the two models, with nothing left beside the file.
TEST(ModelFileSave, ConcurrentSavesToOneNameAllLand) {
    SavedFile file;
    const auto a = dense_model(8, 8, 1), b = dense_model(8, 8, 2);
    model_file::save(*a, file.path);
    std::set<pid_t> savers;
    for (const Model* model : {a.get(), b.get()}) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int failed = 0;
            for (int i = 0; i < 1000; ++i) {
                failed += !save_text(*model, file.path).empty();
            }
            ::_exit(std::min(failed, 100));
        }
        savers.insert(pid);
    }
    int loads = 0, wrong = 0;
    while (!savers.empty()) {
        const Bytes got = model_file::load(file.path)->serialize();
        wrong += got != a->serialize() && got != b->serialize();
        ++loads;
        int status = 0;
        const pid_t done = ::waitpid(-1, &status, WNOHANG);
        if (done > 0) {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
                << "failed saves: " << WEXITSTATUS(status);
            savers.erase(done);
        }
    }
    EXPECT_EQ(wrong, 0) << "of " << loads << " loads";
    const Bytes got = model_file::load(file.path)->serialize();
    EXPECT_TRUE(got == a->serialize() || got == b->serialize());
    EXPECT_EQ(std::distance(fs::directory_iterator(file.dir), fs::directory_iterator()), 1);
}
}  // namespace
}  // namespace vorna
