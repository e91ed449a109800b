// The wording of a system error number, as engines and launchers report it.
#pragma once

#include <string>

namespace brindlecap {

// "<strerror text> (os error N)"
std::string os_error_text(int error_number);

}  // namespace brindlecap
