#include "operations.h"

#include "pattern.h"
#include "replacement.h"
#include "search.h"

#include "base/utf8.h"

#include <charconv>
#include <optional>
#include <utility>

namespace brindlecap::shell {

namespace {

// Plain decimal, as the JSON writer gives an unsigned integer.
struct Decimal {
    char digits[24];  // any size_t
    std::size_t length;
    explicit Decimal(std::size_t value)
        : length(static_cast<std::size_t>(std::to_chars(digits, digits + sizeof digits, value).ptr -
                                          digits)) {}
    std::string_view text() const { return {digits, length}; }
};

void append_number(std::string& out, std::size_t value) { out += Decimal(value).text(); }

std::size_t decimal_length(std::size_t value) { return Decimal(value).length; }

}  // namespace

void run_test(ResponseSink& out, const Json&, const std::string& pattern, const std::string& flags,
              const std::string& text) {
    auto compiled = compile_regex(pattern, flags);
    if (auto* message = std::get_if<std::string>(&compiled)) {
        out.append(error_response(*message));
        return;
    }
    const std::vector<MatchSpan> spans =
        find_text_matches(*std::get<CompiledPattern>(compiled), text);

    // Entry by entry into the loop's sink, as the JSON writer would write one
    // tree of every entry, without holding tree nodes (or the whole text) for
    // each of hundreds of thousands of matches.
    out.append(R"({"matches":[)");
    for (const MatchSpan& span : spans) {
        if (&span != spans.data()) out.append(",");
        append_match_entry(out, text, span.start, span.end);
    }
    out.append(R"(],"status":"ok"})");
}

std::string run_replace(const Json& request, const std::string& pattern, const std::string& flags,
                        const std::string& text) {
    const std::string replacement = request_string(request, "replacement", "");
    auto compiled = compile_regex(pattern, flags);
    if (auto* message = std::get_if<std::string>(&compiled)) return error_response(*message);
    const std::vector<MatchSpan> hits =
        find_text_matches(*std::get<CompiledPattern>(compiled), text);
    const std::string_view whole(text);

    // The expansion of every hit, as a range of one buffer. A template
    // without & gives the same expansion for every match, and a match equal to
    // the one before gives the same expansion again, so each is computed once.
    const bool same_for_all = replacement.find('&') == std::string::npos;
    std::string expansions;
    std::vector<std::pair<std::size_t, std::size_t>> ranges;  // [begin, end) in expansions
    ranges.reserve(same_for_all ? 1 : hits.size());
    for (std::size_t k = 0; k < hits.size(); ++k) {
        std::string_view matched = whole.substr(hits[k].start, hits[k].end - hits[k].start);
        if (k > 0 && same_for_all) break;
        if (k > 0 &&
            matched == whole.substr(hits[k - 1].start, hits[k - 1].end - hits[k - 1].start)) {
            ranges.push_back(ranges.back());
            continue;
        }
        std::optional<std::string> expanded = expand_replacement(replacement, matched);
        if (!expanded) return error_response("replacement error: \\L and \\U nested too deeply");
        ranges.emplace_back(expansions.size(), expansions.size() + expanded->size());
        expansions += *expanded;
    }
    auto expansion_of = [&](std::size_t k) {
        auto [begin, end] = ranges[same_for_all ? 0 : k];
        return std::string_view(expansions).substr(begin, end - begin);
    };

    // The response is assembled as in "test", its size reserved once. The
    // result goes in one forward pass straight into the response (the text
    // between hits, then each expansion), which gives the same text as
    // splicing from the last hit backwards without moving the rest of the
    // text at every hit.
    std::size_t size = 96 + text.size();
    for (std::size_t k = 0; k < hits.size(); ++k) {
        std::size_t expansion = expansion_of(k).size();
        size += 5 + decimal_length(hits[k].start) + decimal_length(hits[k].end) + 2 * expansion;
    }
    std::string response;
    response.reserve(size);
    response += R"({"replacements":[)";
    std::string escaped_once;
    if (same_for_all && !hits.empty()) append_json_string(escaped_once, expansion_of(0));
    for (std::size_t k = 0; k < hits.size(); ++k) {
        response += k == 0 ? "[" : ",[";
        append_number(response, hits[k].start);
        response += ',';
        append_number(response, hits[k].end);
        response += ',';
        if (same_for_all) {
            response += escaped_once;
        } else {
            append_json_string(response, expansion_of(k));
        }
        response += ']';
    }
    response += R"(],"result":")";

    // Escaping leaves a byte string's well-formedness as it was (only ASCII
    // bytes change), so the pieces are escaped as they go and the whole result
    // is checked once. In byte mode a splice can leave ill-formed bytes; only
    // then is the result built again and written with U+FFFD.
    auto each_piece = [&](auto&& use) {
        std::size_t copied = 0;
        for (std::size_t k = 0; k < hits.size(); ++k) {
            use(whole.substr(copied, hits[k].start - copied));
            use(expansion_of(k));
            copied = hits[k].end;
        }
        use(whole.substr(copied));
    };
    const std::size_t result_at = response.size();
    each_piece([&](std::string_view piece) { append_json_escaped(response, piece); });
    if (!is_valid_utf8(std::string_view(response).substr(result_at))) {
        std::string result;
        each_piece([&](std::string_view piece) { result += piece; });
        response.resize(result_at - 1);
        append_json_string(response, result);
    } else {
        response += '"';
    }
    response += R"(,"status":"ok_replace"})";
    return response;
}

}  // namespace brindlecap::shell
