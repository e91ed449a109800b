#include "file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <cerrno>

namespace brindlecap::test {

FileLock::FileLock(const std::string& path)
    : fd_(open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644)) {
    if (!fd_.is_open()) return;
    while (flock(fd_.get(), LOCK_EX) != 0 && errno == EINTR) {
    }
}

}  // namespace brindlecap::test
