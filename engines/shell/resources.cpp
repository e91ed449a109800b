#include "resources.h"

#include "limits.h"

#include "base/descriptor.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace brindlecap::shell {

std::uint64_t address_space_in_use() {
    // The first figure of statm is the whole mapped size, in pages. The file
    // stays open: it is read before every compile.
    static const OwnedFd statm(open("/proc/self/statm", O_RDONLY | O_CLOEXEC));
    static const long page = sysconf(_SC_PAGESIZE);
    if (!statm.is_open() || page <= 0) return 0;
    char text[128];
    const ssize_t got = pread(statm.get(), text, sizeof text - 1, 0);
    if (got <= 0) return 0;
    text[got] = '\0';
    unsigned long long pages = 0;
    if (std::sscanf(text, "%llu", &pages) != 1) return 0;
    return pages * static_cast<std::uint64_t>(page);
}

AddressSpaceBudget::AddressSpaceBudget(std::uint64_t budget) {
    const std::uint64_t used = address_space_in_use();
    if (used == 0 || getrlimit(RLIMIT_AS, &saved_) != 0) return;
    const std::uint64_t wanted = used + budget;
    if (saved_.rlim_cur != RLIM_INFINITY && saved_.rlim_cur <= wanted) return;
    rlimit lowered = saved_;
    lowered.rlim_cur = static_cast<rlim_t>(wanted);
    lowered_ = setrlimit(RLIMIT_AS, &lowered) == 0;
}

AddressSpaceBudget::~AddressSpaceBudget() {
    if (lowered_) setrlimit(RLIMIT_AS, &saved_);
}

std::size_t loop_stack_bytes() {
    rlimit limit{};
    if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return LOOP_STACK_BYTES;
    const std::uint64_t used = address_space_in_use();
    const std::uint64_t room = limit.rlim_cur > used ? limit.rlim_cur - used : 0;
    const std::uint64_t share = room / LOOP_STACK_SHARE;
    return static_cast<std::size_t>(
        std::clamp<std::uint64_t>(share, MIN_LOOP_STACK_BYTES, LOOP_STACK_BYTES));
}

std::size_t stack_left() {
    // The lowest address of this thread's stack, looked up once per thread.
    thread_local const char* const low = [] {
        const char* bottom = nullptr;
        pthread_attr_t attributes;
        if (pthread_getattr_np(pthread_self(), &attributes) != 0) return bottom;
        void* address = nullptr;
        std::size_t size = 0;
        if (pthread_attr_getstack(&attributes, &address, &size) == 0)
            bottom = static_cast<const char*>(address);
        pthread_attr_destroy(&attributes);
        return bottom;
    }();
    // The frame's own address: a local's may lie on a sanitizer's fake stack.
    const char* position = static_cast<const char*>(__builtin_frame_address(0));
    if (low == nullptr || position <= low) return 0;
    return static_cast<std::size_t>(position - low);
}

}  // namespace brindlecap::shell
