#include "mysql_engine.h"

#include "base/descriptor.h"
#include "base/utf8.h"
#include "engines/mysql/adapter/adapter_search.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include <unicode/utypes.h>

#include <unistd.h>

namespace brindlecap::mysql {

namespace {

// A "test" response is put together in one buffer kept for the life of the
// process. A response that outgrows it goes to standard output piece by piece
// as it is made, so that a response of many megabytes is never held whole;
// only its last piece goes back to the request loop, which ends the line.
constexpr std::size_t PIECE_BYTES = 128 * 1024;

struct ResponseStream {
    char* buffer;  // PIECE_BYTES bytes, kept for the life of the process
    std::size_t used = 0;
    std::string last;  // room for the last piece and the line feed
    bool spilled = false;
};

char* response_buffer() {
    static char buffer[PIECE_BYTES];
    return buffer;
}

// Sends what the buffer holds. Nothing may fail once a piece is out, so the
// room for the last piece is made first. A failed write ends the engine as
// the request loop would: the report on standard error, then status 0 (the
// loop cannot be told to stop from inside an operation).
void send_piece(ResponseStream& stream) {
    if (!stream.spilled) {
        stream.last.reserve(PIECE_BYTES + 1);
        stream.spilled = true;
    }
    const int error = write_all(STDOUT_FILENO, std::string_view(stream.buffer, stream.used));
    if (error != 0) {
        write_all(STDERR_FILENO, write_failure_line(PROGRAM_NAME, error));
        std::_Exit(ENGINE_EXIT_STATUS);
    }
    stream.used = 0;
}

// Bytes up to PIECE_BYTES go in whole.
inline void put(ResponseStream& stream, std::string_view bytes) {
    if (stream.used + bytes.size() > PIECE_BYTES) send_piece(stream);
    std::memcpy(stream.buffer + stream.used, bytes.data(), bytes.size());
    stream.used += bytes.size();
}

// The same for a literal, whose size the compiler knows: the copy is a few
// moves rather than a call, which counts at a million entries.
template <std::size_t N>
inline void put(ResponseStream& stream, const char (&literal)[N]) {
    constexpr std::size_t SIZE = N - 1;
    if (stream.used + SIZE > PIECE_BYTES) send_piece(stream);
    std::memcpy(stream.buffer + stream.used, literal, SIZE);
    stream.used += SIZE;
}

void put_number(ResponseStream& stream, int64_t value) {
    constexpr std::size_t MOST_DIGITS = 20;  // digits and sign of any int64_t
    if (stream.used + MOST_DIGITS > PIECE_BYTES) send_piece(stream);
    char* const at = stream.buffer + stream.used;
    stream.used += static_cast<std::size_t>(std::to_chars(at, at + MOST_DIGITS, value).ptr - at);
}

// What the shared writer puts for each byte below 0x80 that it escapes
// (empty for the others), taken from the writer itself.
struct Escapes {
    std::array<std::string, 128> text;
    std::array<bool, 256> needed{};
};

const Escapes& escapes() {
    static const Escapes ESCAPES = [] {
        Escapes escapes;
        for (unsigned c = 0; c < escapes.text.size(); ++c) {
            const char byte = static_cast<char>(c);
            append_json_escaped(escapes.text[c], std::string_view(&byte, 1));
            escapes.needed[c] = escapes.text[c].size() > 1;
        }
        return escapes;
    }();
    return ESCAPES;
}

// `value` as a JSON string. It is a slice of a text that ICU converted, so it
// is well-formed UTF-8 (the adapter's offsets fall on character boundaries):
// only the bytes below 0x20, the quotation mark and the backslash change.
void put_string(ResponseStream& stream, std::string_view value) {
    if (value.empty()) {
        put(stream, "\"\"");
        return;
    }
    const Escapes& table = escapes();
    put(stream, "\"");
    const char* const bytes = value.data();
    const std::size_t size = value.size();
    std::size_t i = 0;
    while (i < size) {
        std::size_t run = i;
        while (run < size && !table.needed[static_cast<unsigned char>(bytes[run])]) ++run;
        while (i < run) {
            if (stream.used == PIECE_BYTES) send_piece(stream);
            const std::size_t piece = std::min(run - i, PIECE_BYTES - stream.used);
            std::memcpy(stream.buffer + stream.used, bytes + i, piece);
            stream.used += piece;
            i += piece;
        }
        if (i < size) {
            put(stream, table.text[static_cast<unsigned char>(bytes[i])]);
            ++i;
        }
    }
    put(stream, "\"");
}

// The whole response when it fit the buffer, else its last piece.
std::string finish(ResponseStream& stream) {
    if (!stream.spilled) {
        std::string whole;
        whole.reserve(stream.used + 1);  // and the loop's line feed
        whole.append(stream.buffer, stream.used);
        return whole;
    }
    stream.last.append(stream.buffer, stream.used);
    return std::move(stream.last);
}

// The request's own bytes between two offsets; offsets outside the text
// (which the adapter never gives) are held to its bounds.
std::string_view slice(const std::string& text, int64_t start, int64_t end) {
    const auto size = static_cast<int64_t>(text.size());
    if (start < 0) start = 0;
    if (start > size) start = size;
    if (end < start) end = start;
    if (end > size) end = size;
    return std::string_view(text).substr(static_cast<std::size_t>(start),
                                         static_cast<std::size_t>(end - start));
}

// The "test" response in the writer's compact sorted form, straight from the
// adapter's match array: a generic tree of hundreds of thousands of entries
// costs far more than the search itself.
std::string test_response(const std::string& text, const mysql_adapter::Search& found) {
    ResponseStream stream{response_buffer(), 0, {}, false};
    put(stream, "{\"engine\":\"");
    put(stream, std::string_view(ENGINE_NAME));
    put(stream, "\",\"matches\":[");
    const AdapterMatch* const matches = found.matches.get();
    for (int32_t i = 0; i < found.count; ++i) {
        if (i > 0) put(stream, ",");
        put(stream, "{\"captures\":[");
        const mysql_adapter::GroupSpan* spans = mysql_adapter::group_spans(found, i);
        for (int32_t g = 0; g < found.group_count; ++g) {
            if (g > 0) put(stream, ",");
            if (spans[g].start < 0 || spans[g].end < 0) {
                put(stream, "null");
            } else {
                put_string(stream, slice(text, spans[g].start, spans[g].end));
            }
        }
        put(stream, "],\"groups\":{},\"index\":");
        put_number(stream, matches[i].start);
        put(stream, ",\"match\":");
        put_string(stream, slice(text, matches[i].start, matches[i].end));
        put(stream, "}");
    }
    put(stream, "],\"status\":\"ok\"}");
    return finish(stream);
}

// ICU's name for the status it gave up a search with.
std::string matcher_failure(UErrorCode status) {
    return error_response(std::string("match: ") + u_errorName(status));
}

}  // namespace

RegexFlags parse_flags(std::string_view flags) {
    RegexFlags parsed;
    parsed.i = flags.find('i') != std::string_view::npos;
    parsed.m = flags.find('m') != std::string_view::npos;
    parsed.s = flags.find('s') != std::string_view::npos;
    parsed.x = flags.find('x') != std::string_view::npos;
    return parsed;
}

std::string flag_string(const RegexFlags& flags) {
    std::string letters;
    if (flags.i) letters += 'i';
    if (flags.m) letters += 'm';
    if (flags.s) letters += 's';
    if (flags.x) letters += 'x';
    return letters;
}

std::variant<RegexHandle, std::string> compile_regex(const std::string& pattern,
                                                     const RegexFlags& flags) {
    const std::string letters = flag_string(flags);
    if (const auto nul = pattern.find('\0'); nul != std::string::npos) {
        return "pattern: nul byte found in provided data at position: " + std::to_string(nul);
    }
    char* error = nullptr;
    RegexHandle handle(mysql_regex_compile(pattern.c_str(), letters.c_str(), &error));
    if (handle) return handle;
    if (error == nullptr) return std::string("unknown compile error");
    std::string message = decode_with_replacement(error);
    std::free(error);
    return message;
}

std::string run_test(const Json& /*request*/, const std::string& pattern, const std::string& flags,
                     const std::string& text) {
    if (text.empty()) {
        return write_json(Json{{"matches", Json::array()}, {"status", "ok"}});
    }
    auto compiled = compile_regex(pattern, parse_flags(flags));
    if (const auto* message = std::get_if<std::string>(&compiled)) {
        return error_response("compile: " + *message);
    }
    const RegexHandle handle = std::move(std::get<RegexHandle>(compiled));

    // A text with a NUL cannot reach the adapter whole, so it has no matches.
    if (text.find('\0') != std::string::npos) return test_response(text, {});
    const mysql_adapter::Search found = mysql_adapter::search_all(handle.get(), text);
    // A list cut short is no answer: the loop answers "out of memory" for
    // this, as for any request that exhausts memory.
    if (found.out_of_memory) throw std::bad_alloc();
    if (U_FAILURE(found.matcher_error)) return matcher_failure(found.matcher_error);
    return test_response(text, found);
}

std::string run_replace(const Json& request, const std::string& pattern, const std::string& flags,
                        const std::string& text) {
    const std::string replacement = request_string(request, "replacement", "");
    if (text.empty()) {
        return write_json(
            Json{{"replacements", Json::array()}, {"result", ""}, {"status", "ok_replace"}});
    }
    auto compiled = compile_regex(pattern, parse_flags(flags));
    if (const auto* message = std::get_if<std::string>(&compiled)) {
        return error_response("compile: " + *message);
    }
    const RegexHandle handle = std::move(std::get<RegexHandle>(compiled));

    std::string result = text;
    if (text.find('\0') == std::string::npos && replacement.find('\0') == std::string::npos) {
        mysql_adapter::Replacement replaced =
            mysql_adapter::replace_all(handle.get(), text, replacement);
        if (replaced.out_of_memory) throw std::bad_alloc();
        if (U_FAILURE(replaced.matcher_error)) return matcher_failure(replaced.matcher_error);
        if (replaced.text) result = decode_with_replacement(replaced.text.get());
    }
    Json response = Json::object();
    response["engine"] = std::string(ENGINE_NAME);
    response["replacements"] = Json::array();
    response["result"] = std::move(result);
    response["status"] = "ok_replace";
    return write_json(response);
}

}  // namespace brindlecap::mysql
