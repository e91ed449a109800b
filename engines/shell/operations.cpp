#include "operations.h"

#include "pattern.h"
#include "protocol/utf8.h"
#include "replacement.h"
#include "search.h"

#include <array>
#include <optional>
#include <utility>

namespace brindlecap::shell {

namespace {

bool needs_escape(unsigned char c) { return c < 0x20 || c == '"' || c == '\\'; }

// Appends `value` (well-formed UTF-8) as a JSON string. Bytes without an
// escape are copied in runs; each byte that has one gets the text the JSON
// writer gives it, taken once from the writer itself.
void append_json_string(std::string& out, std::string_view value) {
    static const auto escapes = [] {
        std::array<std::string, 128> table;
        for (unsigned c = 0; c < table.size(); ++c) {
            if (!needs_escape(static_cast<unsigned char>(c))) continue;
            std::string quoted = write_json(Json(std::string(1, static_cast<char>(c))));
            table[c] = quoted.substr(1, quoted.size() - 2);
        }
        return table;
    }();
    out += '"';
    std::size_t run = 0;
    for (std::size_t i = 0; i < value.size(); ++i) {
        auto c = static_cast<unsigned char>(value[i]);
        if (!needs_escape(c)) continue;
        out.append(value.substr(run, i - run));
        out += escapes[c];
        run = i + 1;
    }
    out.append(value.substr(run));
    out += '"';
}

// As above, for bytes that may be ill-formed: in byte mode a match may begin
// or end inside a multi-byte character, and its ill-formed bytes are written
// as U+FFFD so that the response stays UTF-8.
void append_json_bytes(std::string& out, std::string_view bytes) {
    if (is_valid_utf8(bytes)) {
        append_json_string(out, bytes);
    } else {
        append_json_string(out, decode_with_replacement(bytes));
    }
}

}  // namespace

std::string test_operation(const Json&, const std::string& pattern, const std::string& flags,
                           const std::string& text) {
    auto compiled = compile_regex(pattern, flags);
    if (auto* message = std::get_if<std::string>(&compiled)) return error_response(*message);
    const TrePattern& re = *std::get<CompiledPattern>(compiled);

    // The response is assembled entry by entry around fixed member names in
    // sorted key order ("captures", "groups", "index", "match"; "matches"
    // before "status"), with every string value written by the JSON writer:
    // the same text as writing one tree of every entry, without holding tree
    // nodes for each of hundreds of thousands of matches.
    std::string response = R"({"matches":[)";
    bool first = true;
    for_each_line(text, [&](std::string_view line, std::size_t offset) {
        for (const MatchSpan& span : find_all_matches(re, line)) {
            response += first ? R"({"captures":[],"groups":{},"index":)"
                              : R"(,{"captures":[],"groups":{},"index":)";
            first = false;
            response += std::to_string(offset + span.start);
            response += R"(,"match":)";
            append_json_bytes(response, line.substr(span.start, span.end - span.start));
            response += '}';
        }
    });
    response += R"(],"status":"ok"})";
    return response;
}

std::string replace_operation(const Json& request, const std::string& pattern,
                              const std::string& flags, const std::string& text) {
    const std::string replacement = request_string(request, "replacement", "");
    auto compiled = compile_regex(pattern, flags);
    if (auto* message = std::get_if<std::string>(&compiled)) return error_response(*message);
    const TrePattern& re = *std::get<CompiledPattern>(compiled);

    // One forward pass: the text between hits is copied and each expansion
    // appended, which gives the same result as splicing from the last hit
    // backwards without moving the rest of the text at every hit. Entries are
    // assembled as in "test".
    std::string response = R"({"replacements":[)";
    std::string result;
    result.reserve(text.size());
    std::size_t copied = 0;
    bool any = false;
    bool too_deep = false;
    for_each_line(text, [&](std::string_view line, std::size_t offset) {
        if (too_deep) return;
        for (const MatchSpan& span : find_all_matches(re, line)) {
            std::size_t start = offset + span.start;
            std::size_t end = offset + span.end;
            std::optional<std::string> expanded =
                expand_replacement(replacement, std::string_view(text).substr(start, end - start));
            if (!expanded) {
                too_deep = true;
                return;
            }
            std::string& expansion = *expanded;
            result.append(text, copied, start - copied);
            result += expansion;
            copied = end;
            response += any ? ",[" : "[";
            any = true;
            response += std::to_string(start);
            response += ',';
            response += std::to_string(end);
            response += ',';
            append_json_bytes(response, expansion);
            response += ']';
        }
    });
    if (too_deep) {
        return error_response("replacement error: \\L and \\U nested too deeply");
    }
    if (any) {
        result.append(text, copied, std::string::npos);
    } else {
        result = text;
    }
    response += R"(],"result":)";
    append_json_bytes(response, result);
    response += R"(,"status":"ok_replace"})";
    return response;
}

}  // namespace brindlecap::shell
