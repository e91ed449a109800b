#include "mysql_engine.h"

#include "utf8.h"

#include <charconv>
#include <cstdlib>
#include <optional>
#include <utility>
#include <vector>

namespace brindlecap::mysql {

namespace {

struct GroupRange {
    int64_t start = 0;
    int64_t end = 0;
};

// One match; its group spans, one per capturing group in group order, are
// the run of `group_count` spans from `first_group` in the list beside it:
// a list per match would cost one allocation per match.
struct MatchResult {
    int64_t start = 0;
    int64_t end = 0;
    std::size_t first_group = 0;
    std::size_t group_count = 0;
};

struct MatchResults {
    std::vector<MatchResult> matches;
    std::vector<std::optional<GroupRange>> groups;  // absent: did not take part
};

struct MatchArrayFree {
    int32_t count = 0;
    void operator()(AdapterMatch* matches) const { mysql_match_result_free(matches, count); }
};

// Reads the adapter's match array into plain records and releases it.
MatchResults find_matches(URegularExpression* handle, const std::string& text) {
    int32_t count = 0;
    AdapterMatch* raw = mysql_regex_matches(handle, text.c_str(), &count);
    std::unique_ptr<AdapterMatch, MatchArrayFree> matches(raw, MatchArrayFree{count});
    MatchResults results;
    if (raw == nullptr || count <= 0) return results;
    results.matches.reserve(static_cast<std::size_t>(count));
    // Every record of one search has the pattern's group count.
    const int32_t first_count = mysql_match_get_group_count(raw, 0);
    results.groups.reserve(static_cast<std::size_t>(count) *
                           static_cast<std::size_t>(first_count > 0 ? first_count : 0));
    for (int32_t i = 0; i < count; ++i) {
        MatchResult result;
        result.start = mysql_match_get_start(raw, i);
        result.end = mysql_match_get_end(raw, i);
        result.first_group = results.groups.size();
        const int32_t group_count = mysql_match_get_group_count(raw, i);
        for (int32_t g = 0; g < group_count; ++g) {
            const int32_t start = mysql_match_get_group_start(raw, i, g);
            const int32_t end = mysql_match_get_group_end(raw, i, g);
            if (start < 0 || end < 0) {
                results.groups.emplace_back(std::nullopt);
            } else {
                results.groups.emplace_back(GroupRange{start, end});
            }
        }
        result.group_count = results.groups.size() - result.first_group;
        results.matches.push_back(result);
    }
    return results;
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

// The "test" response, written straight in the writer's compact sorted form:
// a generic tree of hundreds of thousands of entries costs far more than the
// search itself.
std::string test_response(const std::string& text, const MatchResults& results) {
    // Room for every entry with its match and captures unescaped, and for the
    // line feed that the loop appends, so that a response of many megabytes is
    // not copied as it grows; room that is never written costs nothing.
    std::size_t wanted = 64;
    for (const MatchResult& result : results.matches) {
        wanted += 80 + static_cast<std::size_t>(result.end - result.start);
    }
    for (const auto& group : results.groups) {
        wanted += 6 + (group ? static_cast<std::size_t>(group->end - group->start) : 0);
    }
    std::string out;
    out.reserve(wanted);
    out += "{\"engine\":";
    append_json_string(out, ENGINE_NAME);
    out += ",\"matches\":[";
    bool first = true;
    for (const MatchResult& result : results.matches) {
        out += first ? std::string_view("{\"captures\":[") : std::string_view(",{\"captures\":[");
        first = false;
        bool first_group = true;
        for (std::size_t g = 0; g < result.group_count; ++g) {
            const std::optional<GroupRange>& group = results.groups[result.first_group + g];
            if (!first_group) out += ',';
            first_group = false;
            if (group) {
                append_json_string(out, slice(text, group->start, group->end));
            } else {
                out += "null";
            }
        }
        out += "],\"groups\":{},\"index\":";
        char digits[24];
        const auto written = std::to_chars(digits, digits + sizeof digits, result.start);
        out.append(digits, written.ptr);
        out += ",\"match\":";
        append_json_string(out, slice(text, result.start, result.end));
        out += '}';
    }
    out += "],\"status\":\"ok\"}";
    return out;
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

std::string test_operation(const Json& /*request*/, const std::string& pattern,
                           const std::string& flags, const std::string& text) {
    if (text.empty()) {
        return write_json(Json{{"matches", Json::array()}, {"status", "ok"}});
    }
    auto compiled = compile_regex(pattern, parse_flags(flags));
    if (const auto* message = std::get_if<std::string>(&compiled)) {
        return error_response("compile: " + *message);
    }
    const RegexHandle handle = std::move(std::get<RegexHandle>(compiled));

    MatchResults results;
    // A text with a NUL cannot reach the adapter whole, so it has no matches.
    if (text.find('\0') == std::string::npos) results = find_matches(handle.get(), text);
    return test_response(text, results);
}

std::string replace_operation(const Json& request, const std::string& pattern,
                              const std::string& flags, const std::string& text) {
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
        char* replaced = mysql_regex_replace(handle.get(), text.c_str(), replacement.c_str());
        if (replaced != nullptr) {
            result = decode_with_replacement(replaced);
            std::free(replaced);
        }
    }
    Json response = Json::object();
    response["engine"] = std::string(ENGINE_NAME);
    response["replacements"] = Json::array();
    response["result"] = std::move(result);
    response["status"] = "ok_replace";
    return write_json(response);
}

}  // namespace brindlecap::mysql
