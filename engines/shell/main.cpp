// brindlecap-shell-engine: POSIX (TRE) regular expressions over the line
// protocol.
#include "operations.h"
#include "protocol/process_start.h"
#include "protocol/protocol.h"

#include <clocale>

int main() {
    // First of all: the locale decides whether TRE reads bytes or multibyte
    // characters. An unknown locale leaves POSIX in force, which is fine.
    std::setlocale(LC_ALL, "");
    brindlecap::prepare_standard_streams();
    static constexpr brindlecap::Operation operations[] = {
        {"test", &brindlecap::shell::test_operation},
        {"replace", &brindlecap::shell::replace_operation},
    };
    brindlecap::run_request_loop("brindlecap-shell-engine", operations);
    return brindlecap::ENGINE_EXIT_STATUS;
}
