#include "operations.h"

#include "pattern.h"
#include "protocol/utf8.h"
#include "replacement.h"
#include "search.h"

#include <utility>

namespace brindlecap::shell {

namespace {

// In byte mode a match may begin or end inside a multi-byte character; its
// ill-formed bytes are written as U+FFFD so that the response stays UTF-8.
std::string well_formed(std::string bytes) {
    if (is_valid_utf8(bytes)) return bytes;
    return decode_with_replacement(bytes);
}

}  // namespace

std::string test_operation(const Json&, const std::string& pattern, const std::string& flags,
                           const std::string& text) {
    auto compiled = compile_regex(pattern, flags);
    if (auto* message = std::get_if<std::string>(&compiled)) return error_response(*message);
    const TrePattern& re = *std::get<CompiledPattern>(compiled);

    Json matches = Json::array();
    for_each_line(text, [&](std::string_view line, std::size_t offset) {
        for (const MatchSpan& span : find_all_matches(re, line)) {
            Json entry = Json::object();
            entry["captures"] = Json::array();
            entry["groups"] = Json::object();
            entry["index"] = offset + span.start;
            entry["match"] = well_formed(std::string(line.substr(span.start, span.end - span.start)));
            matches.push_back(std::move(entry));
        }
    });
    Json response = Json::object();
    response["matches"] = std::move(matches);
    response["status"] = "ok";
    return write_json(response);
}

std::string replace_operation(const Json& request, const std::string& pattern,
                              const std::string& flags, const std::string& text) {
    const std::string replacement = request_string(request, "replacement", "");
    auto compiled = compile_regex(pattern, flags);
    if (auto* message = std::get_if<std::string>(&compiled)) return error_response(*message);
    const TrePattern& re = *std::get<CompiledPattern>(compiled);

    // One forward pass: the text between hits is copied and each expansion
    // appended, which gives the same result as splicing from the last hit
    // backwards without moving the rest of the text at every hit.
    Json entries = Json::array();
    std::string result;
    std::size_t copied = 0;
    for_each_line(text, [&](std::string_view line, std::size_t offset) {
        for (const MatchSpan& span : find_all_matches(re, line)) {
            std::size_t start = offset + span.start;
            std::size_t end = offset + span.end;
            std::string expansion =
                expand_replacement(replacement, std::string_view(text).substr(start, end - start));
            result.append(text, copied, start - copied);
            result += expansion;
            copied = end;
            entries.push_back(Json::array({start, end, well_formed(std::move(expansion))}));
        }
    });
    if (entries.empty()) {
        result = text;
    } else {
        result.append(text, copied, std::string::npos);
    }
    Json response = Json::object();
    response["replacements"] = std::move(entries);
    response["result"] = well_formed(std::move(result));
    response["status"] = "ok_replace";
    return write_json(response);
}

}  // namespace brindlecap::shell
