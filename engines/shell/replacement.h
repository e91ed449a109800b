// The replacement template of "replace": & for the matched text, backslash
// escapes, and \l \u \L \U \E for case changes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace brindlecap::shell {

// Index of the first backslash at or after `from`, below `length`, that is
// followed by E; `length` when there is none. Pairs of backslashes are not
// treated as a unit. Indices are byte offsets into the UTF-8 template: every
// character this looks for is ASCII, so byte and character positions agree on
// where a segment ends.
std::size_t find_case_end(std::string_view template_text, std::size_t length, std::size_t from);

// The text that replaces one match. Never fails. Nested \L and \U segments are
// expanded without recursion, so no template can exhaust the stack.
std::string expand_replacement(std::string_view template_text, std::string_view matched);

enum class CaseMode { lower, upper };

// Full, language-independent case mapping of a string (with the final-sigma
// rule for lower case). Ill-formed UTF-8 is mapped as U+FFFD.
std::string map_case(std::string_view text, CaseMode mode);

}  // namespace brindlecap::shell
