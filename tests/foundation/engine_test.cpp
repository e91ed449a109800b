// The engine program end to end, one case of engine_cases.txt per test.
#include "tests/support/e2e.h"

#include <cstdio>
#include <fstream>
#include <string>

BRINDLECAP_CASE_FILE_TESTS(FoundationEngine, PROGRAM, CASES);

namespace {

#if !defined(BRINDLECAP_SANITIZE)
using brindlecap::test::run_program;
using brindlecap::test::RunOptions;
using brindlecap::test::RunResult;

std::string json_string(char c, std::size_t count) { return "\"" + std::string(count, c) + "\""; }

std::string repeated(const std::string& piece, std::size_t count) {
    std::string out;
    out.reserve(piece.size() * count);
    for (std::size_t i = 0; i < count; ++i) out += piece;
    return out;
}

const std::string OUT_OF_MEMORY = R"({"status":"error","message":"out of memory"})";
// ICU words a backtracking stack that cannot grow as one that is full.
const std::string STACK_FULL = R"({"status":"error","message":"match: U_REGEX_STACK_OVERFLOW"})";

// Requests that need more memory than the engine may have are answered with
// one whole line, "out of memory" or the library's own error, and the next
// request is answered as usual. The engine runs under a bounded address
// space, so that these requests cannot take the machine's memory.
TEST(FoundationEngineMemory, ExhaustingRequestsAreAnsweredAndTheEngineGoesOn) {
    const struct {
        const char* what;
        long limit_kib;
        std::string line;
        const std::string& answer;
    } cases[] = {
        {"a replacement whose result would be 10 GB", 400'000,
         R"({"op":"replace","pattern":"","text":)" + json_string('a', 100'000) +
             R"(,"replacement":)" + json_string('b', 100'000) + "}",
         OUT_OF_MEMORY},
        {"a list of matches of 16 GB", 400'000,
         R"({"pattern":")" + repeated("()", 1000) + R"(","text":)" + json_string('a', 1'000'000) +
             "}",
         OUT_OF_MEMORY},
        {"a valid pattern too large to compile in the memory there is", 300'000,
         R"({"pattern":")" + repeated("(a)", 3'333'333) + R"(","text":"a"})", OUT_OF_MEMORY},
        {"a backtracking stack that cannot grow", 300'000,
         R"({"pattern":"(a|b)*","text":")" + repeated("ab", 3'000'000) + "\"}", STACK_FULL},
        {"a replacement whose backtracking stack cannot grow", 300'000,
         R"({"op":"replace","pattern":"(a|b)*","text":")" + repeated("ab", 3'000'000) + "\"}",
         STACK_FULL},
        {"a line too long to hold", 150'000, R"({"op":)" + json_string('a', 200'000'000) + "}",
         OUT_OF_MEMORY},
    };
    for (const auto& c : cases) {
        RunOptions options;
        options.args = {"-c", "ulimit -v " + std::to_string(c.limit_kib) + " && exec \"$0\"",
                        PROGRAM};
        options.stdin_bytes = c.line + "\n" + R"({"op":"next"})" + "\n";
        const RunResult result = run_program("/bin/sh", options);
        EXPECT_EQ(result.out,
                  c.answer + "\n" + R"({"status":"error","message":"unknown op: next"})" + "\n")
            << c.what;
        EXPECT_EQ(result.err, "") << c.what;
        EXPECT_EQ(result.exit_status, 0) << c.what;
    }
}
// After a line longer than a quarter of the memory, the requests that follow
// it in the same input have the memory back, whether the input is a regular
// file (whose reads fill whatever room they are given) or a pipe.
TEST(FoundationEngineMemory, ALongLineGivesItsMemoryBack) {
    const std::string path = ::testing::TempDir() + "foundation_long_line.jsonl";
    const std::string request = R"({"pattern":"c","text":)" + json_string('b', 10'000'000) + "}\n";
    {
        std::ofstream file(path, std::ios::binary);
        file << std::string(300'000'000, 'x') << "\n" << request << request;
    }
    const std::string expected = R"({"status":"error","message":"bad request JSON"})"
                                 "\n"
                                 R"({"status":"ok","matches":[]})"
                                 "\n"
                                 R"({"status":"ok","matches":[]})"
                                 "\n";
    for (const char* input : {"< \"$1\"", "cat \"$1\" |"}) {
        RunOptions options;
        options.args = {"-c", std::string("ulimit -v 600000 && ") + input + " \"$0\"", PROGRAM,
                        path};
        const RunResult result = run_program("/bin/sh", options);
        EXPECT_EQ(result.out, expected) << input;
        EXPECT_EQ(result.err, "") << input;
        EXPECT_EQ(result.exit_status, 0) << input;
    }
    std::remove(path.c_str());
}
#else
TEST(FoundationEngineMemory, ALongLineGivesItsMemoryBack) {
    GTEST_SKIP() << "the sanitizers reserve more address space than the bound allows";
}

TEST(FoundationEngineMemory, ExhaustingRequestsAreAnsweredAndTheEngineGoesOn) {
    GTEST_SKIP() << "the sanitizers reserve more address space than the bound allows, "
                    "and end the process when operator new fails";
}
#endif

}  // namespace
