#include "mysql_engine.h"

#include "base/process_start.h"

#include <array>

#include <malloc.h>

namespace {

constexpr int KEPT_FREE_MEMORY = 256 << 20;

}  // namespace

int main() {
    brindlecap::prepare_standard_streams();
    // The large buffers of a request (the line, its text in UTF-16, the match
    // records) are wanted again by the next one: keep freed memory in the
    // heap for reuse, up to a bound, instead of returning it and faulting
    // fresh pages in for every request.
    mallopt(M_MMAP_MAX, 0);
    mallopt(M_TRIM_THRESHOLD, KEPT_FREE_MEMORY);
    static constexpr std::array<brindlecap::Operation, 2> OPERATIONS = {{
        {"test", brindlecap::mysql::run_test},
        {"replace", brindlecap::mysql::run_replace},
    }};
    brindlecap::run_request_loop(brindlecap::mysql::PROGRAM_NAME, OPERATIONS);
    return brindlecap::ENGINE_EXIT_STATUS;
}
