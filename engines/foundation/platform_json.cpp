// The JSON reader: a request line to its top-level string members.
#include "platform.h"

#include "base/utf8.h"

#include <simdjson.h>
#include <nlohmann/json.hpp>

#include <functional>
#include <map>
#include <new>
#include <optional>

namespace brindlecap::foundation::platform {

namespace {

// Deep enough for any real request; a deeper line is refused as soon as the
// parser reaches the level past it, so no line can exhaust stack or memory.
constexpr std::size_t JSON_MAX_DEPTH = 512;

}  // namespace

struct JsonObject {
    // The top-level members whose values are JSON strings; nothing else of
    // the request is kept. Either views into the reader's parser (a line that
    // the fast parser accepts) or strings of their own (every other line).
    // The views list every member in order, with no value for one that is
    // not a string, so that the last of a repeated key counts.
    std::vector<std::pair<std::string_view, std::optional<std::string_view>>> views;
    std::map<std::string, std::string, std::less<>> strings;
};

struct JsonReaderState {
    simdjson::dom::parser parser;
};

void JsonReaderStateDelete::operator()(JsonReaderState* state) const { delete state; }

void JsonObjectDelete::operator()(JsonObject* object) const { delete object; }

namespace {

using Json = nlohmann::json;

// Reads the request through the parser's events rather than building a value
// tree: string values are moved out of the parser, the rest is dropped as it
// goes, and a line nested too deep stops the parse at once.
struct TopLevelStrings {
    JsonObject& object;
    std::size_t depth = 0;  // containers open, the top-level object counted
    std::string member;     // the key of the top-level member being read

    // A value that is not a string; at the top level it is not an object.
    bool other_value() {
        if (depth == 1) object.strings.erase(member);
        return depth > 0;
    }
    bool open(bool is_object) {
        if (depth == 0 && !is_object) return false;
        other_value();
        return ++depth <= JSON_MAX_DEPTH;
    }

    bool null() { return other_value(); }
    bool boolean(bool) { return other_value(); }
    bool number_integer(Json::number_integer_t) { return other_value(); }
    bool number_unsigned(Json::number_unsigned_t) { return other_value(); }
    bool number_float(Json::number_float_t, const Json::string_t&) { return other_value(); }
    bool binary(Json::binary_t&) { return other_value(); }
    bool string(Json::string_t& value) {
        if (depth == 0) return false;
        // A key given twice: the later value counts.
        if (depth == 1) object.strings.insert_or_assign(member, std::move(value));
        return true;
    }
    bool start_object(std::size_t) { return open(true); }
    bool start_array(std::size_t) { return open(false); }
    bool end_object() { return --depth, true; }
    bool end_array() { return --depth, true; }
    bool key(Json::string_t& name) {
        if (depth == 1) member = std::move(name);
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
        return false;
    }
};

JsonObjectPtr parse_object(std::string_view utf8) {
    JsonObjectPtr object(new JsonObject);
    TopLevelStrings reader{*object, 0, {}};
    if (!Json::sax_parse(utf8.begin(), utf8.end(), &reader)) return nullptr;
    return object;
}

enum class FastParse { refused, not_an_object, object };

// The fast parser's reading of the line. It accepts no line that the event
// parser refuses (it is the stricter of the two: it also refuses numbers
// beyond a double and a byte-order mark), and reads every line it accepts
// alike, so its refusal only sends the line on to the event parser, which
// has the last word.
FastParse fast_parse_object(JsonReaderState& state, std::string_view line, JsonObject& object) {
    // As deep as the event parser goes, the top-level object counted. A new
    // parser goes deeper: without this depth the line goes to the event parser.
    if (state.parser.max_depth() != JSON_MAX_DEPTH &&
        (state.parser.allocate(0, JSON_MAX_DEPTH) != simdjson::SUCCESS ||
         state.parser.max_depth() != JSON_MAX_DEPTH)) {
        return FastParse::refused;
    }
    simdjson::dom::element root;
    if (state.parser.parse(line.data(), line.size(), true).get(root) != simdjson::SUCCESS) {
        return FastParse::refused;
    }
    simdjson::dom::object members;
    if (root.get_object().get(members) != simdjson::SUCCESS) return FastParse::not_an_object;
    // Settling repeated keys here would cost a pass over the members kept
    // for every member read; the lookup takes the last one instead.
    for (const simdjson::dom::key_value_pair member : members) {
        std::string_view value;
        if (member.value.get_string().get(value) == simdjson::SUCCESS)
            object.views.emplace_back(member.key, value);
        else
            object.views.emplace_back(member.key, std::nullopt);
    }
    return FastParse::object;
}

}  // namespace

JsonReader make_json_reader() {
    JsonReader reader;
    reader.state.reset(new JsonReaderState);
    return reader;
}

void release_large_buffers(JsonReader& reader) {
    // The parser holds several buffers, together some bytes for every byte
    // of the longest line it has read.
    if (reader.state->parser.capacity() <= KEPT_BUFFER_BYTES / 8) return;
    reader.state->parser = simdjson::dom::parser();
}

JsonObjectPtr json_object_with_line_by_events(std::string_view line) {
    // The parser refuses every ill-formed UTF-8 sequence, inside a string or
    // out, so a line it accepts is its own text; only a line it refuses can
    // read differently once decoded.
    JsonObjectPtr object = parse_object(line);
    if (object || is_valid_utf8(line)) return object;
    return parse_object(decode_with_replacement(line));
}

JsonObjectPtr json_object_with_line(JsonReader& reader, std::string_view line) {
    // A raw NUL byte is never part of one JSON value (inside a string it must
    // be escaped), but the event parser takes it for the end of its input and
    // would accept a line that goes on after it.
    if (line.find('\0') != std::string_view::npos) return nullptr;
    JsonObjectPtr object(new JsonObject);
    switch (fast_parse_object(*reader.state, line, *object)) {
        case FastParse::object: return object;
        case FastParse::not_an_object: return nullptr;
        case FastParse::refused: break;
    }
    return json_object_with_line_by_events(line);
}

std::optional<std::string_view> string_member(const JsonObject& object, std::string_view key) {
    for (auto it = object.views.rbegin(); it != object.views.rend(); ++it) {
        if (it->first == key) return it->second;
    }
    const auto it = object.strings.find(key);
    if (it == object.strings.end()) return std::nullopt;
    return it->second;
}

}  // namespace brindlecap::foundation::platform
