// The Foundation-flavour engine: its request handling and hand-built JSON text.
// Texts are well-formed UTF-8; offsets in responses count UTF-16 code units.
#pragma once

#include "platform.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace brindlecap::foundation {

// Group number (the first group is 1) to the name the pattern gives it.
using GroupNameMap = std::map<std::size_t, std::string>;

// Whether the JSON text of a string writes the byte other than as it stands.
inline bool needs_json_escape(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u == '"' || u == '\\';
}

// The compile options for the request's flag letters i, m, s and x.
std::uint32_t options_from_flags(std::string_view flags);

// The names of the pattern's named groups, by a light lexical pass over its
// characters (extended grapheme clusters).
GroupNameMap scan_group_names(std::string_view pattern);

// The same pass over a pattern already divided into its characters.
GroupNameMap scan_group_names_of_characters(const std::vector<std::string_view>& characters);

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

// Room for `bytes` more bytes at the end of the response, to be written at
// the pointer and ended with commit_response; with a stream, `bytes` may not
// exceed MAX_ROOM.
inline constexpr std::size_t MAX_ROOM = 6 * 4096;
char* response_room(ResponseWriter& out, std::size_t bytes);
inline void commit_response(ResponseWriter& out, const char* end) {
    out.size = static_cast<std::size_t>(end - out.buffer.get());
}

// Writes the escaped UTF-8 of the units at `p`, which has room for six bytes
// a unit, and returns the end; a surrogate without its partner becomes U+FFFD.
char* put_json_escaped_units(char* p, const char16_t* units, std::size_t count);

// Writes the inside of a JSON string literal for `text`, without the
// quotation marks, at `p`, which has room for six bytes a byte, and returns
// the end. Every byte from 0x80 up stands as it is: the texts are
// well-formed UTF-8.
char* put_json_escaped(char* p, std::string_view text);

void write_raw_in_pieces(ResponseWriter& out, std::string_view bytes);

// Appends bytes as they stand.
inline void write_raw(ResponseWriter& out, std::string_view bytes) {
    if (out.capacity - out.size >= bytes.size()) {
        if (!bytes.empty()) std::memcpy(out.buffer.get() + out.size, bytes.data(), bytes.size());
        out.size += bytes.size();
        return;
    }
    write_raw_in_pieces(out, bytes);
}

// Appends the inside of a JSON string literal for `text` (put_json_escaped).
void json_escape(ResponseWriter& out, std::string_view text);

// Appends {"status":"error","message":"<message>"}, without allocating once
// the writer has its buffer.
void error_to_json(ResponseWriter& out, std::string_view message);

// Appends the escaped UTF-8 form of the units; a surrogate without its
// partner becomes U+FFFD.
void json_escape_units(ResponseWriter& out, const char16_t* units, std::size_t count);

// What one request after another works in: the buffers of the JSON reader,
// the searched text, the list of matches and the response. Nothing of one
// request is read by the next; the buffers are kept so that the next request
// does not allocate and fault in its memory again.
struct Workspace {
    platform::JsonReader json;
    platform::Text text;
    platform::MatchList matches;
    ResponseWriter out;
};

// A workspace whose responses go to `stream` (none: they stay in `out`).
Workspace make_workspace(std::FILE* stream);

// Appends one match as a MatchEntry:
// {"match":..,"index":..,"captures":[..],"groups":{..}}
void match_to_json(ResponseWriter& out, platform::TextCheckingResult match,
                   const platform::Text& text, const GroupNameMap& names);

// The operations: each appends its response, a TestResponse or a
// ReplaceResponse, or the error of a pattern that does not compile or of a
// search the matcher gave up on.
void run_test(std::string_view pattern, std::string_view flags, std::string_view text,
              Workspace& work);
void run_replace(std::string_view pattern, std::string_view flags, std::string_view text,
                 std::string_view replacement, Workspace& work);

// Starts a new response in the workspace, and writes the response to one
// non-empty request line, as read_line gives it (without its line feed).
void respond(std::string_view line, Workspace& work);

}  // namespace brindlecap::foundation
