// The Foundation-flavour engine: its request handling and hand-built JSON text.
// Texts are well-formed UTF-8; offsets in responses count UTF-16 code units.
#pragma once

#include "platform.h"

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <string_view>

namespace brindlecap::foundation {

// Group number (the first group is 1) to the name the pattern gives it.
using GroupNameMap = std::map<std::size_t, std::string>;

// Whether json_escape writes the byte other than as it stands.
inline bool needs_json_escape(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u == '"' || u == '\\';
}

// The inside of a JSON string literal for `text`, without the quotation marks.
std::string json_escape(std::string_view text);

// Appends json_escape(text) to `out`.
void append_json_escaped(std::string& out, std::string_view text);

// {"status":"error","message":"<message>"}
std::string error_to_json(std::string_view message);

// The compile options for the request's flag letters i, m, s and x.
std::uint32_t options_from_flags(std::string_view flags);

// The names of the pattern's named groups, by a light lexical pass over its
// characters (extended grapheme clusters).
GroupNameMap scan_group_names(std::string_view pattern);

// One match as a MatchEntry: {"match":..,"index":..,"captures":[..],"groups":{..}}
std::string match_to_json(platform::TextCheckingResult match, const platform::Text& text,
                          const GroupNameMap& names);

// A response being built. With a stream, the text is handed on to it in
// large chunks as it grows, so that a long response is never held whole; the
// caller writes what is left, the line feed, and flushes once, so the
// response still leaves as one line. Without a stream the whole response
// stays in `text`.
struct ResponseWriter {
    std::FILE* stream = nullptr;
    std::string text;
};

// Hands the text on to the stream once it has reached a chunk's size.
void hand_on_full_chunk(ResponseWriter& out);

// Appends json_escape(text) to the response.
void write_json_escaped(ResponseWriter& out, std::string_view text);

std::string run_test(std::string_view pattern, std::string_view flags, std::string_view text);
void run_test(std::string_view pattern, std::string_view flags, std::string_view text,
              ResponseWriter& out);
std::string run_replace(std::string_view pattern, std::string_view flags, std::string_view text,
                        std::string_view replacement);
void run_replace(std::string_view pattern, std::string_view flags, std::string_view text,
                 std::string_view replacement, ResponseWriter& out);

// The response for one non-empty request line, as read_line gives it
// (without its line feed).
std::string respond(std::string_view line);
void respond(std::string_view line, ResponseWriter& out);

}  // namespace brindlecap::foundation
