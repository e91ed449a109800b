#include "match_output.h"

#include "engines/interpreter/texts.h"
#include "base/lines.h"

#include <cstdint>

namespace brindlecap::r {

namespace {

// A number of a match line: digits after an optional plus sign.
std::optional<std::uint64_t> parse_unsigned(std::string_view field) {
    if (field.starts_with('+')) {
        field.remove_prefix(1);
    }
    return parse_decimal_digits(field);
}

}  // namespace

std::optional<Json> parse_match_line(const std::vector<std::string>& names, std::string_view line) {
    line = interpreter::trim_white_space(line);
    if (line.empty()) {
        return std::nullopt;
    }
    std::vector<std::string_view> fields = split_fields(line, '\t');
    if (fields.size() < 3) {
        return std::nullopt;
    }
    std::optional<std::uint64_t> index = parse_unsigned(fields[0]);
    if (!index || !parse_unsigned(fields[1])) {
        return std::nullopt;
    }
    Json captures = Json::array();
    for (std::size_t i = 3; i < fields.size(); ++i) {
        captures.push_back(fields[i].empty() ? Json(nullptr) : Json(std::string(fields[i])));
    }
    Json groups = Json::object();
    for (std::size_t k = 0; k < names.size(); ++k) {
        if (names[k].empty() || k >= captures.size() || captures[k].is_null()) {
            continue;
        }
        groups[names[k]] = captures[k];
    }
    Json entry = Json::object();
    entry["captures"] = std::move(captures);
    entry["groups"] = std::move(groups);
    entry["index"] = *index;
    entry["match"] = std::string(fields[2]);
    return entry;
}

std::vector<Json> parse_match_output(std::string_view output) {
    std::vector<Json> entries;
    std::vector<std::string_view> lines = split_lines(output);
    std::size_t at = 0;
    while (at < lines.size() && interpreter::trim_white_space(lines[at]).empty()) {
        ++at;
    }
    if (at == lines.size()) {
        return entries;
    }
    std::vector<std::string> names;
    if (std::string_view header = interpreter::trim_white_space(lines[at]);
        header.starts_with('#')) {
        header.remove_prefix(1);
        if (!header.empty()) {
            for (std::string_view name : split_fields(header, ',')) {
                names.emplace_back(name);
            }
        }
    }
    for (++at; at < lines.size(); ++at) {
        if (std::optional<Json> entry = parse_match_line(names, lines[at])) {
            entries.push_back(std::move(*entry));
        }
    }
    return entries;
}

}  // namespace brindlecap::r
