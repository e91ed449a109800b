// The replacement template of "replace": & for the matched text, backslash
// escapes, and \l \u \L \U \E for case changes.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace brindlecap::shell {

// Index of the first backslash at or after `from`, below `length`, that is
// followed by E; `length` when there is none. Pairs of backslashes are not
// treated as a unit. Indices are byte offsets into the UTF-8 template: every
// character this looks for is ASCII, so byte and character positions agree on
// where a segment ends.
std::size_t find_case_end(std::string_view template_text, std::size_t length, std::size_t from);

// The text that replaces one match. Nested \L and \U segments are expanded
// without recursion, so no template can exhaust the stack, and at any depth.
// Each level of a nesting maps the expansion of the levels inside it once
// more. Levels without text of their own (\U\L\U... repeated) cost a few
// mappings in all, once the text no longer changes under them; but a template
// that puts text of its own into very many levels (\U&\L&\U&... repeated)
// costs time quadratic in its length: when that re-mapping exceeds
// REMAP_FACTOR times the size of the template and of the expansion (plus
// REMAP_ALLOWANCE bytes), the expansion is abandoned and nothing is returned.
// About REMAP_FACTOR / 3 levels with text of their own are never refused,
// whatever the size of that text.
std::optional<std::string> expand_replacement(std::string_view template_text,
                                              std::string_view matched);

inline constexpr std::size_t REMAP_FACTOR = 64;
inline constexpr std::size_t REMAP_ALLOWANCE = std::size_t{1} << 20;

enum class CaseMode { lower, upper };

// Full, language-independent case mapping of a string (with the final-sigma
// rule for lower case). Ill-formed UTF-8 is mapped as U+FFFD.
std::string map_case(std::string_view text, CaseMode mode);

// ICU counts lengths in int32_t and a mapping can triple a text, so texts
// longer than this are mapped in pieces, cut where no rule looks across.
inline constexpr std::size_t MAP_PIECE_LIMIT = std::size_t{1} << 26;

// map_case of valid UTF-8 in pieces of at most `limit` bytes (at least 4)
// where the text allows; the same text as mapping it whole.
std::string map_case_in_pieces(std::string_view text, CaseMode mode, std::size_t limit);

}  // namespace brindlecap::shell
