#include "descriptor.h"

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>

namespace brindlecap {

OwnedFd& OwnedFd::operator=(OwnedFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
}

int OwnedFd::release() noexcept {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

void OwnedFd::reset(int fd) noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

int open_pipe(Pipe& pipe) {
    int fds[2];
    if (::pipe(fds) != 0) return errno;
    pipe.read_end.reset(fds[0]);
    pipe.write_end.reset(fds[1]);
    for (const int fd : fds) {
        if (::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) return errno;
    }
    return 0;
}

int set_non_blocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return errno;
    return 0;
}

int write_all(WriteFn write_fn, int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = write_fn(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (written == 0) return WRITE_NO_PROGRESS;
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return 0;
}

int write_all(int fd, std::string_view bytes) { return write_all(::write, fd, bytes); }

}  // namespace brindlecap
