// The texts the runners build from a child's end and outputs: status texts,
// trimming, UTF-8 fault texts, the Rscript failure message.
#pragma once

#include "run.h"

#include <string>
#include <string_view>

namespace brindlecap::interpreter {

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

}  // namespace brindlecap::interpreter
