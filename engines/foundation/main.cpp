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
    platform::JsonReader json = platform::make_json_reader();
    ResponseWriter response = make_response_writer(stdout);
    while (const auto line = platform::read_line(input)) {
        clear_response(response);
        if (input.line_lost) {
            // A line too long to hold is a request that exhausts memory.
            write_error(response, "out of memory");
        } else if (line->empty()) {
            continue;
        } else {
            respond(*line, json, response);
        }
        write_raw(response, "\n");
        std::fwrite(response.buffer.get(), 1, response.size, stdout);
        std::fflush(stdout);
    }
    return 0;
}
