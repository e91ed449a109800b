#include "os_error.h"

#include <cstring>

namespace brindlecap {

namespace {

// strerror_r comes in two shapes (XSI returns int, GNU returns char*).
[[maybe_unused]] const char* strerror_result(int result, const char* buffer) {
    return result == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char* strerror_result(const char* result, const char*) { return result; }

}  // namespace

std::string os_error_text(int error_number) {
    char buffer[256] = {};
    const char* message = strerror_result(strerror_r(error_number, buffer, sizeof buffer), buffer);
    std::string text = message ? message : "Unknown error " + std::to_string(error_number);
    return text + " (os error " + std::to_string(error_number) + ")";
}

}  // namespace brindlecap
