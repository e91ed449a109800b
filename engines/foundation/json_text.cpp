#include "engine.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>

namespace brindlecap::foundation {

namespace {

// The escape of a byte below 0x20, a quotation mark or a backslash.
std::string_view escape_of(unsigned char c, char (&buffer)[8]) {
    switch (c) {
        case '"': return "\\\"";
        case '\\': return "\\\\";
        case '\b': return "\\b";
        case '\t': return "\\t";
        case '\n': return "\\n";
        case '\f': return "\\f";
        case '\r': return "\\r";
        default: {
            std::snprintf(buffer, sizeof buffer, "\\u%04x", static_cast<unsigned>(c));
            return {buffer, 6};
        }
    }
}

}  // namespace

// ---- response writer -------------------------------------------------------

namespace {

// Large enough that handing on costs little, small enough to stay in cache.
constexpr std::size_t BUFFER_SIZE = 1 << 16;

// The most a write asks room for at once: a piece of a text, escaped.
constexpr std::size_t PIECE_BYTES = 4096;
constexpr std::size_t MAX_ESCAPED_BYTES = 6;  // \u001f for one byte or unit
static_assert(PIECE_BYTES * MAX_ESCAPED_BYTES == MAX_ROOM && MAX_ROOM <= BUFFER_SIZE);

void hand_on(ResponseWriter& out) {
    // Results are not examined: a failed write is not detected.
    std::fwrite(out.buffer.get(), 1, out.size, out.stream);
    out.size = 0;
    out.handed_on = true;
}

void grow(ResponseWriter& out, std::size_t needed) {
    const std::size_t capacity = std::max({needed, 2 * out.capacity, BUFFER_SIZE});
    std::unique_ptr<char[]> grown(new char[capacity]);
    if (out.size > 0) std::memcpy(grown.get(), out.buffer.get(), out.size);
    out.buffer = std::move(grown);
    out.capacity = capacity;
}

}  // namespace

char* response_room(ResponseWriter& out, std::size_t bytes) {
    if (out.capacity - out.size < bytes) {
        if (out.stream != nullptr && out.size > 0) hand_on(out);
        // With a stream every write fits the buffer made at the start.
        if (out.capacity - out.size < bytes) grow(out, out.size + bytes);
    }
    return out.buffer.get() + out.size;
}

namespace {

char* put_escape(char* p, unsigned char c) {
    char buffer[8];
    const std::string_view escape = escape_of(c, buffer);
    std::memcpy(p, escape.data(), escape.size());
    return p + escape.size();
}

}  // namespace

char* put_json_escaped_units(char* p, const char16_t* units, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        const char32_t c = units[i];
        if (c < 0x80) {
            if (needs_json_escape(static_cast<char>(c))) {
                p = put_escape(p, static_cast<unsigned char>(c));
            } else {
                *p++ = static_cast<char>(c);
            }
        } else if (c < 0x800) {
            *p++ = static_cast<char>(0xC0 | (c >> 6));
            *p++ = static_cast<char>(0x80 | (c & 0x3F));
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            if (c <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
                const char32_t s = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00);
                ++i;
                *p++ = static_cast<char>(0xF0 | (s >> 18));
                *p++ = static_cast<char>(0x80 | ((s >> 12) & 0x3F));
                *p++ = static_cast<char>(0x80 | ((s >> 6) & 0x3F));
                *p++ = static_cast<char>(0x80 | (s & 0x3F));
            } else {
                *p++ = '\xEF';
                *p++ = '\xBF';
                *p++ = '\xBD';
            }
        } else {
            *p++ = static_cast<char>(0xE0 | (c >> 12));
            *p++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *p++ = static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return p;
}

char* put_json_escaped(char* p, std::string_view text) {
    for (const char c : text) {
        if (needs_json_escape(c)) {
            p = put_escape(p, static_cast<unsigned char>(c));
        } else {
            *p++ = c;
        }
    }
    return p;
}

ResponseWriter make_response_writer(std::FILE* stream) {
    ResponseWriter out;
    out.stream = stream;
    grow(out, BUFFER_SIZE);
    return out;
}

void clear_response(ResponseWriter& out) {
    out.size = 0;
    out.handed_on = false;
}

std::string_view response_text(const ResponseWriter& out) { return {out.buffer.get(), out.size}; }

void write_raw_in_pieces(ResponseWriter& out, std::string_view bytes) {
    while (!bytes.empty()) {
        const std::size_t n = std::min(bytes.size(), PIECE_BYTES);
        char* p = response_room(out, n);
        std::memcpy(p, bytes.data(), n);
        commit_response(out, p + n);
        bytes.remove_prefix(n);
    }
}

void json_escape(ResponseWriter& out, std::string_view text) {
    // Escaping works byte by byte and leaves every byte from 0x80 up as it
    // is, so the text can be cut anywhere.
    while (!text.empty()) {
        const std::size_t n = std::min(text.size(), PIECE_BYTES);
        commit_response(
            out, put_json_escaped(response_room(out, MAX_ESCAPED_BYTES * n), text.substr(0, n)));
        text.remove_prefix(n);
    }
}

void json_escape_units(ResponseWriter& out, const char16_t* units, std::size_t count) {
    while (count > 0) {
        std::size_t n = std::min(count, PIECE_BYTES);
        // A surrogate pair is never cut: each half alone would be U+FFFD.
        if (n < count && units[n - 1] >= 0xD800 && units[n - 1] <= 0xDBFF) --n;
        commit_response(
            out, put_json_escaped_units(response_room(out, MAX_ESCAPED_BYTES * n), units, n));
        units += n;
        count -= n;
    }
}

// ---- requests --------------------------------------------------------------

void error_to_json(ResponseWriter& out, std::string_view message) {
    write_raw(out, R"({"status":"error","message":")");
    json_escape(out, message);
    write_raw(out, "\"}");
}

namespace {

void release_large_buffers(Workspace& work) {
    platform::release_large_buffers(work.text, work.matches);
    platform::release_large_buffers(work.json);
}

void dispatch(std::string_view line, Workspace& work) {
    ResponseWriter& out = work.out;
    const platform::JsonObjectPtr request = platform::json_object_with_line(work.json, line);
    if (!request) return error_to_json(out, "bad request JSON");
    const std::string_view op = platform::string_member(*request, "op").value_or("test");
    const std::string_view pattern = platform::string_member(*request, "pattern").value_or("");
    const std::string_view flags = platform::string_member(*request, "flags").value_or("");
    const std::string_view text = platform::string_member(*request, "text").value_or("");
    const std::string_view replacement =
        platform::string_member(*request, "replacement").value_or("");
    if (op == "test") return run_test(pattern, flags, text, work);
    if (op == "replace") return run_replace(pattern, flags, text, replacement, work);
    write_raw(out, R"({"status":"error","message":"unknown op: )");
    json_escape(out, op);
    write_raw(out, "\"}");
}

}  // namespace

Workspace make_workspace(std::FILE* stream) {
    Workspace work;
    work.json = platform::make_json_reader();
    if (stream != nullptr) work.out = make_response_writer(stream);
    return work;
}

void respond(std::string_view line, Workspace& work) {
    ResponseWriter& out = work.out;
    clear_response(out);
    // A request that needs more memory than there is is answered, and the
    // engine goes on: what was allocated for it is released by now. Nothing
    // is allocated once part of a response has gone to the stream, so the
    // answer is still the whole line.
    try {
        dispatch(line, work);
        release_large_buffers(work);
        return;
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
    release_large_buffers(work);
    if (out.handed_on) std::terminate();  // unreachable: see ResponseWriter
    out.size = 0;
    error_to_json(out, "out of memory");
}

}  // namespace brindlecap::foundation
