// Line-by-line search of a text with a compiled pattern.
#pragma once

#include "pattern.h"

#include <cstddef>
#include <string_view>
#include <vector>

namespace brindlecap::shell {

// One non-empty match: byte offsets from the start of its line (of the whole
// text, from find_text_matches), end exclusive.
struct MatchSpan {
    std::size_t start = 0;
    std::size_t end = 0;
};

// Appends the matches of the line to `spans`, shifted by `line_offset`.
void append_line_matches(const TrePattern& pattern, std::string_view line, std::size_t line_offset,
                         std::vector<MatchSpan>& spans);

// Every non-empty match of every line of the text, as offsets into the text.
// In a multibyte locale, an ASCII line searched with an ASCII pattern goes to
// TRE in its byte mode, which finds the same matches without decoding the
// line; `byte_path` false keeps every line in the multibyte mode. There, a
// pattern with back references searches each line as wide characters.
std::vector<MatchSpan> find_text_matches(const TrePattern& pattern, std::string_view text,
                                         bool byte_path = true);

// Calls `visit(line, line_offset)` for every line of the text (cut at each
// line feed; the empty text is one empty line).
template <typename Visit>
void for_each_line(std::string_view text, Visit&& visit) {
    std::size_t offset = 0;
    while (true) {
        std::size_t feed = text.find('\n', offset);
        if (feed == std::string_view::npos) {
            visit(text.substr(offset), offset);
            return;
        }
        visit(text.substr(offset, feed - offset), offset);
        offset = feed + 1;
    }
}

}  // namespace brindlecap::shell
