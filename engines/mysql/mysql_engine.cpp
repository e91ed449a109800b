#include "mysql_engine.h"

#include "base/utf8.h"
#include "engines/mysql/adapter/adapter_search.h"

#include <unicode/utypes.h>

#include <cstdlib>
#include <new>
#include <utility>
#include <vector>

namespace brindlecap::mysql {

namespace {

// The "test" response in the writer's compact sorted form, straight from the
// adapter's match array: a generic tree of hundreds of thousands of entries
// costs far more than the search itself. The captures of one match are
// gathered in room made before the response starts to leave.
void write_test_response(ResponseSink& out, const std::string& text,
                         const mysql_adapter::Search& found) {
    std::vector<CaptureSpan> captures(static_cast<std::size_t>(found.group_count));
    out.append("{\"engine\":\"");
    out.append(ENGINE_NAME);
    out.append("\",\"matches\":[");
    const AdapterMatch* const matches = found.matches.get();
    for (int32_t i = 0; i < found.count; ++i) {
        if (i > 0) out.append(",");
        const mysql_adapter::GroupSpan* spans = mysql_adapter::group_spans(found, i);
        for (std::size_t g = 0; g < captures.size(); ++g)
            captures[g] = {spans[g].start, spans[g].end};
        append_match_entry(out, text, static_cast<std::size_t>(matches[i].start),
                           static_cast<std::size_t>(matches[i].end), captures);
    }
    out.append("],\"status\":\"ok\"}");
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

void run_test(ResponseSink& out, const Json& /*request*/, const std::string& pattern,
              const std::string& flags, const std::string& text) {
    if (text.empty()) {
        out.append(R"({"matches":[],"status":"ok"})");
        return;
    }
    auto compiled = compile_regex(pattern, parse_flags(flags));
    if (const auto* message = std::get_if<std::string>(&compiled)) {
        out.append(error_response("compile: " + *message));
        return;
    }
    const RegexHandle handle = std::move(std::get<RegexHandle>(compiled));

    // A text with a NUL cannot reach the adapter whole, so it has no matches.
    if (text.find('\0') != std::string::npos) {
        write_test_response(out, text, {});
        return;
    }
    const mysql_adapter::Search found = mysql_adapter::search_all(handle.get(), text);
    // A list cut short is no answer: the loop answers "out of memory" for
    // this, as for any request that exhausts memory.
    if (found.out_of_memory) throw std::bad_alloc();
    if (U_FAILURE(found.matcher_error)) {
        out.append(matcher_failure(found.matcher_error));
        return;
    }
    write_test_response(out, text, found);
}

void run_replace(ResponseSink& out, const Json& request, const std::string& pattern,
                 const std::string& flags, const std::string& text) {
    const std::string replacement = request_string(request, "replacement", "");
    if (text.empty()) {
        out.append(R"({"replacements":[],"result":"","status":"ok_replace"})");
        return;
    }
    auto compiled = compile_regex(pattern, parse_flags(flags));
    if (const auto* message = std::get_if<std::string>(&compiled)) {
        out.append(error_response("compile: " + *message));
        return;
    }
    const RegexHandle handle = std::move(std::get<RegexHandle>(compiled));

    mysql_adapter::Replacement replaced;
    if (text.find('\0') == std::string::npos && replacement.find('\0') == std::string::npos) {
        replaced = mysql_adapter::replace_all(handle.get(), text, replacement);
        if (replaced.out_of_memory) throw std::bad_alloc();
        if (U_FAILURE(replaced.matcher_error)) {
            out.append(matcher_failure(replaced.matcher_error));
            return;
        }
    }
    out.append("{\"engine\":\"");
    out.append(ENGINE_NAME);
    out.append("\",\"replacements\":[],\"result\":");
    // The adapter's result is UTF-8 converted from ICU's, up to its NUL.
    out.append_json_string_of_bytes(replaced.text ? std::string_view(replaced.text.get())
                                                  : std::string_view(text));
    out.append(",\"status\":\"ok_replace\"}");
}

}  // namespace brindlecap::mysql
