#include "engine.h"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace brindlecap::foundation {

std::uint32_t options_from_flags(std::string_view flags) {
    std::uint32_t options = 0;
    if (flags.find('i') != std::string_view::npos) options |= platform::regex_case_insensitive;
    if (flags.find('m') != std::string_view::npos) options |= platform::regex_anchors_match_lines;
    if (flags.find('s') != std::string_view::npos) options |= platform::regex_dot_matches_line_separators;
    if (flags.find('x') != std::string_view::npos) options |= platform::regex_allow_comments_and_whitespace;
    return options;
}

namespace {

void append_quoted_substring(std::string& out, const platform::Text& text, platform::Range range,
                             std::string& scratch) {
    out += '"';
    const std::size_t start = out.size();
    platform::append_substring(out, text, range);
    // Matched text rarely needs escaping: it is checked in place and only
    // written again when it does.
    const bool plain = std::none_of(out.begin() + static_cast<std::ptrdiff_t>(start), out.end(), needs_json_escape);
    if (!plain) {
        scratch.assign(out, start);
        out.resize(start);
        append_json_escaped(out, scratch);
    }
    out += '"';
}

// Room for the response, so that it is built without being moved as it grows.
std::size_t estimated_size(const platform::MatchList& matches) {
    std::size_t size = 32;
    const std::size_t count = platform::match_count(matches);
    for (std::size_t k = 0; k < count; ++k) {
        for (const platform::Range& r : platform::match_at(matches, k)) {
            size += 8 + 3 * (r.location == platform::not_found ? 0 : r.length);
        }
    }
    return size + 48 * count;
}

// The usual entry, whose texts need no escaping, written straight into room
// made for it; false, with `out` as it was, when a text needs escaping.
bool append_plain_match(std::string& out, platform::TextCheckingResult match, const platform::Text& text,
                        const GroupNameMap& names) {
    const auto units = [](platform::Range r) { return r.location == platform::not_found ? 0 : r.length; };
    std::size_t room = 96;  // the fixed pieces and the index
    for (const platform::Range& r : match) room += 8 + 3 * units(r);
    for (const auto& [number, name] : names) {
        if (number >= match.size()) break;
        room += 8 + name.size() + 3 * units(match[number]);
    }
    const std::size_t at = out.size();
    out.resize(at + room);
    char* p = out.data() + at;
    const auto put = [&p](std::string_view piece) {
        std::memcpy(p, piece.data(), piece.size());
        p += piece.size();
    };
    // Writes a text between quotation marks; false when it needs escaping.
    const auto put_quoted = [&](platform::Range r) {
        *p++ = '"';
        char* const start = p;
        p += platform::write_substring(p, text, r);
        *p++ = '"';
        return std::none_of(start, p - 1, needs_json_escape);
    };
    bool plain = true;
    put(R"({"match":)");
    plain = put_quoted(match[0]);
    put(R"(,"index":)");
    p = std::to_chars(p, p + 24, match[0].location).ptr;
    put(R"(,"captures":[)");
    for (std::size_t i = 1; plain && i < match.size(); ++i) {
        if (i > 1) *p++ = ',';
        if (match[i].location == platform::not_found) {
            put("null");
        } else {
            plain = put_quoted(match[i]);
        }
    }
    put(R"(],"groups":{)");
    bool first = true;
    for (const auto& [number, name] : names) {
        if (!plain || number >= match.size()) break;
        if (match[number].location == platform::not_found) continue;
        if (!first) *p++ = ',';
        first = false;
        plain = std::none_of(name.begin(), name.end(), needs_json_escape);
        *p++ = '"';
        put(name);
        put("\":");
        plain = plain && put_quoted(match[number]);
    }
    put("}}");
    if (!plain) {
        out.resize(at);
        return false;
    }
    out.resize(static_cast<std::size_t>(p - out.data()));
    return true;
}

void append_match(std::string& out, platform::TextCheckingResult match, const platform::Text& text,
                  const GroupNameMap& names, std::string& scratch) {
    if (append_plain_match(out, match, text, names)) return;
    out += R"({"match":)";
    append_quoted_substring(out, text, match[0], scratch);
    out += R"(,"index":)";
    char digits[24];
    const auto written = std::to_chars(digits, digits + sizeof digits, match[0].location);
    out.append(digits, written.ptr);
    out += R"(,"captures":[)";
    for (std::size_t i = 1; i < match.size(); ++i) {
        if (i > 1) out += ',';
        if (match[i].location == platform::not_found) {
            out += "null";
        } else {
            append_quoted_substring(out, text, match[i], scratch);
        }
    }
    out += R"(],"groups":{)";
    bool first = true;
    for (const auto& [number, name] : names) {
        // A name whose number the engine does not have is left out.
        if (number >= match.size()) break;
        if (match[number].location == platform::not_found) continue;
        if (!first) out += ',';
        first = false;
        out += '"';
        append_json_escaped(out, name);
        out += "\":";
        append_quoted_substring(out, text, match[number], scratch);
    }
    out += "}}";
}

}  // namespace

std::string match_to_json(platform::TextCheckingResult match, const platform::Text& text,
                          const GroupNameMap& names) {
    std::string out;
    std::string scratch;
    append_match(out, match, text, names, scratch);
    return out;
}

void run_test(std::string_view pattern, std::string_view flags, std::string_view text,
              ResponseWriter& out) {
    const platform::CompileResult compiled = platform::compile_regex(pattern, options_from_flags(flags));
    if (!compiled.regex) {
        out.text += error_to_json("compile: " + compiled.error_description);
        return;
    }
    const platform::Text subject = platform::make_text(text);
    const platform::MatchList matches =
        platform::matches_in_string(*compiled.regex, subject, {0, platform::length(subject)});
    const GroupNameMap names = scan_group_names(pattern);

    if (out.stream == nullptr) out.text.reserve(out.text.size() + estimated_size(matches));
    out.text += R"({"status":"ok","matches":[)";
    std::string scratch;
    const std::size_t count = platform::match_count(matches);
    for (std::size_t k = 0; k < count; ++k) {
        if (k > 0) out.text += ',';
        append_match(out.text, platform::match_at(matches, k), subject, names, scratch);
        hand_on_full_chunk(out);
    }
    out.text += "]}";
}

std::string run_test(std::string_view pattern, std::string_view flags, std::string_view text) {
    ResponseWriter out;
    run_test(pattern, flags, text, out);
    return std::move(out.text);
}

void run_replace(std::string_view pattern, std::string_view flags, std::string_view text,
                 std::string_view replacement, ResponseWriter& out) {
    const platform::CompileResult compiled = platform::compile_regex(pattern, options_from_flags(flags));
    if (!compiled.regex) {
        out.text += error_to_json("compile: " + compiled.error_description);
        return;
    }
    const platform::Text subject = platform::make_text(text);
    const std::string result = platform::replace_matches(*compiled.regex, subject,
                                                         {0, platform::length(subject)}, replacement);
    out.text += R"({"status":"ok_replace","result":")";
    write_json_escaped(out, result);
    out.text += "\"}";
}

std::string run_replace(std::string_view pattern, std::string_view flags, std::string_view text,
                        std::string_view replacement) {
    ResponseWriter out;
    run_replace(pattern, flags, text, replacement, out);
    return std::move(out.text);
}

}  // namespace brindlecap::foundation
