#include "temp_dir.h"

#include <cstdlib>
#include <stdexcept>
#include <system_error>

namespace brindlecap::test {

TempDir::TempDir(std::string_view prefix, const std::filesystem::path& parent) {
    std::string pattern = (parent / (std::string(prefix) + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot create a directory like " + pattern);
    }
    path_ = std::filesystem::canonical(pattern).string();
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

}  // namespace brindlecap::test
