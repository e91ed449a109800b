// The child runner and the Rscript and dart runners, against fake
// interpreters written as small shell scripts.
#include "e2e.h"
#include "fixture.h"
#include "interpreter.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

using brindlecap::test::EnvGuard;
using brindlecap::test::TempDir;

// The engines ignore SIGPIPE; so does this test, or a child that closes its
// input early would end it.
const bool sigpipe_ignored = (std::signal(SIGPIPE, SIG_IGN), true);

struct RunnerCase {
    std::string name;
    int line = 0;
    std::string runner;
    std::string script = "#!/bin/sh\n";
    std::string setup;
    std::string input;
    std::optional<std::string> ok;
    std::string ok_stderr;
    std::optional<std::string> error;
};

void PrintTo(const RunnerCase& c, std::ostream* os) { *os << c.name; }

std::vector<RunnerCase> load_runner_cases() {
    std::ifstream file(RUNNER_CASES, std::ios::binary);
    std::vector<RunnerCase> cases;
    std::string raw;
    int number = 0;
    while (std::getline(file, raw)) {
        ++number;
        if (raw.empty() || raw[0] == '#') {
            continue;
        }
        const std::size_t space = raw.find(' ');
        const std::string word = raw.substr(0, space);
        const std::string value = space == std::string::npos ? "" : raw.substr(space + 1);
        if (word == "===") {
            cases.push_back({});
            cases.back().name = value;
            cases.back().line = number;
            continue;
        }
        RunnerCase& c = cases.back();
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
            throw std::runtime_error("unknown directive " + word);
        }
    }
    return cases;
}

std::string substitute(const std::string& text, const std::string& script) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        if (text.compare(i, 9, "${SCRIPT}") == 0) {
            out += script;
            i += 9;
        } else if (text.compare(i, 10, "${SIGUSR1}") == 0) {
            out += std::to_string(SIGUSR1);
            i += 10;
        } else {
            out += text[i++];
        }
    }
    return brindlecap::test::unescape(out);
}

class RunnerCases : public ::testing::TestWithParam<RunnerCase> {};

TEST_P(RunnerCases, Case) {
    const RunnerCase& c = GetParam();
    SCOPED_TRACE(std::string(RUNNER_CASES) + ":" + std::to_string(c.line) + ": " + c.name);
    TempDir dir;
    const std::string script = dir / "fake-interpreter";
    brindlecap::InterpreterPath path = script;
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

    const std::string input = substitute(c.input, script);
    std::optional<std::string> out;
    std::string err;
    std::optional<std::string> message;
    if (c.runner == "r") {
        auto result = brindlecap::run_rscript_with(path, input);
        if (auto* text = std::get_if<std::string>(&result)) {
            out = *text;
        } else {
            message = std::get<brindlecap::ErrorText>(result).message;
        }
    } else {
        auto result = brindlecap::run_dart_with(path, "prog.dart", input);
        if (auto* output = std::get_if<brindlecap::DartOutput>(&result)) {
            out = output->stdout_text;
            err = output->stderr_text;
        } else {
            message = std::get<brindlecap::ErrorText>(result).message;
        }
    }
    if (c.ok) {
        EXPECT_EQ(out, substitute(*c.ok, script));
        EXPECT_EQ(err, substitute(c.ok_stderr, script));
    }
    if (c.error) {
        EXPECT_EQ(message, substitute(*c.error, script));
    }
}

INSTANTIATE_TEST_SUITE_P(File, RunnerCases, ::testing::ValuesIn(load_runner_cases()),
                         [](const ::testing::TestParamInfo<RunnerCase>& info) {
                             std::string name;
                             for (char ch : info.param.name) {
                                 name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
                             }
                             return name + "_" + std::to_string(info.param.line);
                         });

brindlecap::ChildOutput run_script(const TempDir& dir, const std::string& body,
                                   const std::vector<std::string>& input) {
    const std::string script = dir / "child";
    brindlecap::test::write_file(script, "#!/bin/sh\n" + body, 0755);
    auto result = brindlecap::run_interpreter(script, {}, input);
    if (!std::holds_alternative<brindlecap::ChildOutput>(result)) {
        ADD_FAILURE() << "start or wait failed: " << std::get<brindlecap::RunFailure>(result).error_number;
        return {};
    }
    return std::get<brindlecap::ChildOutput>(std::move(result));
}

// Several megabytes on both outputs at once: neither pipe may fill up and stall
// the child while the other is waited on.
TEST(RunInterpreter, CollectsMegabytesOnBothOutputsAtOnce) {
    TempDir dir;
    constexpr std::size_t size = 6 * 1024 * 1024;
    const auto output = run_script(dir,
                                   "head -c 6291456 /dev/zero | tr '\\0' e >&2 &\n"
                                   "head -c 6291456 /dev/zero | tr '\\0' o\n"
                                   "wait\n",
                                   {});
    EXPECT_TRUE(WIFEXITED(output.wait_status) && WEXITSTATUS(output.wait_status) == 0);
    EXPECT_EQ(output.stdout_bytes, std::string(size, 'o'));
    EXPECT_EQ(output.stderr_bytes, std::string(size, 'e'));
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

TEST(RunInterpreter, StartFailureCarriesTheSystemError) {
    auto result = brindlecap::run_interpreter("/nonexistent/interpreter", {}, {"x"});
    ASSERT_TRUE(std::holds_alternative<brindlecap::RunFailure>(result));
    EXPECT_EQ(std::get<brindlecap::RunFailure>(result).kind, brindlecap::RunFailureKind::start);
    EXPECT_EQ(std::get<brindlecap::RunFailure>(result).error_number, ENOENT);
}

}  // namespace
