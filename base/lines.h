// Reading the line-and-field output of an interpreter: lines, separated
// fields, plain decimal numbers.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace brindlecap {

// Splits at line feeds; one carriage return right before a line feed belongs
// to neither line. A last piece without a line feed is a line (kept as it
// is); a final line feed starts no further line, so "" gives no lines.
std::vector<std::string_view> split_lines(std::string_view text);

// Splits at every `separator`; empty fields count, so "" gives one empty
// field and n separators always give n + 1 fields.
std::vector<std::string_view> split_fields(std::string_view line, char separator);

// The value of one or more ASCII digits and nothing else (no sign, no
// blanks), when it is at most 2^64 - 1.
std::optional<std::uint64_t> parse_decimal_digits(std::string_view digits);

}  // namespace brindlecap
