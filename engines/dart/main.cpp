#include "dart_engine.h"
#include "dart_script.h"

#include "base/descriptor.h"
#include "base/process_start.h"
#include "protocol/protocol.h"

#include <unistd.h>
#include <string>

int main() {
    using namespace brindlecap;
    using namespace brindlecap::dart;
    prepare_standard_streams();

    const std::string path(dart_script_path);
    if (const auto failure = write_dart_script(path)) {
        // Standard error is unbuffered and this is the program's last word; a
        // failure to write it has nowhere to go.
        write_all(STDERR_FILENO, std::string(DART_PROGRAM_NAME) +
                                     ": failed to write Dart script: " + *failure + "\n");
        return ENGINE_EXIT_STATUS;
    }
    run_request_loop(DART_PROGRAM_NAME, DART_OPERATIONS);
    remove_dart_script(path);
    return ENGINE_EXIT_STATUS;
}
