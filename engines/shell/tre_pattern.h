// The one place that includes TRE's header (its regex_t must not meet the C
// library's <regex.h> in the same translation unit).
#pragma once

#include <tre/tre.h>

namespace brindlecap::shell {

struct TrePattern {
    regex_t re{};
};

}  // namespace brindlecap::shell
