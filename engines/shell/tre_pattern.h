// The one place that includes TRE's header (its regex_t must not meet the C
// library's <regex.h> in the same translation unit).
#pragma once

#include <tre/tre.h>

namespace brindlecap::shell {

struct TrePattern {
    regex_t re{};
    // The pattern may hold a word assertion (\< \> \b \B), which reads the
    // character before a search's start; only such a pattern can find a
    // different match when a search starts later on the line.
    bool reads_before_start = true;
    // The pattern holds a back reference, which TRE matches with its
    // backtracking matcher.
    bool back_references = false;
    // Every byte of the text TRE compiled is ASCII.
    bool ascii = false;
};

}  // namespace brindlecap::shell
