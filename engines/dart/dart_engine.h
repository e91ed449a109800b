// The Dart-flavour engine's operations: the engine matches nothing itself; it
// hands the request to the Dart program and reads back what it printed.
#pragma once

#include "protocol/protocol.h"

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace brindlecap::dart {

inline constexpr std::string_view DART_PROGRAM_NAME = "brindlecap-dart-engine";

// A backslash and a digit 1 to 9 become a dollar sign and that digit, the form
// the Dart program expands; everything else is copied unchanged.
std::string convert_backrefs(std::string_view replacement);

// The request as the Dart program receives it: compact, sorted keys, no line
// feed. For "replace" the member "replacement" holds the rewritten text.
std::string forwarded_test_request(const Json& request);
std::string forwarded_replace_request(const Json& request);

// One MatchEntry from a tab-separated output line
// (start, length, match, captures...), or nullopt when the line does not fit.
std::optional<Json> parse_match_line(std::string_view line);

// The "matches" array from the Dart program's "test" output.
Json read_test_output(std::string_view output);

std::string run_test(const Json& request, const std::string& pattern, const std::string& flags,
                     const std::string& text);
std::string run_replace(const Json& request, const std::string& pattern, const std::string& flags,
                        const std::string& text);

inline constexpr std::array<Operation, 2> DART_OPERATIONS{{
    {"test", run_test},
    {"replace", run_replace},
}};

}  // namespace brindlecap::dart
