#include "corelib/file_lock.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

namespace vorna::model_file {

bool locked(int fd, short type, int polls) {
    for (int poll = 0; poll <= polls; ++poll) {
        struct flock lock = {};
        lock.l_type = type;  // from the start (SEEK_SET, 0) to the end, however far (length 0)
        if (::fcntl(fd, F_OFD_SETLK, &lock) == 0) return true;
        if (errno != EAGAIN && errno != EACCES && errno != EINTR) return true;
        // A classic lock belongs to the process: asked as one, the kernel names any lock in the
        // way but this process's own classic locks. With none, the open-file lock is kept off by
        // those alone, which the open-file question names with this process's id (an open-file
        // lock has none, -1), or by a lock that went meanwhile: the file is then locked at once.
        struct flock other = {}, any = {};
        other.l_type = any.l_type = type;
        if (::fcntl(fd, F_GETLK, &other) == 0 && other.l_type == F_UNLCK) {
            if (::fcntl(fd, F_OFD_GETLK, &any) == 0 && any.l_type != F_UNLCK &&
                any.l_pid == ::getpid()) {
                return true;
            }
            continue;
        }
        if (poll < polls) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

}  // namespace vorna::model_file
