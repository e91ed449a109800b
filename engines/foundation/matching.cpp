#include "engine.h"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace brindlecap::foundation {

std::uint32_t options_from_flags(std::string_view flags) {
    std::uint32_t options = 0;
    if (flags.find('i') != std::string_view::npos) options |= platform::REGEX_CASE_INSENSITIVE;
    if (flags.find('m') != std::string_view::npos) options |= platform::REGEX_ANCHORS_MATCH_LINES;
    if (flags.find('s') != std::string_view::npos)
        options |= platform::REGEX_DOT_MATCHES_LINE_SEPARATORS;
    if (flags.find('x') != std::string_view::npos)
        options |= platform::REGEX_ALLOW_COMMENTS_AND_WHITESPACE;
    return options;
}

namespace {

// Where the pieces of a match entry go: straight into room made for the
// whole entry (the usual, small one), or through the writer piece by piece.
struct IntoRoom {
    char* p;
    void raw(std::string_view piece) {
        std::memcpy(p, piece.data(), piece.size());
        p += piece.size();
    }
    void number(std::size_t value) { p = std::to_chars(p, p + 24, value).ptr; }
    void escaped(std::string_view text) { p = put_json_escaped(p, text); }
    void escaped_units(std::u16string_view units) {
        p = put_json_escaped_units(p, units.data(), units.size());
    }
};

struct InPieces {
    ResponseWriter& out;
    void raw(std::string_view piece) { write_raw(out, piece); }
    void number(std::size_t value) {
        char digits[24];
        const auto written = std::to_chars(digits, digits + sizeof digits, value);
        write_raw(out, std::string_view(digits, static_cast<std::size_t>(written.ptr - digits)));
    }
    void escaped(std::string_view text) { json_escape(out, text); }
    void escaped_units(std::u16string_view units) {
        json_escape_units(out, units.data(), units.size());
    }
};

template <typename Sink>
void quoted(Sink& sink, const platform::Text& text, platform::Range range) {
    sink.raw("\"");
    sink.escaped_units(platform::units_in(text, range));
    sink.raw("\"");
}

template <typename Sink>
void put_match(Sink& sink, platform::TextCheckingResult match, const platform::Text& text,
               const GroupNameMap& names) {
    sink.raw(R"({"match":)");
    quoted(sink, text, match[0]);
    sink.raw(R"(,"index":)");
    sink.number(match[0].location);
    sink.raw(R"(,"captures":[)");
    for (std::size_t i = 1; i < match.size(); ++i) {
        if (i > 1) sink.raw(",");
        if (match[i].location == platform::NOT_FOUND) {
            sink.raw("null");
        } else {
            quoted(sink, text, match[i]);
        }
    }
    sink.raw(R"(],"groups":{)");
    bool first = true;
    for (const auto& [number, name] : names) {
        // A name whose number the engine does not have is left out.
        if (number >= match.size()) break;
        if (match[number].location == platform::NOT_FOUND) continue;
        if (!first) sink.raw(",");
        first = false;
        sink.raw("\"");
        sink.escaped(name);
        sink.raw("\":");
        quoted(sink, text, match[number]);
    }
    sink.raw("}}");
}

std::size_t units_of(platform::Range r) { return r.location == platform::NOT_FOUND ? 0 : r.length; }

}  // namespace

void match_to_json(ResponseWriter& out, platform::TextCheckingResult match,
                   const platform::Text& text, const GroupNameMap& names) {
    std::size_t bound = 96;  // the fixed pieces and the index
    for (const platform::Range& r : match) bound += 8 + 6 * units_of(r);
    for (const auto& [number, name] : names) {
        if (number >= match.size()) break;
        bound += 8 + 6 * (name.size() + units_of(match[number]));
    }
    if (bound > MAX_ROOM) {
        InPieces sink{out};
        put_match(sink, match, text, names);
        return;
    }
    IntoRoom sink{response_room(out, bound)};
    put_match(sink, match, text, names);
    commit_response(out, sink.p);
}

namespace {

// Both operations compile alike; a pattern that fails is answered here.
platform::CompileResult compile_or_report(ResponseWriter& out, std::string_view pattern,
                                          std::string_view flags) {
    platform::CompileResult compiled = platform::compile_regex(pattern, options_from_flags(flags));
    if (!compiled.regex) error_to_json(out, "compile: " + compiled.error_description);
    return compiled;
}

// A search the matcher gave up on is answered as such, not with the matches
// found before it.
bool report_matching(ResponseWriter& out, const platform::MatchingStatus& status) {
    if (status.internal_error)
        error_to_json(out, std::string("match: ").append(status.error_description));
    return status.internal_error;
}

}  // namespace

void run_test(std::string_view pattern, std::string_view flags, std::string_view text,
              Workspace& work) {
    ResponseWriter& out = work.out;
    const platform::CompileResult compiled = compile_or_report(out, pattern, flags);
    if (!compiled.regex) return;
    platform::set_text(work.text, text);
    const platform::Text& subject = work.text;
    if (report_matching(out, platform::find_matches(work.matches, *compiled.regex, subject,
                                                    {0, platform::length(subject)})))
        return;
    const platform::MatchList& matches = work.matches;
    const GroupNameMap names = scan_group_names(pattern);

    // Everything the response needs is at hand: from here on nothing is
    // allocated when the writer has a stream.
    write_raw(out, R"({"status":"ok","matches":[)");
    const std::size_t count = platform::match_count(matches);
    for (std::size_t k = 0; k < count; ++k) {
        if (k > 0) write_raw(out, ",");
        match_to_json(out, platform::match_at(matches, k), subject, names);
    }
    write_raw(out, "]}");
}

void run_replace(std::string_view pattern, std::string_view flags, std::string_view text,
                 std::string_view replacement, Workspace& work) {
    ResponseWriter& out = work.out;
    const platform::CompileResult compiled = compile_or_report(out, pattern, flags);
    if (!compiled.regex) return;
    platform::set_text(work.text, text);
    std::string result;
    if (report_matching(out,
                        platform::replace_matches(result, *compiled.regex, work.text,
                                                  {0, platform::length(work.text)}, replacement)))
        return;
    write_raw(out, R"({"status":"ok_replace","result":")");
    json_escape(out, result);
    write_raw(out, "\"}");
}

}  // namespace brindlecap::foundation
