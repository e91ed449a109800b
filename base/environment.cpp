#include "environment.h"

#include <string_view>

extern char** environ;

namespace brindlecap {

std::vector<std::string> current_environment() {
    std::vector<std::string> entries;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        entries.emplace_back(*entry);
    }
    return entries;
}

std::vector<std::string> child_environment(
    std::span<const std::string> base,
    const std::vector<std::pair<std::string, std::string>>& additions) {
    std::vector<std::string> environment;
    environment.reserve(base.size() + additions.size());
    for (const std::string& entry : base) {
        const std::size_t equals = entry.find('=');
        bool replaced = false;
        if (equals != std::string::npos) {
            const std::string_view name(entry.data(), equals);
            for (const auto& addition : additions) replaced = replaced || addition.first == name;
        }
        if (!replaced) environment.push_back(entry);
    }
    for (const auto& [name, value] : additions) environment.push_back(name + "=" + value);
    return environment;
}

}  // namespace brindlecap
