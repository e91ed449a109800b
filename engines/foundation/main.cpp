// brindlecap-swift-engine: answers one JSON request per line of standard input
// with one JSON response line on standard output.
//
// Write and flush results are deliberately not examined, and SIGPIPE keeps
// its default disposition: when the host closes its end, the next response
// ends the process. Nothing is ever written to standard error.
#include "engine.h"
#include "platform.h"

#include <cstdio>

int main() {
    using namespace brindlecap::foundation;
    platform::LineReader input;
    Workspace work = make_workspace(stdout);
    ResponseWriter& response = work.out;
    while (const auto line = platform::read_line(input)) {
        if (input.line_lost) {
            // A line too long to hold is a request that exhausts memory.
            clear_response(response);
            error_to_json(response, "out of memory");
        } else if (line->empty()) {
            continue;
        } else {
            respond(*line, work);
        }
        write_raw(response, "\n");
        std::fwrite(response.buffer.get(), 1, response.size, stdout);
        std::fflush(stdout);
    }
    return 0;
}
