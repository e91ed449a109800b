// Reading what the R "test" program prints: a header naming the groups, then
// one tab-separated line per match.
#pragma once

#include "protocol/protocol.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brindlecap::r {

// One MatchEntry of a well-formed match line, or nothing.
std::optional<Json> parse_match_line(const std::vector<std::string>& names, std::string_view line);

// The header names the groups; every later line goes through parse_match_line.
std::vector<Json> parse_match_output(std::string_view output);

}  // namespace brindlecap::r
