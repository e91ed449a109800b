#include "dart_engine.h"

#include "dart_script.h"

#include "engines/interpreter/run.h"
#include "engines/interpreter/texts.h"
#include "base/lines.h"

#include <cstdint>
#include <variant>

namespace brindlecap::dart {

std::string convert_backrefs(std::string_view replacement) {
    // Backslash and digits are ASCII, so working on bytes never splits a
    // character.
    std::string result;
    result.reserve(replacement.size());
    for (std::size_t at = 0; at < replacement.size(); ++at) {
        const char c = replacement[at];
        if (c == '\\' && at + 1 < replacement.size() && replacement[at + 1] >= '1' &&
            replacement[at + 1] <= '9') {
            result += '$';
            result += replacement[at + 1];
            ++at;
        } else {
            result += c;
        }
    }
    return result;
}

std::string forwarded_test_request(const Json& request) { return write_json(request); }

std::string forwarded_replace_request(const Json& request) {
    // Only object requests can carry a non-empty text, and only those are
    // forwarded; anything else is treated as an object without members.
    Json copy = request.is_object() ? request : Json::object();
    copy["replacement"] = convert_backrefs(request_string(request, "replacement", ""));
    return write_json(copy);
}

namespace {

// An optional sign, then one or more ASCII digits and nothing else, within
// the signed 64-bit range.
std::optional<std::int64_t> parse_index(std::string_view field) {
    const bool negative = field.starts_with('-');
    if (negative || field.starts_with('+')) field.remove_prefix(1);
    const std::optional<std::uint64_t> magnitude = parse_decimal_digits(field);
    if (!magnitude) return std::nullopt;
    constexpr auto LARGEST = static_cast<std::uint64_t>(INT64_MAX);
    if (!negative) {
        if (*magnitude > LARGEST) return std::nullopt;
        return static_cast<std::int64_t>(*magnitude);
    }
    if (*magnitude > LARGEST + 1) return std::nullopt;
    // -(LARGEST + 1) is INT64_MIN, which has no positive counterpart.
    if (*magnitude == LARGEST + 1) return INT64_MIN;
    return -static_cast<std::int64_t>(*magnitude);
}

}  // namespace

std::optional<Json> parse_match_line(std::string_view line) {
    const std::string_view trimmed = interpreter::trim_white_space(line);
    if (trimmed.empty()) return std::nullopt;

    const std::vector<std::string_view> fields = split_fields(trimmed, '\t');
    if (fields.size() < 3) return std::nullopt;

    const std::optional<std::int64_t> index = parse_index(fields[0]);
    if (!index) return std::nullopt;

    Json captures = Json::array();
    for (std::size_t i = 3; i < fields.size(); ++i) captures.push_back(std::string(fields[i]));

    Json entry = Json::object();
    entry["captures"] = std::move(captures);
    entry["groups"] = Json::object();
    entry["index"] = *index;
    entry["match"] = std::string(fields[2]);
    return entry;
}

Json read_test_output(std::string_view output) {
    Json matches = Json::array();
    for (const std::string_view line : split_lines(output)) {
        if (std::optional<Json> entry = parse_match_line(line))
            matches.push_back(std::move(*entry));
    }
    return matches;
}

std::string run_test(const Json& request, const std::string&, const std::string&,
                     const std::string& text) {
    if (text.empty()) return R"({"matches":[],"status":"ok"})";

    auto ran = interpreter::run_dart(dart_script_path, forwarded_test_request(request));
    if (const interpreter::ErrorText* failure = std::get_if<interpreter::ErrorText>(&ran)) {
        return error_response(failure->message);
    }
    // What dart wrote to its standard error during a successful run is dropped.
    Json response = Json::object();
    response["matches"] = read_test_output(std::get<interpreter::DartOutput>(ran).stdout_text);
    response["status"] = "ok";
    return write_json(response);
}

std::string run_replace(const Json& request, const std::string&, const std::string&,
                        const std::string& text) {
    if (text.empty()) return R"({"replacements":[],"result":"","status":"ok_replace"})";

    auto ran = interpreter::run_dart(dart_script_path, forwarded_replace_request(request));
    if (const interpreter::ErrorText* failure = std::get_if<interpreter::ErrorText>(&ran)) {
        return error_response(failure->message);
    }
    // Trimming takes off print's line feed, and with it any white space the
    // replaced text itself begins or ends with.
    Json response = Json::object();
    response["replacements"] = Json::array();
    response["result"] = std::string(
        interpreter::trim_white_space(std::get<interpreter::DartOutput>(ran).stdout_text));
    response["status"] = "ok_replace";
    return write_json(response);
}

}  // namespace brindlecap::dart
