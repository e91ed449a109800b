// brindlecap-r-engine: answers the line protocol by running Rscript on a
// small R program per request.
#include "process_start.h"
#include "protocol.h"
#include "r_programs.h"

#include <array>

int main() {
    brindlecap::prepare_standard_streams();
    static constexpr std::array<brindlecap::Operation, 3> operations{{
        {"test", brindlecap::r::op_test},
        {"replace", brindlecap::r::op_replace},
        {"validate", brindlecap::r::op_validate},
    }};
    brindlecap::run_request_loop("brindlecap-r-engine", operations);
    return brindlecap::ENGINE_EXIT_STATUS;
}
