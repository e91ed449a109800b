#include "dart_engine.h"
#include "dart_script.h"
#include "process_start.h"
#include "protocol.h"

#include <cerrno>
#include <string>
#include <unistd.h>

namespace {

// Standard error is unbuffered and this is the program's last word; a failure
// to write it has nowhere to go.
void write_to_stderr(const std::string& text) {
    std::string_view rest = text;
    while (!rest.empty()) {
        const ssize_t written = write(STDERR_FILENO, rest.data(), rest.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        rest.remove_prefix(static_cast<std::size_t>(written));
    }
}

}  // namespace

int main() {
    using namespace brindlecap;
    prepare_standard_streams();

    const std::string path(dart_script_path);
    if (const auto failure = write_dart_script(path)) {
        write_to_stderr(std::string(DART_PROGRAM_NAME) + ": failed to write Dart script: " + *failure +
                        "\n");
        return ENGINE_EXIT_STATUS;
    }
    run_request_loop(DART_PROGRAM_NAME, DART_OPERATIONS);
    remove_dart_script(path);
    return ENGINE_EXIT_STATUS;
}
