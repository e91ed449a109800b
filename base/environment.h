// The environment handed to a child process.
#pragma once

#include <span>
#include <string>
#include <utility>
#include <vector>

namespace brindlecap {

// This process's environment, "NAME=VALUE" entries as they stand.
std::vector<std::string> current_environment();

// `base` ("NAME=VALUE" entries) with every addition set, replacing entries of
// the same name.
std::vector<std::string> child_environment(
    std::span<const std::string> base,
    const std::vector<std::pair<std::string, std::string>>& additions);

}  // namespace brindlecap
