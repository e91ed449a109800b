// The child runner and the Rscript and dart runners, against fake
// interpreters written as small shell scripts.
#include "fixture.h"

#include "engines/interpreter/run.h"
#include "tests/support/tables.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>
#include <csignal>
#include <filesystem>
#include <map>

namespace {

using brindlecap::test::EnvGuard;
using brindlecap::test::TempDir;

// The engines ignore SIGPIPE; so does this test, or a child that closes its
// input early would end it.
const bool sigpipe_ignored = (std::signal(SIGPIPE, SIG_IGN), true);

struct RunnerCase {
    std::string name;
    std::string where;
    std::string runner;
    std::string script = "#!/bin/sh\n";
    std::string setup;
    std::string input;
    std::optional<std::string> ok;
    std::string ok_stderr;
    std::optional<std::string> error;
};

std::vector<brindlecap::test::BlockCase> runner_blocks() {
    return brindlecap::test::load_block_cases(RUNNER_CASES);
}

RunnerCase read_runner_case(const brindlecap::test::BlockCase& block) {
    RunnerCase c;
    c.name = block.name;
    c.where = brindlecap::test::where(block.file, block.line);
    for (const brindlecap::test::DataLine& directive : block.directives) {
        const auto [word, value] = brindlecap::test::split_directive(directive.text);
        if (word == "runner") {
            c.runner = value;
        } else if (word == "sh") {
            c.script += value + "\n";
        } else if (word == "setup") {
            c.setup = value;
        } else if (word == "input") {
            c.input = value;
        } else if (word == "ok") {
            c.ok = value;
        } else if (word == "ok-stderr") {
            c.ok_stderr = value;
        } else if (word == "error") {
            c.error = value;
        } else {
            throw std::runtime_error(brindlecap::test::where(block.file, directive.line) +
                                     ": unknown directive " + word);
        }
    }
    return c;
}

class RunnerCases : public ::testing::TestWithParam<brindlecap::test::BlockCase> {};

TEST_P(RunnerCases, Case) {
    const RunnerCase c = read_runner_case(GetParam());
    SCOPED_TRACE(c.where + ": " + c.name);
    TempDir dir;
    const std::string script = dir / "fake-interpreter";
    brindlecap::interpreter::InterpreterPath path = script;
    EnvGuard env;
    if (c.setup == "directory") {
        std::filesystem::create_directories(script);
    } else if (c.setup != "removed") {
        brindlecap::test::write_file(script, c.script, c.setup == "noexec" ? 0644 : 0755);
    }
    if (c.setup == "not-found") {
        path = std::nullopt;
    } else if (c.setup == "bare") {
        path = "fake-interpreter";
        env.set("PATH", dir.path() + ":/usr/bin:/bin");
    }

    const std::map<std::string, std::string> variables{{"SCRIPT", script},
                                                       {"SIGUSR1", std::to_string(SIGUSR1)}};
    const auto substitute = [&variables](const std::string& text) {
        return brindlecap::test::unescape(brindlecap::test::expand_variables(text, variables));
    };
    const std::string input = substitute(c.input);
    std::optional<std::string> out;
    std::string err;
    std::optional<std::string> message;
    if (c.runner == "r") {
        auto result = brindlecap::interpreter::run_rscript_with(path, input);
        if (auto* text = std::get_if<std::string>(&result)) {
            out = *text;
        } else {
            message = std::get<brindlecap::interpreter::ErrorText>(result).message;
        }
    } else {
        auto result = brindlecap::interpreter::run_dart_with(path, "prog.dart", input);
        if (auto* output = std::get_if<brindlecap::interpreter::DartOutput>(&result)) {
            out = output->stdout_text;
            err = output->stderr_text;
        } else {
            message = std::get<brindlecap::interpreter::ErrorText>(result).message;
        }
    }
    if (c.ok) {
        EXPECT_EQ(out, substitute(*c.ok));
        EXPECT_EQ(err, substitute(c.ok_stderr));
    }
    if (c.error) {
        EXPECT_EQ(message, substitute(*c.error));
    }
}

INSTANTIATE_TEST_SUITE_P(File, RunnerCases, ::testing::ValuesIn(runner_blocks()),
                         [](const ::testing::TestParamInfo<brindlecap::test::BlockCase>& info) {
                             return brindlecap::test::case_test_name(info.param.line,
                                                                     info.param.name);
                         });

brindlecap::interpreter::ChildOutput run_script(const TempDir& dir, const std::string& body,
                                                const std::vector<std::string>& input) {
    const std::string script = dir / "child";
    brindlecap::test::write_file(script, "#!/bin/sh\n" + body, 0755);
    auto result = brindlecap::interpreter::run_interpreter(script, {}, input);
    if (!std::holds_alternative<brindlecap::interpreter::ChildOutput>(result)) {
        ADD_FAILURE() << "start or wait failed: "
                      << std::get<brindlecap::interpreter::RunFailure>(result).error_number;
        return {};
    }
    return std::get<brindlecap::interpreter::ChildOutput>(std::move(result));
}

// Several megabytes on both outputs at once: neither pipe may fill up and stall
// the child while the other is waited on.
TEST(RunInterpreter, CollectsMegabytesOnBothOutputsAtOnce) {
    TempDir dir;
    constexpr std::size_t SIZE = 6 * 1024 * 1024;
    const auto output = run_script(dir,
                                   "head -c 6291456 /dev/zero | tr '\\0' e >&2 &\n"
                                   "head -c 6291456 /dev/zero | tr '\\0' o\n"
                                   "wait\n",
                                   {});
    EXPECT_TRUE(WIFEXITED(output.wait_status) && WEXITSTATUS(output.wait_status) == 0);
    EXPECT_EQ(output.stdout_bytes, std::string(SIZE, 'o'));
    EXPECT_EQ(output.stderr_bytes, std::string(SIZE, 'e'));
}

// A child that echoes its input as it reads it: the input must keep flowing
// while the outputs are drained, or both sides wait on full pipes.
TEST(RunInterpreter, FeedsLargeInputToAChildThatAnswersAsItReads) {
    TempDir dir;
    std::string input(5 * 1024 * 1024, 'x');
    for (std::size_t i = 0; i < input.size(); i += 4096) {
        input[i] = '\n';
    }
    const auto output = run_script(dir, "tee /dev/stderr\n", {input, "end"});
    EXPECT_EQ(output.stdout_bytes, input + "end");
    EXPECT_EQ(output.stderr_bytes, input + "end");
}

// Writes to a child that is gone fail with EPIPE and are dropped silently.
TEST(RunInterpreter, ChildExitingWithoutReadingLargeInput) {
    TempDir dir;
    const std::string big(8 * 1024 * 1024, 'p');
    const auto output = run_script(dir, "echo gone >&2\nexit 3\n", {big, "\n", big});
    EXPECT_TRUE(WIFEXITED(output.wait_status));
    EXPECT_EQ(WEXITSTATUS(output.wait_status), 3);
    EXPECT_EQ(output.stderr_bytes, "gone\n");
}

// SIGPIPE starts at its default in the child although the engine ignores it;
// another ignored signal stays ignored.
TEST(RunInterpreter, ChildStartsWithSigpipeAtDefault) {
#ifndef __linux__
    GTEST_SKIP() << "reads /proc";
#endif
    std::signal(SIGUSR2, SIG_IGN);
    TempDir dir;
    const auto output = run_script(dir, "sed -n 's/^SigIgn:[[:space:]]*//p' /proc/$$/status\n", {});
    std::signal(SIGUSR2, SIG_DFL);
    const unsigned long long ignored = std::stoull(output.stdout_bytes, nullptr, 16);
    EXPECT_EQ(ignored & (1ULL << (SIGPIPE - 1)), 0u);
    EXPECT_NE(ignored & (1ULL << (SIGUSR2 - 1)), 0u);
}

// The child's standard input ends when the input is written: a child that
// reads to the end of its input finishes.
TEST(RunInterpreter, ClosesTheChildsInputAfterWritingIt) {
    TempDir dir;
    const auto output = run_script(dir, "wc -c\n", {"abc", "", "de"});
    EXPECT_EQ(std::stoi(output.stdout_bytes), 5);
}

// A host may start the engine with SIGCHLD ignored; the child must still be
// waited for and its status reported. Checked in a forked process, so that
// the disposition changes nothing else.
TEST(RunInterpreter, WaitsForTheChildEvenWhenTheHostIgnoresSigchld) {
    TempDir dir;
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        std::signal(SIGCHLD, SIG_IGN);
        const std::string script = dir / "child";
        brindlecap::test::write_file(script, "#!/bin/sh\necho out\nexit 3\n", 0755);
        auto result = brindlecap::interpreter::run_interpreter(script, {}, {});
        const auto* output = std::get_if<brindlecap::interpreter::ChildOutput>(&result);
        ::_exit(output && WIFEXITED(output->wait_status) && WEXITSTATUS(output->wait_status) == 3 &&
                        output->stdout_bytes == "out\n"
                    ? 0
                    : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(RunInterpreter, StartFailureCarriesTheSystemError) {
    auto result = brindlecap::interpreter::run_interpreter("/nonexistent/interpreter", {}, {"x"});
    ASSERT_TRUE(std::holds_alternative<brindlecap::interpreter::RunFailure>(result));
    EXPECT_EQ(std::get<brindlecap::interpreter::RunFailure>(result).kind,
              brindlecap::interpreter::RunFailureKind::start);
    EXPECT_EQ(std::get<brindlecap::interpreter::RunFailure>(result).error_number, ENOENT);
}

}  // namespace
