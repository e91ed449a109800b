#include "spawn_attributes.h"

#include <csignal>

namespace brindlecap {

SigpipeDefaultAttributes::SigpipeDefaultAttributes() noexcept {
    error_ = ::posix_spawnattr_init(&attributes_);
    if (error_ != 0) return;
    initialised_ = true;
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    error_ = ::posix_spawnattr_setsigdefault(&attributes_, &defaults);
    if (error_ == 0) error_ = ::posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGDEF);
}

SigpipeDefaultAttributes::~SigpipeDefaultAttributes() {
    if (initialised_) ::posix_spawnattr_destroy(&attributes_);
}

}  // namespace brindlecap
