#include "lines.h"

namespace brindlecap {

std::vector<std::string_view> split_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const std::size_t feed = text.find('\n');
        std::string_view line = text.substr(0, feed);
        if (feed == std::string_view::npos) {
            lines.push_back(line);
            break;
        }
        if (line.ends_with('\r')) line.remove_suffix(1);
        lines.push_back(line);
        text.remove_prefix(feed + 1);
    }
    return lines;
}

std::vector<std::string_view> split_fields(std::string_view line, char separator) {
    std::vector<std::string_view> fields;
    for (;;) {
        const std::size_t at = line.find(separator);
        fields.push_back(line.substr(0, at));
        if (at == std::string_view::npos) return fields;
        line.remove_prefix(at + 1);
    }
}

std::optional<std::uint64_t> parse_decimal_digits(std::string_view digits) {
    if (digits.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

}  // namespace brindlecap
