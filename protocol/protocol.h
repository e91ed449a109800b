// The line protocol shared by the shell, MySQL, R and Dart engines: one JSON
// request per input line, one compact JSON response per output line.
#pragma once

#include "response_sink.h"

#include <nlohmann/json.hpp>

#include <span>
#include <string>
#include <string_view>
#include <variant>

namespace brindlecap {

// std::map keys: objects are written in ascending byte order of their keys.
using Json = nlohmann::json;

inline constexpr int ENGINE_EXIT_STATUS = 0;

// An operation answers one request. `request` is the parsed line (any JSON
// value); pattern, flags and text are already read with their defaults. It
// either returns the response text, or appends it to the loop's sink (a
// response too large to be worth holding whole). Either way the loop ends
// the line, writes it, and stops when the write fails.
using OperationFn = std::string (*)(const Json& request, const std::string& pattern,
                                    const std::string& flags, const std::string& text);
using WritingOperationFn = void (*)(ResponseSink& out, const Json& request,
                                    const std::string& pattern, const std::string& flags,
                                    const std::string& text);

struct Operation {
    constexpr Operation(std::string_view name, OperationFn answer) : name(name), answer(answer) {}
    constexpr Operation(std::string_view name, WritingOperationFn write)
        : name(name), write(write) {}

    std::string_view name;
    OperationFn answer = nullptr;  // one of the two is set
    WritingOperationFn write = nullptr;
};

// Reads standard input until it ends, cannot be read, holds bytes that are not
// UTF-8, or a response cannot be written; answers every non-empty line. A
// request that exhausts memory is answered "out of memory".
void run_request_loop(std::string_view program_name, std::span<const Operation> operations);

// One request line in, its response (without line feed) appended to `out`.
// Never fails: every fault becomes an error response, and a request that
// exhausts memory is answered "out of memory".
void handle_request(std::string_view line, std::span<const Operation> operations,
                    ResponseSink& out);

// The line written on standard error when a response cannot be written:
// "<program_name>: write: <error text>" and a line feed. `error` is what
// write_all gave (a write that accepted nothing reads as EIO).
std::string write_failure_line(std::string_view program_name, int error);

// The value, or the message "bad request JSON: <description> at line 1 column N".
// Any JSON value is accepted: a number beyond a double's range is held as the
// largest double of its sign. Only JSON white space may surround the value (a
// NUL or a byte-order mark is a fault), and a description quotes at most the
// start of a long token.
std::variant<Json, std::string> parse_request(std::string_view line);

// How many readable bytes parse_padded_request needs after the line.
inline constexpr std::size_t REQUEST_PADDING = 64;

// parse_request for a line followed by REQUEST_PADDING readable bytes of any
// value (the request loop's buffer has them), which spares copying the line.
std::variant<Json, std::string> parse_padded_request(std::string_view line);

// parse_request without its fast path: the reader that words every fault.
// Both give the same tree for every line the fast path accepts.
std::variant<Json, std::string> parse_request_slowly(std::string_view line);

// The member's string value, or `fallback` when missing or not a string (or
// when the request is not an object).
std::string request_string(const Json& request, std::string_view key, std::string_view fallback);

// The member's string inside the tree (no copy), or null where request_string
// would give its fallback.
const std::string* string_member(const Json& request, std::string_view key);

// {"message":M,"status":"error"}
std::string error_response(std::string_view message);

// Compact, sorted keys, plain integers, the protocol's escaping. Ill-formed
// UTF-8 inside strings is written as U+FFFD rather than failing.
std::string write_json(const Json& value);

// For responses assembled by hand (a tree of every match costs far more than
// its text): `value` as a JSON string, quotes included, escaped exactly as
// write_json escapes it; ill-formed UTF-8 is written as U+FFFD per maximal
// ill-formed subpart.
void append_json_string(std::string& out, std::string_view value);

// The same without the quotes, for a string written in pieces; `value` must
// be well-formed UTF-8.
void append_json_escaped(std::string& out, std::string_view value);

}  // namespace brindlecap
