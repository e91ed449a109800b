// Finding an outside interpreter (Rscript, dart) and running it as a child
// process with all three standard streams piped. Shared by the R and Dart
// engines; everything here is single-threaded.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace brindlecap {

// ---------------------------------------------------------------------------
// Discovery

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

// ---------------------------------------------------------------------------
// Runs

// What a started and waited-for child yields.
struct ChildOutput {
    int wait_status = 0;
    std::string stdout_bytes;
    std::string stderr_bytes;
};

enum class RunFailureKind { start, wait };

struct RunFailure {
    RunFailureKind kind;
    int error_number;
};

// Starts `program` (also argument 0) with `arguments` after it, writes each
// piece of `input` in full (write failures such as EPIPE are ignored), closes
// the child's input, collects both outputs without deadlock and waits.
std::variant<ChildOutput, RunFailure> run_interpreter(const std::string& program,
                                                      const std::vector<std::string>& arguments,
                                                      const std::vector<std::string>& input);

// An error message from a runner, to be put unchanged into an ErrorResponse.
struct ErrorText {
    std::string message;
};

// "exit status: N", or "signal: S (NAME)[ (core dumped)]" with the running
// platform's signal names for 1 to 31.
std::string exit_status_text(int wait_status);

// The platform's name of signal 1 to 31 ("SIGKILL"), or empty.
std::string_view signal_name(int signal_number);

// The text with every Unicode White_Space character removed at both ends.
// `text` must be valid UTF-8.
std::string_view trim_white_space(std::string_view text);

// "invalid utf-8 sequence of N bytes from index I" or
// "incomplete utf-8 byte sequence from index I" for the first fault; empty
// when `bytes` is valid UTF-8.
std::string utf8_error_text(std::string_view bytes);

// The failure message for an Rscript child that did not exit with code 0:
// standard error without "Execution halted" lines, else standard output,
// else the status, each trimmed.
std::string rscript_failure_message(const ChildOutput& output);

// Rscript --no-save --no-restore --no-echo - with `program` and a line feed on
// its input. R's standard output (valid UTF-8, unchanged), or a message.
std::variant<std::string, ErrorText> run_rscript(std::string_view program);

// As run_rscript, with an explicit located path instead of the cell.
std::variant<std::string, ErrorText> run_rscript_with(const InterpreterPath& path,
                                                      std::string_view program);

// dart's two outputs, each decoded with replacement.
struct DartOutput {
    std::string stdout_text;
    std::string stderr_text;
};

// dart <dart_script_path> with `input` (nothing added) on its standard input.
std::variant<DartOutput, ErrorText> run_dart(std::string_view dart_script_path,
                                             std::string_view input);

// As run_dart, with an explicit located path instead of the cell.
std::variant<DartOutput, ErrorText> run_dart_with(const InterpreterPath& path,
                                                  std::string_view dart_script_path,
                                                  std::string_view input);

}  // namespace brindlecap
