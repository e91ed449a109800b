// Regular expressions over UTF-16 texts, with ICU: compiling, searching and
// template replacement.
#include "platform.h"
#include "platform_internal.h"

#include <unicode/regex.h>
#include <unicode/utext.h>
#include <unicode/utypes.h>

#include <algorithm>
#include <new>

namespace brindlecap::foundation::platform {

using namespace internal;

namespace {

// One piece of a parsed replacement template: literal units, or a group.
struct TemplatePiece {
    std::u16string literal;
    std::size_t group = 0;
    bool is_group = false;
};

std::size_t decimal_digits(std::size_t value) {
    std::size_t digits = 1;
    while (value >= 10) {
        value /= 10;
        ++digits;
    }
    return digits;
}

std::vector<TemplatePiece> parse_template(std::u16string_view t, std::size_t group_count) {
    const std::size_t max_digits = decimal_digits(group_count);
    std::vector<TemplatePiece> pieces;
    std::u16string literal;
    auto flush_literal = [&] {
        if (!literal.empty()) {
            pieces.push_back({std::move(literal), 0, false});
            literal.clear();
        }
    };
    std::size_t i = 0;
    while (i < t.size()) {
        const char16_t c = t[i];
        if (c == u'\\') {
            // A backslash at the very end has nothing to make literal and is dropped.
            if (i + 1 < t.size()) literal.push_back(t[i + 1]);
            i += 2;
            continue;
        }
        if (c == u'$') {
            std::size_t j = i + 1;
            std::size_t number = 0;
            while (j < t.size() && j - (i + 1) < max_digits && t[j] >= u'0' && t[j] <= u'9') {
                number = number * 10 + static_cast<std::size_t>(t[j] - u'0');
                ++j;
            }
            if (j > i + 1) {
                flush_literal();
                pieces.push_back({{}, number, true});
                i = j;
                continue;
            }
        }
        literal.push_back(c);
        ++i;
    }
    flush_literal();
    return pieces;
}

}  // namespace

void release_large_buffers(Text& text, MatchList& matches) {
    if (text.capacity * sizeof(char16_t) > KEPT_BUFFER_BYTES) text = Text{};
    std::size_t kept = 0;
    for (const std::vector<Range>& block : matches.blocks) kept += block.capacity() * sizeof(Range);
    if (kept > KEPT_BUFFER_BYTES) matches = MatchList{};
}

struct Regex {
    std::unique_ptr<icu::RegexPattern> pattern;
};

void RegexDelete::operator()(Regex* regex) const { delete regex; }

CompileResult compile_regex(std::string_view pattern, std::uint32_t options) {
    std::uint32_t flags = 0;
    if (options & REGEX_CASE_INSENSITIVE) flags |= UREGEX_CASE_INSENSITIVE;
    if (options & REGEX_ALLOW_COMMENTS_AND_WHITESPACE) flags |= UREGEX_COMMENTS;
    if (options & REGEX_DOT_MATCHES_LINE_SEPARATORS) flags |= UREGEX_DOTALL;
    if (options & REGEX_ANCHORS_MATCH_LINES) flags |= UREGEX_MULTILINE;

    UErrorCode status = U_ZERO_ERROR;
    icu::LocalUTextPointer text(utext_openUTF8(nullptr, pattern.data(),
                                               static_cast<std::int64_t>(pattern.size()), &status));
    UParseError where{};
    std::unique_ptr<icu::RegexPattern> compiled;
    if (U_SUCCESS(status))
        compiled.reset(icu::RegexPattern::compile(text.getAlias(), flags, where, status));
    // A pattern that could not be compiled for want of memory is not a
    // faulty pattern: it is answered as any other exhausted memory.
    if (status == U_MEMORY_ALLOCATION_ERROR || (U_SUCCESS(status) && !compiled))
        throw std::bad_alloc();
    if (U_FAILURE(status)) return {nullptr, u_errorName(status)};
    return {RegexPtr(new Regex{std::move(compiled)}), {}};
}

namespace {

struct Search {
    icu::LocalUTextPointer input;
    std::unique_ptr<icu::RegexMatcher> matcher;
    std::size_t group_count = 0;
};

// A failed allocation is answered as any other exhausted memory; every other
// failure is the matcher giving up, which the caller is told of.
MatchingStatus status_of(UErrorCode status) {
    if (status == U_MEMORY_ALLOCATION_ERROR) throw std::bad_alloc();
    if (U_SUCCESS(status)) return {};
    return {true, u_errorName(status)};
}

// A matcher over `range` of `text`, or why ICU could not set one up.
MatchingStatus start_search(Search& search, const Regex& regex, const Text& text, Range range) {
    UErrorCode status = U_ZERO_ERROR;
    search.input.adoptInstead(utext_openUChars(nullptr,
                                               reinterpret_cast<const UChar*>(text.units.get()),
                                               static_cast<std::int64_t>(text.size), &status));
    if (U_FAILURE(status)) return status_of(status);
    search.matcher.reset(regex.pattern->matcher(status));
    if (U_SUCCESS(status) && !search.matcher) status = U_MEMORY_ALLOCATION_ERROR;
    if (U_FAILURE(status)) return status_of(status);
    search.matcher->reset(search.input.getAlias());
    const std::size_t begin = std::min(range.location, text.size);
    const std::size_t end = begin + std::min(range.length, text.size - begin);
    search.matcher->region(static_cast<std::int64_t>(begin), static_cast<std::int64_t>(end),
                           status);
    // No limit of its own: the backtracking stack grows as the text needs,
    // up to the most ICU's stack vector holds.
    search.matcher->setStackLimit(0, status);
    if (U_FAILURE(status)) return status_of(status);
    search.group_count = static_cast<std::size_t>(search.matcher->groupCount());
    return {};
}

Range group_range(icu::RegexMatcher& matcher, std::size_t group, UErrorCode& status) {
    const auto g = static_cast<std::int32_t>(group);
    const std::int64_t start = matcher.start64(g, status);
    const std::int64_t end = matcher.end64(g, status);
    if (U_FAILURE(status) || start < 0) return {NOT_FOUND, 0};
    return {static_cast<std::size_t>(start), static_cast<std::size_t>(end - start)};
}

}  // namespace

std::size_t match_count(const MatchList& matches) { return matches.count; }

TextCheckingResult match_at(const MatchList& matches, std::size_t index) {
    const std::vector<Range>& block = matches.blocks[index / matches.matches_per_block];
    return TextCheckingResult(block).subspan(
        (index % matches.matches_per_block) * matches.number_of_ranges, matches.number_of_ranges);
}

MatchingStatus find_matches(MatchList& result, const Regex& regex, const Text& text, Range range) {
    constexpr std::size_t BLOCK_RANGES = 1 << 16;
    result.count = 0;
    for (std::vector<Range>& block : result.blocks) block.clear();
    std::size_t used_blocks = 0;
    result.number_of_ranges = 1;
    Search search;
    if (const MatchingStatus started = start_search(search, regex, text, range);
        started.internal_error)
        return started;
    result.number_of_ranges = search.group_count + 1;
    result.matches_per_block = std::max<std::size_t>(1, BLOCK_RANGES / result.number_of_ranges);
    const std::size_t full_block = result.matches_per_block * result.number_of_ranges;
    UErrorCode status = U_ZERO_ERROR;
    while (search.matcher->find(status) && U_SUCCESS(status)) {
        if (used_blocks == 0 || result.blocks[used_blocks - 1].size() == full_block) {
            if (used_blocks == result.blocks.size()) {
                result.blocks.emplace_back();
                // The first block grows as needed, for the many short lists.
                if (used_blocks > 0) result.blocks.back().reserve(full_block);
            }
            ++used_blocks;
        }
        std::vector<Range>& block = result.blocks[used_blocks - 1];
        for (std::size_t g = 0; g < result.number_of_ranges; ++g) {
            block.push_back(group_range(*search.matcher, g, status));
        }
        ++result.count;
    }
    return status_of(status);
}

MatchingStatus replace_matches(std::string& result, const Regex& regex, const Text& text,
                               Range range, std::string_view template_text) {
    result.clear();
    Search search;
    if (const MatchingStatus started = start_search(search, regex, text, range);
        started.internal_error)
        return started;
    const std::u16string_view units(text.units.get(), text.size);
    const std::vector<TemplatePiece> pieces =
        parse_template(to_utf16(template_text), search.group_count);
    std::u16string out;
    out.reserve(units.size());
    std::size_t copied = 0;
    UErrorCode status = U_ZERO_ERROR;
    while (search.matcher->find(status) && U_SUCCESS(status)) {
        const Range whole = group_range(*search.matcher, 0, status);
        if (whole.location == NOT_FOUND) break;
        out.append(units.substr(copied, whole.location - copied));
        for (const TemplatePiece& piece : pieces) {
            if (!piece.is_group) {
                out.append(piece.literal);
            } else if (piece.group <= search.group_count) {
                const Range r = group_range(*search.matcher, piece.group, status);
                if (r.location != NOT_FOUND) out.append(units.substr(r.location, r.length));
            }
        }
        copied = whole.location + whole.length;
    }
    if (const MatchingStatus ended = status_of(status); ended.internal_error) return ended;
    out.append(units.substr(copied));
    result = to_utf8(out);
    return {};
}

}  // namespace brindlecap::foundation::platform
