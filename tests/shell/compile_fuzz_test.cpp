// Many short patterns made of the characters that steer TRE's parser, each
// compiled and searched in a child process with a memory limit and a time
// limit: a pattern of a few bytes that makes TRE loop or allocate without
// end shows up here as a failure naming it.
#include "pattern.h"
#include "search.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <clocale>
#include <cstdint>
#include <fstream>
#include <random>
#include <string>
#include <variant>
#include <vector>

namespace brindlecap::shell {
namespace {

constexpr std::string_view ALPHABET = "\\(){}[]|*+?a0,";
constexpr unsigned SECONDS_PER_PATTERN = 10;          // generous, for the sanitizers
constexpr std::uint64_t BYTES_PER_PATTERN = 256u << 20;  // far above what any of them needs
constexpr int OUT_OF_MEMORY = 3;

// The data segment already in use (the sanitizers reserve a lot of it at
// start), so that the limit counts only what the compile adds.
std::uint64_t data_in_use() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        std::uint64_t kib = 0;
        if (key == "VmData:" && status >> kib) return kib * 1024;
    }
    return 0;
}

// Child: limit memory and time, compile, search a short line; exit 0 when
// it answered without running out of memory.
[[noreturn]] void compile_in_child(const std::string& pattern, const char* flags) {
    rlimit data{};
    data.rlim_cur = data.rlim_max = data_in_use() + BYTES_PER_PATTERN;
    setrlimit(RLIMIT_DATA, &data);
    alarm(SECONDS_PER_PATTERN);
    auto compiled = compile_regex(pattern, flags);
    if (auto* message = std::get_if<std::string>(&compiled)) {
        _exit(message->find("error code 12 ") != std::string::npos ? OUT_OF_MEMORY : 0);
    }
    find_text_matches(*std::get<CompiledPattern>(compiled), "a\\(0){a,}[|*]+?aa\n\\)");
    _exit(0);
}

std::string outcome(int status) {
    if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
    if (WEXITSTATUS(status) == OUT_OF_MEMORY) return "out of memory";
    return "exit " + std::to_string(WEXITSTATUS(status));
}

TEST(CompileFuzz, ShortPatternsAnswerSoonWithinMemory) {
    std::setlocale(LC_ALL, "C.UTF-8");
    std::mt19937 random(20261210);  // fixed, so that a failure repeats
    std::vector<std::string> failures;
    for (int n = 0; n < 20000; ++n) {
        std::string pattern;
        const std::size_t length = 1 + random() % 10;
        for (std::size_t k = 0; k < length; ++k) pattern += ALPHABET[random() % ALPHABET.size()];
        const char* flags = n % 2 ? "E" : "";
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) compile_in_child(pattern, flags);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            failures.push_back(std::string(flags) + " " + pattern + ": " + outcome(status));
    }
    std::string list;
    for (const std::string& failure : failures) list += "\n  " + failure;
    EXPECT_TRUE(failures.empty()) << failures.size() << " patterns failed:" << list;
}

}  // namespace
}  // namespace brindlecap::shell
