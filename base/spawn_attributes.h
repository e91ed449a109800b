// Spawn attributes for a child that must start with SIGPIPE at its default
// action although its parent ignores it.
#pragma once

#include <spawn.h>

namespace brindlecap {

// POSIX_SPAWN_SETSIGDEF alone, with a default set that holds SIGPIPE only:
// the signal mask and the process group stay the parent's. Destroyed with
// the owner when its set-up succeeded.
class SigpipeDefaultAttributes {
public:
    SigpipeDefaultAttributes() noexcept;
    SigpipeDefaultAttributes(const SigpipeDefaultAttributes&) = delete;
    SigpipeDefaultAttributes& operator=(const SigpipeDefaultAttributes&) = delete;
    ~SigpipeDefaultAttributes();

    // 0 when ready, else the error number of the step that failed; the
    // attributes must then not be used.
    int error() const noexcept { return error_; }
    const posix_spawnattr_t* get() const noexcept { return &attributes_; }

private:
    posix_spawnattr_t attributes_{};
    bool initialised_ = false;
    int error_ = 0;
};

}  // namespace brindlecap
