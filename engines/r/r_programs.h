// The R programs the engine writes for each request, and the operations
// that run them.
#pragma once

#include "protocol/protocol.h"

#include <array>
#include <string>
#include <string_view>

namespace brindlecap::r {

inline constexpr std::string_view R_PROGRAM_NAME = "brindlecap-r-engine";

// The fixed "test" program; holds "__P__", "__T__" (inside string literals)
// and "__IC__" (an R logical constant) once each.
extern const std::string_view match_script_template;

// Backslashes doubled, quotation marks preceded by a backslash, line feeds
// and carriage returns written as the escapes \n and \r, NULs (which R
// cannot hold) left out; nothing else changes.
std::string escape_r_string(std::string_view value);

// Program lines that leave the R variable `name` holding `value`, as the one
// literal `name <- "..."` would, encoding mark included: that one line where
// it fits; else a statement that reads the value from the next line of R's
// input, that line, and statements that set back its line feeds and carriage
// returns and its mark. Only a value that leaves no byte to stand in for its
// line ends is cut into literal pieces, each assigned on a line of its own,
// and joined. Every line, its line feed included, fits well within the pieces
// in which R reads its input, or is one that R reads as data.
std::string value_statements(std::string_view name, std::string_view value);

// "TRUE" when flags hold a lower-case "i", otherwise "FALSE".
std::string_view r_ignore_case_literal(std::string_view flags);

// The template with its placeholders filled in one left-to-right pass: text
// brought in by a value is never scanned again.
std::string build_match_program(std::string_view pattern, std::string_view flags,
                                std::string_view text);

// One line as long as it fits; else the values by value_statements, then the
// call on them.
std::string build_replace_program(std::string_view pattern, std::string_view flags,
                                  std::string_view text, std::string_view replacement);

std::string build_validate_program(std::string_view pattern, std::string_view flags,
                                   std::string_view text);

// The three operations, as the request loop calls them.
std::string run_test(const Json& request, const std::string& pattern, const std::string& flags,
                     const std::string& text);
std::string run_replace(const Json& request, const std::string& pattern, const std::string& flags,
                        const std::string& text);
std::string run_validate(const Json& request, const std::string& pattern, const std::string& flags,
                         const std::string& text);

inline constexpr std::array<Operation, 3> R_OPERATIONS{{
    {"test", run_test},
    {"replace", run_replace},
    {"validate", run_validate},
}};

}  // namespace brindlecap::r
