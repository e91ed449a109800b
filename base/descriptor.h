// Owning file descriptors and pipes, and writing a whole buffer to one.
#pragma once

#include <sys/types.h>
#include <string_view>

namespace brindlecap {

// One open descriptor, closed when the owner goes; moving hands it on. The
// result of closing is not looked at: nothing could be done about it.
class OwnedFd {
public:
    OwnedFd() = default;
    explicit OwnedFd(int fd) noexcept : fd_(fd) {}
    OwnedFd(const OwnedFd&) = delete;
    OwnedFd& operator=(const OwnedFd&) = delete;
    OwnedFd(OwnedFd&& other) noexcept : fd_(other.release()) {}
    OwnedFd& operator=(OwnedFd&& other) noexcept;
    ~OwnedFd() { reset(); }

    int get() const noexcept { return fd_; }
    bool is_open() const noexcept { return fd_ >= 0; }
    // Gives the descriptor up without closing it.
    int release() noexcept;
    // Closes the one held, if any, and holds `fd` instead.
    void reset(int fd = -1) noexcept;

private:
    int fd_ = -1;
};

// The two ends of one pipe.
struct Pipe {
    OwnedFd read_end;
    OwnedFd write_end;
};

// Opens `pipe` with both ends close-on-exec, so that a child gets an end only
// through dup2. 0, or the error number.
int open_pipe(Pipe& pipe);

// Sets O_NONBLOCK on `fd`. 0, or the error number.
int set_non_blocking(int fd);

// What write_all gives when a write accepted nothing: no error number says
// so, and trying again would loop for ever.
inline constexpr int WRITE_NO_PROGRESS = -1;

using WriteFn = ssize_t (*)(int fd, const void* data, size_t size);

// Writes all of `bytes`: a partial write goes on with the rest, an interrupted
// one (EINTR) is repeated. 0 when everything was written, the error number of
// the write that failed, or WRITE_NO_PROGRESS.
int write_all(int fd, std::string_view bytes);

// The same through `write_fn` in place of write(2).
int write_all(WriteFn write_fn, int fd, std::string_view bytes);

}  // namespace brindlecap
