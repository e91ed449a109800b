// brindlecap-r-engine: answers the line protocol by running Rscript on a
// small R program per request.
#include "r_programs.h"

#include "base/process_start.h"
#include "protocol/protocol.h"

int main() {
    brindlecap::prepare_standard_streams();
    brindlecap::run_request_loop(brindlecap::r::R_PROGRAM_NAME, brindlecap::r::R_OPERATIONS);
    return brindlecap::ENGINE_EXIT_STATUS;
}
