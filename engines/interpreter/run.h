// Running an outside interpreter as a child process with all three standard
// streams piped, and the Rscript and dart runners on top of it. Everything
// here is single-threaded.
#pragma once

#include "locate.h"

#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace brindlecap::interpreter {

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

// An error message from a runner, answered unchanged as the request's error
// response.
struct ErrorText {
    std::string message;
};

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

}  // namespace brindlecap::interpreter
