#include "mysql_engine.h"
#include "process_start.h"

#include <array>

int main() {
    brindlecap::prepare_standard_streams();
    static constexpr std::array<brindlecap::Operation, 2> operations = {{
        {"test", brindlecap::mysql::test_operation},
        {"replace", brindlecap::mysql::replace_operation},
    }};
    brindlecap::run_request_loop(brindlecap::mysql::PROGRAM_NAME, operations);
    return brindlecap::ENGINE_EXIT_STATUS;
}
