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
#ifndef BRINDLECAP_SANITIZE
// Above the engine's compile budget (1 GiB of address space), so that
// reaching it means an allocation got past the budget.
constexpr std::uint64_t BYTES_PER_PATTERN = std::uint64_t{3} << 29;
// What a request may add to the peak resident size, compile and search
// together: the compile budget and a little more.
constexpr std::uint64_t ANSWER_BYTES = std::uint64_t{5} << 28;
#else
// The sanitizers' allocator maps inside address space it reserved at start,
// where the budget does not bind, and takes more for each block: here the
// limits only catch what grows without end.
constexpr std::uint64_t BYTES_PER_PATTERN = std::uint64_t{4} << 30;
constexpr std::uint64_t ANSWER_BYTES = std::uint64_t{4} << 30;
#endif
// TRE's matcher takes its working space from the stack, in proportion to the
// states; the engine runs it on a large stack, the child needs one too.
constexpr rlim_t STACK_BYTES = rlim_t{64} << 20;
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
// it answered within what a request may take (an answer of code 12 too:
// TRE gave up within the budget).
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
    if (std::holds_alternative<CompiledPattern>(compiled))
        find_text_matches(*std::get<CompiledPattern>(compiled), "a\\(0){a,}[|*]+?aa\n\\)");
    _exit(status_bytes("VmHWM:") - resident > ANSWER_BYTES ? TOO_MUCH_MEMORY : 0);
}

std::string outcome(int status) {
    if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
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

// Patterns that once were refused though TRE compiles them quickly, or let
// through though TRE took gigabytes or seconds, or ended the engine.
std::vector<std::string> seed_patterns() {
    std::string keywords;
    for (int i = 1; i <= 900; ++i) keywords += (i > 1 ? "|k" : "k") + std::to_string(i);
    std::vector<std::string> seeds = {
        "^([^,]{0,255},){0,30}",
        "([a-z0-9-]{1,63}\\.){1,255}[a-z]{2,63}",
        "^(\\s*[A-Za-z_][A-Za-z0-9_]{0,63}\\s*=\\s*[^;]{0,255};){1,25}",
        "(\"[^\"]{0,255}\",?){1,50}",
        "([^ ]{1,255} ){1,40}",
        "(\\w{1,64}\\s){1,200}",
        "((" + keywords + ") ?){1,3}",
        "((a*a*){0,255~1})*",
        "(a)((a*){2,}){0,255~1}",
        "((a*){64}){0,255~1}",
        "(|){255}{0,255~1}",
        "(||||){255}{255}",
        "(||||){255}{255~1}",
        "((a{255}){255}){255}",
        "{100})K{255}{0,255#1}",
        "((\\(\\)){255}){255}",
        "a{~1}{2~1}",
    };
#ifndef BRINDLECAP_SANITIZE
    // TRE compiles these into more than the budget, which binds only in a
    // plain build.
    for (int groups : {900, 1200}) {
        std::string optional;
        for (int i = 1; i <= groups; ++i) optional += "(w" + std::to_string(i) + ")?";
        seeds.push_back(optional + "x{2}");
    }
#endif
    return seeds;
}

TEST(CompileFuzz, SeedsAnswerSoonWithinMemory) {
    std::vector<std::string> seeds = seed_patterns();
    std::size_t next = 0;
    // Each seed in both syntaxes by turns: twice over.
    auto failures =
        run_patterns(static_cast<int>(2 * seeds.size()), [&] { return seeds[next++ / 2]; });
    EXPECT_TRUE(failures.empty()) << failures.size() << " patterns failed:" << listed(failures);
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
