// The adapter's entry for C++ callers such as the engine: a search's matches,
// or a replacement's result, together with how the work ended, which the flat
// interface has no room to say. The flat functions wrap these.
#pragma once

#include "mysql_adapter.h"

#include <unicode/utypes.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string_view>

// One match: the byte offsets of its start and of its end (exclusive).
struct AdapterMatch {
    int32_t start;
    int32_t end;
};

namespace brindlecap::mysql_adapter {

// Byte offsets of one group of one match; both -1 when it did not take part.
struct GroupSpan {
    int32_t start;
    int32_t end;
};

struct MatchArrayFree {
    void operator()(AdapterMatch* matches) const { mysql_match_result_free(matches, 0); }
};
using MatchArray = std::unique_ptr<AdapterMatch, MatchArrayFree>;

// Every match of one search, in order, and how the search ended. A list that
// ended early (out_of_memory or a matcher error) holds the matches found
// before; the caller decides what that is worth.
struct Search {
    MatchArray matches;  // count records; null when there are none
    int32_t count = 0;
    int32_t group_count = 0;                  // groups of the pattern, the same for every match
    const GroupSpan* spans = nullptr;         // group_count per match, owned by `matches`
    bool out_of_memory = false;               // memory for the list (or for ICU) could not be had
    UErrorCode matcher_error = U_ZERO_ERROR;  // the status ICU gave up the search with
};

// The spans of match i: group_count of them.
inline const GroupSpan* group_spans(const Search& search, int32_t i) {
    return search.spans +
           static_cast<std::size_t>(i) * static_cast<std::size_t>(search.group_count);
}

// Every match of the pattern in `text` (well-formed UTF-8 below 2^30 bytes;
// any other text has no matches). The array does not depend on the handle,
// nor on the text: offsets only, no copy of the text.
Search search_all(URegularExpression* handle, std::string_view text);

struct CharFree {
    void operator()(char* text) const { std::free(text); }
};
using OwnedText = std::unique_ptr<char, CharFree>;

// The text with every match replaced by the template, in ICU's replacement
// syntax. Without a result: the text or the template could not be converted,
// ICU refused the template (a group the pattern lacks), the result would hold
// what a NUL-terminated UTF-8 string cannot (U+0000, a lone surrogate), or
// one of the two flags below says why.
struct Replacement {
    OwnedText text;  // malloc'd, NUL-terminated
    bool out_of_memory = false;
    UErrorCode matcher_error = U_ZERO_ERROR;  // the status ICU gave up a search with
};

Replacement replace_all(URegularExpression* handle, std::string_view text,
                        std::string_view replacement);

}  // namespace brindlecap::mysql_adapter
