#include "process_start.h"

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>

namespace brindlecap {

void open_missing_standard_streams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int opened = open("/dev/null", O_RDWR);
        if (opened < 0) continue;
        // open() takes the lowest free number, which is fd here; be sure anyway.
        if (opened != fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
}

void ignore_sigpipe() { std::signal(SIGPIPE, SIG_IGN); }

void prepare_standard_streams() {
    ignore_sigpipe();
    open_missing_standard_streams();
}

}  // namespace brindlecap
