// Finding an outside interpreter (Rscript, dart): the override variable, the
// PATH walk, the fixed paths, and the once-only cell per engine.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace brindlecap::interpreter {

// Per-engine parameters of the one locator.
struct InterpreterSpec {
    std::string_view override_variable;
    std::string_view interpreter_name;
    std::array<std::string_view, 2> fixed_paths;  // tried in this order
    std::string_view not_found_message;
};

inline constexpr InterpreterSpec RSCRIPT_SPEC{
    "BRINDLECAP_R_BIN",
    "Rscript",
    {"/opt/homebrew/bin/Rscript", "/usr/local/bin/Rscript"},
    "Rscript not found on this system",
};

inline constexpr InterpreterSpec DART_SPEC{
    "BRINDLECAP_DART_BIN",
    "dart",
    {"/opt/homebrew/bin/dart", "/usr/local/bin/dart"},
    "dart not found on this system",
};

// A located path holds the bytes exactly as they were formed (not made
// absolute, links not resolved; from PATH it may be non-UTF-8). nullopt: none.
using InterpreterPath = std::optional<std::string>;

// stat (following links) succeeds and reports a regular file.
bool is_regular_file(const std::string& path);

// is_regular_file, then access(X_OK).
bool is_executable_file(const std::string& path);

// The directory a PATH entry stands for: a leading "~" component is rebuilt on
// HOME (read now) when HOME is set, valid UTF-8 and not empty; otherwise the
// entry is returned unchanged.
std::string expand_tilde_entry(std::string_view entry);

// Override variable, then the PATH walk, then the fixed paths. Reports
// nothing and cannot fail; none is its only negative result.
InterpreterPath locate_interpreter(const InterpreterSpec& spec);

InterpreterPath find_rscript();  // locate_interpreter(RSCRIPT_SPEC)
InterpreterPath find_dart();     // locate_interpreter(DART_SPEC)

// Process-wide once-only cells: the first call runs the locator and keeps its
// result (none included) for the rest of the process; every call returns a
// copy of the kept result.
InterpreterPath rscript_path();
InterpreterPath dart_path();

}  // namespace brindlecap::interpreter
