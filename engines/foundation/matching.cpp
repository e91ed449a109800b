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

// The units of `range` that lie inside the text.
std::u16string_view units_in(const platform::Text& text, platform::Range range) {
    if (range.location >= text.size) return {};
    return {text.units.get() + range.location, std::min(range.length, text.size - range.location)};
}

void write_quoted(ResponseWriter& out, const platform::Text& text, platform::Range range) {
    write_raw(out, "\"");
    const std::u16string_view units = units_in(text, range);
    write_json_escaped_units(out, units.data(), units.size());
    write_raw(out, "\"");
}

void write_match_in_pieces(ResponseWriter& out, platform::TextCheckingResult match,
                           const platform::Text& text, const GroupNameMap& names) {
    write_raw(out, R"({"match":)");
    write_quoted(out, text, match[0]);
    write_raw(out, R"(,"index":)");
    char digits[24];
    const auto written = std::to_chars(digits, digits + sizeof digits, match[0].location);
    write_raw(out, std::string_view(digits, static_cast<std::size_t>(written.ptr - digits)));
    write_raw(out, R"(,"captures":[)");
    for (std::size_t i = 1; i < match.size(); ++i) {
        if (i > 1) write_raw(out, ",");
        if (match[i].location == platform::NOT_FOUND) {
            write_raw(out, "null");
        } else {
            write_quoted(out, text, match[i]);
        }
    }
    write_raw(out, R"(],"groups":{)");
    bool first = true;
    for (const auto& [number, name] : names) {
        // A name whose number the engine does not have is left out.
        if (number >= match.size()) break;
        if (match[number].location == platform::NOT_FOUND) continue;
        if (!first) write_raw(out, ",");
        first = false;
        write_raw(out, "\"");
        write_json_escaped(out, name);
        write_raw(out, "\":");
        write_quoted(out, text, match[number]);
    }
    write_raw(out, "}}");
}

char* put_quoted(char* p, const platform::Text& text, platform::Range range) {
    *p++ = '"';
    const std::u16string_view units = units_in(text, range);
    p = put_json_escaped_units(p, units.data(), units.size());
    *p++ = '"';
    return p;
}

char* put(char* p, std::string_view piece) {
    std::memcpy(p, piece.data(), piece.size());
    return p + piece.size();
}

std::size_t units_of(platform::Range r) { return r.location == platform::NOT_FOUND ? 0 : r.length; }

// The usual entry is small: it is written straight into room made for all of
// it at once, the longer one piece by piece.
void write_match(ResponseWriter& out, platform::TextCheckingResult match,
                 const platform::Text& text, const GroupNameMap& names) {
    std::size_t bound = 96;  // the fixed pieces and the index
    for (const platform::Range& r : match) bound += 8 + 6 * units_of(r);
    for (const auto& [number, name] : names) {
        if (number >= match.size()) break;
        bound += 8 + 6 * (name.size() + units_of(match[number]));
    }
    if (bound > MAX_ROOM) return write_match_in_pieces(out, match, text, names);
    char* p = response_room(out, bound);
    p = put(p, R"({"match":)");
    p = put_quoted(p, text, match[0]);
    p = put(p, R"(,"index":)");
    p = std::to_chars(p, p + 24, match[0].location).ptr;
    p = put(p, R"(,"captures":[)");
    for (std::size_t i = 1; i < match.size(); ++i) {
        if (i > 1) *p++ = ',';
        p = match[i].location == platform::NOT_FOUND ? put(p, "null")
                                                     : put_quoted(p, text, match[i]);
    }
    p = put(p, R"(],"groups":{)");
    bool first = true;
    for (const auto& [number, name] : names) {
        if (number >= match.size()) break;
        if (match[number].location == platform::NOT_FOUND) continue;
        if (!first) *p++ = ',';
        first = false;
        *p++ = '"';
        p = put_json_escaped(p, name);
        p = put(p, "\":");
        p = put_quoted(p, text, match[number]);
    }
    p = put(p, "}}");
    commit_response(out, p);
}

}  // namespace

std::string match_to_json(platform::TextCheckingResult match, const platform::Text& text,
                          const GroupNameMap& names) {
    ResponseWriter out;
    write_match(out, match, text, names);
    return std::string(response_text(out));
}

namespace {

// Both operations compile alike; a pattern that fails is answered here.
platform::CompileResult compile_or_report(ResponseWriter& out, std::string_view pattern,
                                          std::string_view flags) {
    platform::CompileResult compiled = platform::compile_regex(pattern, options_from_flags(flags));
    if (!compiled.regex) write_raw(out, error_to_json("compile: " + compiled.error_description));
    return compiled;
}

}  // namespace

void run_test(std::string_view pattern, std::string_view flags, std::string_view text,
              Workspace& work) {
    ResponseWriter& out = work.out;
    const platform::CompileResult compiled = compile_or_report(out, pattern, flags);
    if (!compiled.regex) return;
    platform::set_text(work.text, text);
    const platform::Text& subject = work.text;
    platform::find_matches(work.matches, *compiled.regex, subject, {0, platform::length(subject)});
    const platform::MatchList& matches = work.matches;
    const GroupNameMap names = scan_group_names(pattern);

    // Everything the response needs is at hand: from here on nothing is
    // allocated when the writer has a stream.
    write_raw(out, R"({"status":"ok","matches":[)");
    const std::size_t count = platform::match_count(matches);
    for (std::size_t k = 0; k < count; ++k) {
        if (k > 0) write_raw(out, ",");
        write_match(out, platform::match_at(matches, k), subject, names);
    }
    write_raw(out, "]}");
}

std::string run_test(std::string_view pattern, std::string_view flags, std::string_view text) {
    Workspace work = make_workspace(nullptr);
    run_test(pattern, flags, text, work);
    return std::string(response_text(work.out));
}

void run_replace(std::string_view pattern, std::string_view flags, std::string_view text,
                 std::string_view replacement, Workspace& work) {
    ResponseWriter& out = work.out;
    const platform::CompileResult compiled = compile_or_report(out, pattern, flags);
    if (!compiled.regex) return;
    platform::set_text(work.text, text);
    const std::string result = platform::replace_matches(
        *compiled.regex, work.text, {0, platform::length(work.text)}, replacement);
    write_raw(out, R"({"status":"ok_replace","result":")");
    write_json_escaped(out, result);
    write_raw(out, "\"}");
}

std::string run_replace(std::string_view pattern, std::string_view flags, std::string_view text,
                        std::string_view replacement) {
    Workspace work = make_workspace(nullptr);
    run_replace(pattern, flags, text, replacement, work);
    return std::string(response_text(work.out));
}

}  // namespace brindlecap::foundation
