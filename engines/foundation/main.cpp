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
    while (const auto line = platform::read_line(input)) {
        if (line->empty()) continue;
        ResponseWriter response{stdout, {}};
        respond(*line, response);
        response.text += '\n';
        std::fwrite(response.text.data(), 1, response.text.size(), stdout);
        std::fflush(stdout);
    }
    return 0;
}
