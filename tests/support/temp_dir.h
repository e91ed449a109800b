// A fresh directory for a test, removed with everything in it at the end.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace brindlecap::test {

class TempDir {
public:
    // A new directory named PREFIX-XXXXXX in `parent`, mode 0700; path()
    // has no symbolic links in it.
    explicit TempDir(std::string_view prefix = "brindlecap-test",
                     const std::filesystem::path& parent = std::filesystem::temp_directory_path());
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir();

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

private:
    std::string path_;
};

}  // namespace brindlecap::test
