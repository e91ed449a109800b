// Interpreter discovery: override variable, PATH walk, fixed paths.
#include "locate.h"

#include "base/paths.h"
#include "base/utf8.h"

#include <sys/stat.h>
#include <unistd.h>
#include <cstdlib>

namespace brindlecap::interpreter {

namespace {

// The variable's value, only when set and valid UTF-8.
std::optional<std::string> utf8_variable(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || !is_valid_utf8(value)) {
        return std::nullopt;
    }
    return std::string(value);
}

}  // namespace

bool is_regular_file(const std::string& path) {
    struct stat info {};
    return !path.empty() && ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool is_executable_file(const std::string& path) {
    return is_regular_file(path) && ::access(path.c_str(), X_OK) == 0;
}

std::string expand_tilde_entry(std::string_view entry) {
    // Only a first component of exactly "~" is rebuilt; "~user", "." and "/"
    // leave the entry as it stands.
    if (entry != "~" && !entry.starts_with("~/")) {
        return std::string(entry);
    }
    std::optional<std::string> home = utf8_variable("HOME");
    if (!home || home->empty()) {
        return std::string(entry);
    }
    std::string directory = *home;
    std::string_view rest = entry.substr(1);
    while (!rest.empty()) {
        std::size_t slash = rest.find('/');
        std::string_view component = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view{} : rest.substr(slash + 1);
        if (component.empty() || component == ".") {
            continue;
        }
        if (directory.back() != '/') {
            directory += '/';
        }
        directory += component;
    }
    return directory;
}

InterpreterPath locate_interpreter(const InterpreterSpec& spec) {
    // No "~" expansion for the override: the value is a path as given.
    if (std::optional<std::string> value =
            utf8_variable(std::string(spec.override_variable).c_str());
        value && is_regular_file(*value)) {
        return value;
    }

    // PATH is raw bytes here; its entries need not be UTF-8.
    if (const char* path_value = std::getenv("PATH"); path_value != nullptr) {
        std::string_view rest = path_value;
        while (true) {
            std::size_t colon = rest.find(':');
            std::string candidate =
                join_path(expand_tilde_entry(rest.substr(0, colon)), spec.interpreter_name);
            if (is_executable_file(candidate)) {
                return candidate;
            }
            if (colon == std::string_view::npos) {
                break;
            }
            rest = rest.substr(colon + 1);
        }
    }

    for (std::string_view fixed : spec.fixed_paths) {
        if (std::string path(fixed); is_regular_file(path)) {
            return path;
        }
    }
    return std::nullopt;
}

InterpreterPath find_rscript() { return locate_interpreter(RSCRIPT_SPEC); }

InterpreterPath find_dart() { return locate_interpreter(DART_SPEC); }

InterpreterPath rscript_path() {
    static const InterpreterPath cell = find_rscript();
    return cell;
}

InterpreterPath dart_path() {
    static const InterpreterPath cell = find_dart();
    return cell;
}

}  // namespace brindlecap::interpreter
