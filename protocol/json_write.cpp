#include "protocol.h"

#include "base/utf8.h"

#include <array>

namespace brindlecap {

namespace {

bool needs_escape(unsigned char c) { return c < 0x20 || c == '"' || c == '\\'; }

// Whether the bytes go into a JSON string as they are: plain ASCII without
// escapes, which is nearly every match, is told in one cheap scan.
bool is_plain_json_text(std::string_view bytes) {
    bool ascii = true;
    for (char byte : bytes) {
        auto c = static_cast<unsigned char>(byte);
        if (needs_escape(c)) return false;
        if (c >= 0x80) ascii = false;
    }
    return ascii || is_valid_utf8(bytes);
}

}  // namespace

// Bytes without an escape are copied in runs; each byte that has one gets the
// text the JSON writer gives it, taken once from the writer itself, so the two
// can never disagree.
void append_json_escaped(std::string& out, std::string_view value) {
    static const auto ESCAPES = [] {
        std::array<std::string, 128> table;
        for (unsigned c = 0; c < table.size(); ++c) {
            if (!needs_escape(static_cast<unsigned char>(c))) continue;
            std::string quoted = write_json(Json(std::string(1, static_cast<char>(c))));
            table[c] = quoted.substr(1, quoted.size() - 2);
        }
        return table;
    }();
    std::size_t run = 0;
    for (std::size_t i = 0; i < value.size(); ++i) {
        auto c = static_cast<unsigned char>(value[i]);
        if (!needs_escape(c)) continue;
        out.append(value.substr(run, i - run));
        out += ESCAPES[c];
        run = i + 1;
    }
    out.append(value.substr(run));
}

void append_json_string(std::string& out, std::string_view bytes) {
    out += '"';
    if (is_plain_json_text(bytes)) {
        out += bytes;
    } else if (is_valid_utf8(bytes)) {
        append_json_escaped(out, bytes);
    } else {
        append_json_escaped(out, decode_with_replacement(bytes));
    }
    out += '"';
}

}  // namespace brindlecap
