#pragma once

// Model files: a model's serialization compressed as one raw snappy block, with no framing,
// header or checksum of its own. Reading, decoding, encoding and writing are separate steps so
// that each can be exercised on its own.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "corelib/model.h"

namespace vorna::model_file {

// The largest serialization a model file can hold: the block records the uncompressed length
// as a 32-bit count.
constexpr uint64_t kMaxSerializedSize = 0xFFFFFFFFu;

// The largest model file that can be read back: its size is read as a signed 32-bit count.
constexpr uint64_t kMaxFileSize = 0x7FFFFFFFu;

// Bytes held without being zero-filled first: a model file's content, read or to be written.
struct Bytes {
    std::unique_ptr<char[]> data;
    size_t size = 0;
};

// Throws std::runtime_error "Model too large to save: its serialization of <size> bytes exceeds
// the <limit> bytes a model file can hold" when `size` is above `limit`.
void check_serialized_size(uint64_t size, uint64_t limit = kMaxSerializedSize);

// Throws std::runtime_error "Model too large to save: its model file of <size> bytes exceeds
// the <limit> bytes that can be read back" when the compressed `size` is above `limit`: such a
// file could be written but never loaded.
void check_file_size(uint64_t size, uint64_t limit = kMaxFileSize);

// The content of a model file for `serialization`, after check_serialized_size, and refused by
// check_file_size when it is too large to be read back.
Bytes encode(const std::vector<uint8_t>& serialization, uint64_t limit = kMaxSerializedSize,
             uint64_t file_limit = kMaxFileSize);

// Rebuilds a model from the whole content of a model file. The uncompressed length is read
// from `data`, the output is sized from it and decoded from the same bytes, so the decoder
// never writes past the output whatever the bytes hold. Throws std::invalid_argument "Cannot
// uncompress corrupted serialization buffer" when the content does not start with a plausible
// uncompressed length, or when its block ends or breaks before giving that many bytes; bytes
// after a whole block are ignored, and Model::from_buffer refuses what is not a whole model.
std::unique_ptr<Model> decode(const char* data, size_t size);

// The whole content of the file at `path`, read once. Throws std::runtime_error "File not found."
// when the path holds a null byte (refused before any open), when the file cannot be opened or
// read, or is a socket. A regular file is read under a shared lock (see write), so a load sees
// the old or the new model of a save writing it in place, never a mixture: a write lock is waited
// for five seconds at most, and one held longer (another program's, a stopped process's, or this
// process's own open-file lock through another descriptor) refuses the load with
// std::runtime_error "Unable to read model file: <path> (locked by a writer)", before anything is
// read. This process's own classic write locks (F_SETLK, lockf) are kept and read locks added
// beside them (see file_lock.h). No lock is taken where the file system has none. Anything else
// is measured by its end position, a directory as 0 bytes: "File is empty." for a size of 0 or
// none (a directory, /dev/null, a pipe, which is not waited for), "File is too large." for 2^31
// bytes or more. The lock's wait, the open and an interrupted read call check_interrupt, whose
// exception ends the load; in the child of a fork made during one (see check_wait), the load's
// copy is refused there with "Unable to read model file: <path> (the process forked during the
// load)".
Bytes read(const std::string& path);

// Writes `size` bytes to `path`. How is decided when the path is opened, against the file that
// was opened; the directory holding the name is held from then on, and the caller's path is never
// resolved again.
//
// Opening. The path is opened for writing as open(2) would, without truncating and without
// waiting: a pipe no one reads fails at once. Refused with std::invalid_argument "Unable to open
// file for saving model: <path>" (a null byte shown as "\0"), before anything is serialized or
// written: "", a path ending in "/", a null byte, a missing directory, a directory, a link loop,
// a pipe without a reader, a file the caller may not write, a file that the kernel's protection
// of shared directories keeps from the caller as it would keep it from the create-or-truncate
// open (another user's file or FIFO in a sticky directory, at the levels fs.protected_regular
// and fs.protected_fifos set), and a missing file whose directory takes no new file. A link is
// followed with the kernel's own checks, and a link to a missing file creates that file where the
// link points, at once and empty, as that open does: a save that then fails leaves it so, and
// load refuses it ("File is empty."). Where the file system has no unnamed files (O_TMPFILE), a
// missing name is made at the open, exclusively (a file that took the name meanwhile is opened
// instead), and written in place as below; a save that then fails or is refused removes it. Else
// a missing name is taken only at the end. Nothing is removed that the save did not certainly
// create (made exclusively, or unnamed).
//
// Replacing. A missing file, and a regular file that is its only name, are replaced: the new
// content is written to a new file, which takes the name once it is whole, so a failed or stopped
// save leaves the old file. An existing file is replaced only when it has a name in a directory
// not marked append-only or immutable, is reached without a descriptor link (/dev/stdout,
// /proc/self/fd/N), is not a mount point, can be renamed over (not another user's file in a
// sticky directory), and the new file can be given, once its content is whole, its owner, group,
// mode (set-user and set-group bits included) and the extended attributes the caller can read
// (trusted.* only where it is privileged), but for security.capability, which writing removes
// as writing the file itself would; inode flags (chattr) and timestamps are not kept. The new
// file is unnamed (O_TMPFILE) where the file system allows, made at the open: a missing name is
// given straight to it, and to replace a file it takes a name no one can guess first
// (".vorna-<random>.tmp" beside the file) for the instant before the rename. Elsewhere, a file is
// replaced by a new file made under such a name with mode 0600 once the content is ready. A kill
// leaves such a named file (from its naming to the rename), or, without unnamed files, a new name
// that is empty, refused by load, or holds the whole new model; nothing else.
//
// Decided after the open, each before any byte of the target is written, so that each leaves the
// target as it was:
// - the new file cannot be made (the directory takes no new file), filled (no room or quota for
//   a second copy) or given the owner, group, mode or attributes, or the directory refuses the
//   rename (a security module, no room): the file is written in place instead, which checks the
//   room and the file-size limit before it overwrites anything;
// - the process's file-size limit refuses the new file: the save is refused, as in place would be;
// - the name no longer holds the file opened as its only name, or a missing name was taken
//   meanwhile: when it holds a regular file (another save's, or the file opened, given another
//   name meanwhile), that file is opened, without following a link, and the save starts over
//   with the content already written, a few times at most, so that the last of concurrent saves
//   wins, and a file with another name is written in place; anything else there (a link, a
//   directory, no file: the name was removed), or a name that keeps changing, refuses the save
//   with the write error below. A link that appears during a save is never followed.
// A window of microseconds remains between the last check of the name (that it holds the file
// opened as its only name, or the new name this save made) and the rename (or the removal of that
// new name after a failure); a rename or removal never follows a link, so nothing outside the
// directory is touched.
//
// Writing in place, through the opened descriptor, in every other case: several links, a
// descriptor link, a file without a usable name, an owner that cannot be kept, a directory that
// takes no new file or keeps its names (append-only, immutable), no room for a second copy. From
// the reservation to the cut the save holds a write lock on the whole file (fcntl F_OFD_SETLK,
// which belongs to the open file, not to the process or thread), and a load holds a read lock
// while it reads: a second save in place of the file waits until the first is done (the last
// wins), and a load waits for the save and sees the old or the new model. A lock is waited for
// five seconds at most, on the steady clock, each poll followed by check_interrupt (whose
// exception ends the save with the file as it was): held longer (another program's, a stopped
// process's, any reader's), the save is refused with the file as it was and "Unable to write
// model file: <path> (locked by another process)" for another process's classic lock (F_SETLK,
// lockf), "(locked)" for an open-file lock, which may be this process's own through another
// descriptor (an open-file lock names no process), and a load is refused (see read). This
// process's own classic locks, which conflict with its open-file locks, are made a classic write
// lock on the whole file instead, which other processes' locks (their read locks too) keep out
// and are waited for as above (see file_lock.h). flock(2) locks are not seen. The locks are
// advisory: other programs' writes are not held back, and where the file system has no such
// locks nothing is. When the whole new length cannot be reserved, or exceeds the process's
// file-size limit, the save is refused with the file as it was. Then the head is overwritten with
// bytes load refuses, the rest is written, the true head last (one write of five bytes), and the
// file is cut to length: a save stopped at any point leaves the old model, the new one, or a file
// load refuses, never one that loads as neither. Writing changes the file as any write by the
// caller does: the kernel removes security.capability, and the set-user bit and a
// group-executable file's set-group bit unless the caller may keep them (CAP_FSETID).
// Pipes and devices are written as a stream, with no deadline; while one takes nothing (a pipe no
// one reads), it is polled for 100 ms at most at a time, check_interrupt is called after every
// poll (a signal cuts it short), and its exception ends the save.
//
// Nothing is forced to the disk: this guards against stopped processes and I/O errors, not
// against a power loss. Interrupted system calls are retried, an open or a write of a stream or
// of the new file after check_interrupt. Throws std::runtime_error "Unable
// to write model file: <path>" when writing, reserving, locking, closing or renaming fails. In
// the child of a fork made during a check_interrupt, the save's copy stops when the check returns,
// with "Unable to write model file: <path> (the process forked during the save)", and changes no
// file: the parent's save goes on (see check_wait).
void write(const std::string& path, const char* data, size_t size);

// The steps of a save at which the test hook below is called.
enum class SaveStep {
    link_found,             // the name is a link, about to be followed
    opened,                 // the target is open and the way to write it decided
    replacement_written,    // the new file holds the whole content and has no name yet
    in_place_reserved,      // the file holds the new length; no old byte overwritten
    in_place_head_refused,  // the head holds bytes load refuses
    in_place_body_written,  // all but the head is new
    in_place_head_written,  // all is new; the file is not cut to length yet
};

// Test seam: a function called at each step of every save, so that a test can change the file
// system between steps or stop the process there. None by default.
using SaveHook = void (*)(SaveStep);
void set_save_hook(SaveHook hook);

// Test seam: the levels of fs.protected_regular and fs.protected_fifos a save applies in place of
// the machine's settings; -1, the default, for the machine's.
void set_protection_levels(int regular, int fifos);

// Opens the path as write does, then serializes, checks the size against `limit`, compresses,
// checks the file size against `file_limit` and only then writes the file: a path that cannot
// be written is refused before anything is serialized, and a model that cannot be saved leaves
// the file untouched. The limits are parameters so that the refusals can be exercised without a
// model of several GiB.
void save(const Model& model, const std::string& path, uint64_t limit = kMaxSerializedSize,
          uint64_t file_limit = kMaxFileSize);

// read, then decode.
std::unique_ptr<Model> load(const std::string& path);

}  // namespace vorna::model_file
