#include "engine.h"

#include <cstdio>

namespace brindlecap::foundation {

void append_json_escaped(std::string& out, std::string_view text) {
    // Bytes from U+0080 up are copied as they stand: every text reaching here
    // is well-formed UTF-8, so whole scalars pass through unchanged.
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t run = i;
        while (run < text.size() && !needs_json_escape(text[run])) ++run;
        out.append(text.data() + i, run - i);
        if (run == text.size()) break;
        const auto c = static_cast<unsigned char>(text[run]);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\f': out += "\\f"; break;
            case '\r': out += "\\r"; break;
            default: {
                char buffer[8];
                std::snprintf(buffer, sizeof buffer, "\\u%04x", static_cast<unsigned>(c));
                out += buffer;
            }
        }
        i = run + 1;
    }
}

std::string json_escape(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    append_json_escaped(out, text);
    return out;
}

std::string error_to_json(std::string_view message) {
    std::string out = R"({"status":"error","message":")";
    append_json_escaped(out, message);
    out += "\"}";
    return out;
}

namespace {

// Large enough that handing on costs little, small enough to stay in cache.
constexpr std::size_t chunk_size = 1 << 16;

}  // namespace

void hand_on_full_chunk(ResponseWriter& out) {
    if (out.stream == nullptr || out.text.size() < chunk_size) return;
    // Results are not examined: a failed write is not detected.
    std::fwrite(out.text.data(), 1, out.text.size(), out.stream);
    out.text.clear();
}

void write_json_escaped(ResponseWriter& out, std::string_view text) {
    // Escaping works byte by byte and leaves every byte from 0x80 up as it
    // is, so the text can be cut anywhere.
    while (text.size() > chunk_size) {
        append_json_escaped(out.text, text.substr(0, chunk_size));
        text.remove_prefix(chunk_size);
        hand_on_full_chunk(out);
    }
    append_json_escaped(out.text, text);
}

void respond(std::string_view line, ResponseWriter& out) {
    const platform::JsonObjectPtr request = platform::json_object_with_line(line);
    if (!request) {
        out.text += error_to_json("bad request JSON");
        return;
    }
    const std::string op = platform::take_string_member(*request, "op").value_or("test");
    const std::string pattern = platform::take_string_member(*request, "pattern").value_or("");
    const std::string flags = platform::take_string_member(*request, "flags").value_or("");
    const std::string text = platform::take_string_member(*request, "text").value_or("");
    const std::string replacement = platform::take_string_member(*request, "replacement").value_or("");
    if (op == "test") return run_test(pattern, flags, text, out);
    if (op == "replace") return run_replace(pattern, flags, text, replacement, out);
    out.text += error_to_json("unknown op: " + op);
}

std::string respond(std::string_view line) {
    ResponseWriter out;
    respond(line, out);
    return std::move(out.text);
}

}  // namespace brindlecap::foundation
