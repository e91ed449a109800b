#include "self_path.h"

#include <cerrno>
#include <cstdint>
#include <vector>

#if defined(__APPLE__)
#include <mach-o/dyld.h>
#else
#include <unistd.h>
#endif

namespace brindlecap::launcher {

#if defined(__APPLE__)

TextResult executable_path() {
    // The first call only reports the size, terminating NUL included.
    std::uint32_t size = 0;
    _NSGetExecutablePath(nullptr, &size);
    if (size == 0) return {std::nullopt, launcher_error_text(errno)};
    std::vector<char> buffer(size);
    if (_NSGetExecutablePath(buffer.data(), &size) != 0) {
        return {std::nullopt, launcher_error_text(errno)};
    }
    return {std::string(buffer.data(), buffer.size() - 1), {}};
}

#else

TextResult executable_path() {
    // readlink does not say whether it truncated: grow until the answer fits.
    std::vector<char> buffer(256);
    for (;;) {
        errno = 0;
        const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length <= 0) return {std::nullopt, launcher_error_text(errno)};
        if (static_cast<std::size_t>(length) < buffer.size()) {
            return {std::string(buffer.data(), static_cast<std::size_t>(length)), {}};
        }
        buffer.resize(buffer.size() * 2);
    }
}

#endif

}  // namespace brindlecap::launcher
