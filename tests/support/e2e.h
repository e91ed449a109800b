// Runs built programs as child processes and compares their whole output with
// tables of cases kept in data files.
//
// Case file format (one directive per line; "# " starts a comment line):
//   === NAME          starts a case
//   env NAME=VALUE    set a variable for the child (value unescaped, ${VAR} expanded)
//   unset NAME        remove a variable from the child's environment
//   arg VALUE         one more argument (unescaped)
//   close FD          start the child with descriptor FD (0, 1 or 2) closed
//   reader-closed     the output pipe's read end is closed before input is written
//   > LINE            one input line; a line feed is appended
//   >> BYTES          input bytes with escapes (\n \r \t \0 \\ \xHH), nothing appended
//   < LINE            one expected output line (a line feed is appended)
//   << BYTES          expected output bytes with escapes
//   ! LINE            one expected standard-error line; without any, standard
//                     error must stay empty
//   stderr-any        standard error is not compared
//   status N          expected exit status (default 0)
//   signal N          the child is expected to end by signal N
// ${VAR} in any value is replaced from the variables given to load_cases.
#pragma once

#include "tables.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace brindlecap::test {

struct RunOptions {
    std::vector<std::string> args;
    std::vector<std::pair<std::string, std::string>> env_set;
    std::vector<std::string> env_unset;
    std::string stdin_bytes;
    bool close_fd[3] = {false, false, false};
    bool reader_closed = false;
    std::string working_directory;  // empty: inherit
};

struct RunResult {
    std::string out;
    std::string err;
    int exit_status = -1;  // -1 when ended by a signal
    int term_signal = 0;   // 0 when it exited
};

RunResult run_program(const std::string& program, const RunOptions& options);

struct Case {
    std::string name;
    std::string file;
    int line = 0;
    RunOptions options;
    std::string expected_out;
    std::string expected_err;
    bool check_err = true;
    int expected_status = 0;
    int expected_signal = 0;
};

// A block case's directives read as the harness directives above.
Case case_from_block(const BlockCase& block,
                     const std::map<std::string, std::string>& variables = {});

std::vector<Case> load_cases(const std::string& path,
                             const std::map<std::string, std::string>& variables = {});

// Runs the case and reports every difference as a test failure.
void expect_case(const std::string& program, const Case& c);

// A gtest-safe name for a case.
std::string case_test_name(const Case& c);

// How gtest shows a case: its place and name rather than its bytes.
inline void PrintTo(const Case& c, std::ostream* os) {
    *os << c.file << ":" << c.line << ": " << c.name;
}

}  // namespace brindlecap::test

// One parameterised test per case of a data file, against one program.
// Use: BRINDLECAP_CASE_FILE_TESTS(ShellCases, "/path/to/program", "/path/to/cases.txt")
#define BRINDLECAP_CASE_FILE_TESTS(SUITE, PROGRAM, CASES_FILE)                                 \
    class SUITE : public ::testing::TestWithParam<::brindlecap::test::Case> {};                \
    TEST_P(SUITE, Case) { ::brindlecap::test::expect_case(PROGRAM, GetParam()); }              \
    INSTANTIATE_TEST_SUITE_P(File, SUITE,                                                      \
                             ::testing::ValuesIn(::brindlecap::test::load_cases(CASES_FILE)),  \
                             [](const ::testing::TestParamInfo<::brindlecap::test::Case>& i) { \
                                 return ::brindlecap::test::case_test_name(i.param);           \
                             })
