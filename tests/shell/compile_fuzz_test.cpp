// Many short patterns made of the characters that steer TRE's parser, each
// compiled and searched in a child process with a memory limit and a time
// limit: a pattern of a few bytes that makes TRE loop or allocate without
// end, or take more memory than a request may, shows up here as a failure
// naming it.
#include "engines/shell/pattern.h"
#include "engines/shell/search.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <clocale>
#include <cstdint>
#include <fstream>
#include <random>
#include <string>
#include <variant>
#include <vector>

namespace brindlecap::shell {
namespace {

// The digits make counts such as 1, 25, 52 and 255, whose copies multiply
// when bounds nest.
constexpr std::string_view ALPHABET = "\\(){}[]|*+?a0,125";
// Whole bounds, so that nested ones are common rather than rare.
constexpr std::array<std::string_view, 8> BOUNDS = {"{255}",   "{25}",  "{16}", "{2,}",
                                                    "{0,255}", "{,55}", "{5}",  "{1,2}"};
// Back-reference patterns in three parts: a group that can match the empty
// text or be left out (or neither), a reference under some repetition, and
// what follows, where TRE's matcher tends to lose its way.
constexpr std::array<std::string_view, 6> REFERENCE_GROUPS = {"()",   "(a?)", "(a)?",
                                                              "(a)|", "(a)",  "(a*)b?"};
constexpr std::array<std::string_view, 8> REFERENCES = {"\\1",      "\\1+",    "\\1*", "(\\1)+",
                                                        "(\\1|a)*", "\\1{2,}", "\\1?", "(a\\1)*"};
constexpr std::array<std::string_view, 8> REFERENCE_TAILS = {"(.)+$", ".+$", "([^c]|<)+$", ".+\\b",
                                                             "a",     "(.)", "$",          ".*"};
constexpr unsigned SECONDS_PER_PATTERN = 10;  // generous, for the sanitizers
// Far above what the engine lets a compile take (a few hundred MiB, more
// under the sanitizers), so that reaching it means a copy count got past.
constexpr std::uint64_t BYTES_PER_PATTERN = std::uint64_t{1} << 30;
// A refusal before TRE expands anything takes almost nothing; TRE giving up
// at the limit has taken far more.
constexpr std::uint64_t REFUSAL_BYTES = std::uint64_t{64} << 20;
// What the largest patterns the engine compiles take, with room for the
// sanitizers (measured: up to about 230 MiB plain, 310 MiB sanitized).
constexpr std::uint64_t ANSWER_BYTES = std::uint64_t{512} << 20;
// TRE's matcher takes its working space from the stack, in proportion to the
// states; the engine runs it on a large stack, the child needs one too.
constexpr rlim_t STACK_BYTES = rlim_t{64} << 20;
constexpr int OUT_OF_MEMORY = 3;
constexpr int TOO_MUCH_MEMORY = 4;

// A figure of /proc/self/status in bytes: VmData is the data segment in use
// (the sanitizers reserve a lot of it at start), VmHWM the peak resident size.
std::uint64_t status_bytes(const std::string& name) {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        std::uint64_t kib = 0;
        if (key == name && status >> kib) return kib * 1024;
    }
    return 0;
}

// Child: limit memory and time, compile, search a short line; exit 0 when
// it answered without running out of memory and within what a request may
// take. An answer of code 12 counts as running out when TRE had taken much
// memory before it gave up.
[[noreturn]] void compile_in_child(const std::string& pattern, const char* flags) {
    rlimit data{};
    data.rlim_cur = data.rlim_max = status_bytes("VmData:") + BYTES_PER_PATTERN;
    setrlimit(RLIMIT_DATA, &data);
    rlimit stack{};
    stack.rlim_cur = stack.rlim_max = STACK_BYTES;
    setrlimit(RLIMIT_STACK, &stack);
    alarm(SECONDS_PER_PATTERN);
    const std::uint64_t resident = status_bytes("VmHWM:");
    auto compiled = compile_regex(pattern, flags);
    if (auto* message = std::get_if<std::string>(&compiled)) {
        const bool refused = message->find("error code 12 ") != std::string::npos;
        _exit(refused && status_bytes("VmHWM:") - resident > REFUSAL_BYTES ? OUT_OF_MEMORY : 0);
    }
    find_text_matches(*std::get<CompiledPattern>(compiled), "a\\(0){a,}[|*]+?aa\n\\)");
    _exit(status_bytes("VmHWM:") - resident > ANSWER_BYTES ? TOO_MUCH_MEMORY : 0);
}

std::string outcome(int status) {
    if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
    if (WEXITSTATUS(status) == OUT_OF_MEMORY) return "out of memory";
    if (WEXITSTATUS(status) == TOO_MUCH_MEMORY) return "more memory than a request may take";
    return "exit " + std::to_string(WEXITSTATUS(status));
}

// Compiles each pattern in a child of its own, in both syntaxes by turns;
// the patterns that failed, with how.
template <typename MakePattern>
std::vector<std::string> run_patterns(int count, MakePattern make_pattern) {
    std::setlocale(LC_ALL, "C.UTF-8");
    std::vector<std::string> failures;
    for (int n = 0; n < count; ++n) {
        const std::string pattern = make_pattern();
        const char* flags = n % 2 ? "E" : "";
        pid_t child = fork();
        if (child < 0) return {"fork failed"};
        if (child == 0) compile_in_child(pattern, flags);
        int status = 0;
        if (waitpid(child, &status, 0) != child) return {"waitpid failed"};
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            failures.push_back(std::string(flags) + " " + pattern + ": " + outcome(status));
    }
    return failures;
}

std::string listed(const std::vector<std::string>& failures) {
    std::string list;
    for (const std::string& failure : failures) list += "\n  " + failure;
    return list;
}

TEST(CompileFuzz, ShortPatternsAnswerSoonWithinMemory) {
    std::mt19937 random(20261210);  // fixed, so that a failure repeats
    auto failures = run_patterns(20000, [&] {
        std::string pattern;
        const std::size_t length = 1 + random() % 10;
        for (std::size_t k = 0; k < length; ++k) pattern += ALPHABET[random() % ALPHABET.size()];
        return pattern;
    });
    EXPECT_TRUE(failures.empty()) << failures.size() << " patterns failed:" << listed(failures);
}

TEST(CompileFuzz, NestedBoundsAnswerSoonWithinMemory) {
    std::mt19937 random(20261211);
    auto failures = run_patterns(4000, [&] {
        std::string pattern;
        const std::size_t length = 2 + random() % 8;
        for (std::size_t k = 0; k < length; ++k) {
            if (random() % 3 == 0)
                pattern += BOUNDS[random() % BOUNDS.size()];
            else
                pattern += ALPHABET[random() % ALPHABET.size()];
        }
        return pattern;
    });
    EXPECT_TRUE(failures.empty()) << failures.size() << " patterns failed:" << listed(failures);
}

TEST(CompileFuzz, BackReferencesAnswerSoonWithoutCrashing) {
    std::mt19937 random(20261212);
    auto failures = run_patterns(1000, [&] {
        std::string pattern(REFERENCE_GROUPS[random() % REFERENCE_GROUPS.size()]);
        pattern += REFERENCES[random() % REFERENCES.size()];
        for (std::size_t k = random() % 4; k > 0; --k)
            pattern += REFERENCE_TAILS[random() % REFERENCE_TAILS.size()];
        return pattern;
    });
    EXPECT_TRUE(failures.empty()) << failures.size() << " patterns failed:" << listed(failures);
}

}  // namespace
}  // namespace brindlecap::shell
