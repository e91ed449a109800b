// The Foundation-flavour engine: its request handling and hand-built JSON text.
// Texts are well-formed UTF-8; offsets in responses count UTF-16 code units.
#pragma once

#include "platform.h"

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
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

// A response being built, in a buffer of its own. With a stream, the buffer
// is handed on to it whenever it is full, so that a long response is never
// held whole, and every write is cut into pieces that fit the buffer: once
// part of a response has left, nothing more is allocated, so a failed
// allocation can still be answered with a whole line of its own. The caller
// writes what is left, the line feed, and flushes once, so the response
// still leaves as one line. Without a stream the buffer grows to hold the
// whole response.
struct ResponseWriter {
    std::FILE* stream = nullptr;
    std::unique_ptr<char[]> buffer;
    std::size_t size = 0;
    std::size_t capacity = 0;
    bool handed_on = false;  // part of this response has gone to the stream
};

// A writer for `stream` with its buffer allocated; it is kept for every
// response (clear_response between them).
ResponseWriter make_response_writer(std::FILE* stream);

// Starts the next response in the same buffer.
void clear_response(ResponseWriter& out);

// What the writer holds (the whole response when it has no stream).
std::string_view response_text(const ResponseWriter& out);

// Appends bytes as they stand.
void write_raw(ResponseWriter& out, std::string_view bytes);

// Appends json_escape(text).
void write_json_escaped(ResponseWriter& out, std::string_view text);

// Appends error_to_json(message), without allocating once the writer has its buffer.
void write_error(ResponseWriter& out, std::string_view message);

// Appends json_escape of the UTF-8 form of the units; a surrogate without its
// partner becomes U+FFFD.
void write_json_escaped_units(ResponseWriter& out, const char16_t* units, std::size_t count);

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
