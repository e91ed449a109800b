// Fake interpreter scripts and environment changes that are undone when a
// test ends.
#pragma once

#include <sys/stat.h>
#include <unistd.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace brindlecap::test {

inline void write_file(const std::string& path, const std::string& content, mode_t mode) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << content;
        if (!out) {
            throw std::runtime_error("cannot write " + path);
        }
    }
    if (::chmod(path.c_str(), mode) != 0) {
        throw std::runtime_error("cannot chmod " + path);
    }
}

// Sets or removes variables and puts the old values back at the end.
class EnvGuard {
public:
    EnvGuard() = default;
    EnvGuard(const EnvGuard&) = delete;
    EnvGuard& operator=(const EnvGuard&) = delete;
    ~EnvGuard() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            if (it->second) {
                ::setenv(it->first.c_str(), it->second->c_str(), 1);
            } else {
                ::unsetenv(it->first.c_str());
            }
        }
    }
    void set(const std::string& name, const std::string& value) {
        save(name);
        ::setenv(name.c_str(), value.c_str(), 1);
    }
    void unset(const std::string& name) {
        save(name);
        ::unsetenv(name.c_str());
    }

private:
    void save(const std::string& name) {
        const char* old = std::getenv(name.c_str());
        saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    }
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// Changes the working directory and goes back at the end.
class CwdGuard {
public:
    explicit CwdGuard(const std::string& directory) : old_(std::filesystem::current_path()) {
        std::filesystem::current_path(directory);
    }
    CwdGuard(const CwdGuard&) = delete;
    CwdGuard& operator=(const CwdGuard&) = delete;
    ~CwdGuard() {
        std::error_code ignored;
        std::filesystem::current_path(old_, ignored);
    }

private:
    std::filesystem::path old_;
};

}  // namespace brindlecap::test
