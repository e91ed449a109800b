#include "operations.h"

#include "pattern.h"
#include "replacement.h"
#include "search.h"

#include "base/utf8.h"

#include <optional>
#include <utility>

namespace brindlecap::shell {

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

void run_replace(ResponseSink& out, const Json& request, const std::string& pattern,
                 const std::string& flags, const std::string& text) {
    const std::string replacement = request_string(request, "replacement", "");
    auto compiled = compile_regex(pattern, flags);
    if (auto* message = std::get_if<std::string>(&compiled)) {
        out.append(error_response(*message));
        return;
    }
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
        if (!expanded) {
            out.append(error_response("replacement error: \\L and \\U nested too deeply"));
            return;
        }
        ranges.emplace_back(expansions.size(), expansions.size() + expanded->size());
        expansions += *expanded;
    }
    auto expansion_of = [&](std::size_t k) {
        auto [begin, end] = ranges[same_for_all ? 0 : k];
        return std::string_view(expansions).substr(begin, end - begin);
    };

    // The result is the text between hits and each expansion, in one forward
    // pass, which gives the same text as splicing from the last hit
    // backwards without moving the rest of the text at every hit.
    auto each_piece = [&](auto&& use) {
        std::size_t copied = 0;
        for (std::size_t k = 0; k < hits.size(); ++k) {
            use(whole.substr(copied, hits[k].start - copied));
            use(expansion_of(k));
            copied = hits[k].end;
        }
        use(whole.substr(copied));
    };
    // Pieces that are each well-formed make a well-formed result. In byte
    // mode a splice can leave ill-formed bytes; only then is the result built
    // whole, before anything is written, and written with U+FFFD.
    bool pieces_well_formed = true;
    each_piece([&](std::string_view piece) {
        pieces_well_formed = pieces_well_formed && is_valid_utf8(piece);
    });
    std::string joined;
    if (!pieces_well_formed) each_piece([&](std::string_view piece) { joined += piece; });
    std::string escaped_once;
    if (same_for_all && !hits.empty()) append_json_string(escaped_once, expansion_of(0));

    // Straight into the loop's sink, as the JSON writer would write the tree.
    out.append(R"({"replacements":[)");
    for (std::size_t k = 0; k < hits.size(); ++k) {
        out.append(k == 0 ? std::string_view("[") : std::string_view(",["));
        out.append_number(hits[k].start);
        out.append(",");
        out.append_number(hits[k].end);
        out.append(",");
        if (same_for_all) {
            out.append(escaped_once);
        } else {
            out.append_json_string_of_bytes(expansion_of(k));
        }
        out.append("]");
    }
    out.append(R"(],"result":)");
    if (pieces_well_formed) {
        out.append("\"");
        each_piece([&](std::string_view piece) { out.append_json_escaped(piece); });
        out.append("\"");
    } else {
        out.append_json_string_of_bytes(joined);
    }
    out.append(R"(,"status":"ok_replace"})");
}

}  // namespace brindlecap::shell
