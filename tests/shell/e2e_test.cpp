// The engine run as a child process: the case tables in both locales, and
// requests too large to keep in a table.
#include "tests/support/e2e.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <utility>

namespace {

using brindlecap::test::Case;

std::vector<Case> cases_in(const char* file, const char* locale) {
    return brindlecap::test::load_cases(std::string(CASE_DIR) + "/" + file, {{"LOCALE", locale}});
}

class ShellCases : public ::testing::TestWithParam<Case> {};
TEST_P(ShellCases, Case) { brindlecap::test::expect_case(PROGRAM, GetParam()); }

auto case_name = [](const ::testing::TestParamInfo<Case>& info) {
    return brindlecap::test::case_test_name(info.param);
};

INSTANTIATE_TEST_SUITE_P(Bytes, ShellCases, ::testing::ValuesIn(cases_in("cases.txt", "C")),
                         case_name);
INSTANTIATE_TEST_SUITE_P(Utf8, ShellCases, ::testing::ValuesIn(cases_in("cases.txt", "C.UTF-8")),
                         case_name);
INSTANTIATE_TEST_SUITE_P(BytesOnly, ShellCases,
                         ::testing::ValuesIn(cases_in("cases-bytes.txt", "C")), case_name);
INSTANTIATE_TEST_SUITE_P(Utf8Only, ShellCases,
                         ::testing::ValuesIn(cases_in("cases-multibyte.txt", "C.UTF-8")),
                         case_name);
INSTANTIATE_TEST_SUITE_P(BackReferences, ShellCases,
                         ::testing::ValuesIn(cases_in("cases-back-references.txt", "C.UTF-8")),
                         case_name);

// The full path of a program found on PATH; empty when there is none.
std::string on_path(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::istringstream directories(path ? path : "");
    std::string directory;
    while (std::getline(directories, directory, ':')) {
        const std::string candidate = directory + "/" + name;
        if (!directory.empty() && access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "";
}

TEST(ShellMemory, BackReferencesOverMultibyteLinesReadOnlyTheEnginesBytes) {
#ifdef BRINDLECAP_SANITIZE
    GTEST_SKIP() << "valgrind does not run programs built with the sanitizers";
#endif
    const std::string valgrind = on_path("valgrind");
    if (valgrind.empty()) GTEST_SKIP() << "valgrind is not installed";
    // Only reads outside any buffer count: the JSON parser's vector code
    // looks at bytes it has not set, by design.
    for (Case c : cases_in("cases-back-references.txt", "C.UTF-8")) {
        c.options.args = {"-q", "--undef-value-errors=no", "--error-exitcode=99", PROGRAM};
        brindlecap::test::expect_case(valgrind, c);
    }
}

// Multibyte locales other than UTF-8, built from glibc's sources into a
// fresh directory: Shift_JIS, in which some ASCII bytes are other
// characters, and EUC-JP, in which some UTF-8 text is no characters at all.
TEST(ShellLocale, JapaneseEncodingsAreSearchedAsTheLocaleReadsThem) {
    const std::string localedef = on_path("localedef");
    if (localedef.empty()) GTEST_SKIP() << "localedef is not installed";
    brindlecap::test::TempDir locales("brindlecap-locales");
    const std::pair<const char*, const char*> charmaps_and_names[] = {{"SHIFT_JIS", "ja_JP.SJIS"},
                                                                      {"EUC-JP", "ja_JP.EUC-JP"}};
    for (const auto& [charmap, name] : charmaps_and_names) {
        brindlecap::test::RunOptions options;
        options.args = {"--no-warnings=ascii", "-i", "ja_JP", "-f", charmap, locales / name};
        const auto made = brindlecap::test::run_program(localedef, options);
        if (made.exit_status != 0)
            GTEST_SKIP() << "cannot build " << name
                         << " (the locales package has its sources): " << made.err;
    }
    for (const Case& c : brindlecap::test::load_cases(std::string(CASE_DIR) + "/cases-japanese.txt",
                                                      {{"LOCPATH", locales.path()}}))
        brindlecap::test::expect_case(PROGRAM, c);
}

brindlecap::test::RunResult run(const std::string& input, const char* locale) {
    brindlecap::test::RunOptions options;
    options.env_set = {{"LC_ALL", locale}};
    options.stdin_bytes = input;
    return brindlecap::test::run_program(PROGRAM, options);
}

TEST(ShellLarge, MillionNestedCaseSegmentsGetOneAnswer) {
    std::string upper;
    for (int i = 0; i < 1000000; ++i) upper += "\\\\U";
    std::string alternating;
    for (int i = 0; i < 1000000; ++i) alternating += "\\\\L\\\\U";
    // A long match as well: levels without text of their own must not each
    // map it again.
    const std::string long_b(100000, 'b'), long_B(100000, 'B');
    std::string input = R"({"op":"replace","pattern":"b","text":"abc","replacement":")" + upper +
                        "&\"}\n" + R"({"op":"replace","pattern":"b","text":"abc","replacement":")" +
                        alternating + "&x\"}\n" +
                        R"({"op":"replace","pattern":"b+","flags":"E","text":"a)" + long_b +
                        R"(c","replacement":")" + upper + "&\"}\n" +
                        R"({"op":"replace","pattern":"b+","flags":"E","text":"a)" + long_b +
                        R"(c","replacement":"\\U)" + alternating + "&\"}\n" +
                        R"({"op":"test","pattern":"a","text":"a"})" + "\n";
    auto result = run(input, "C.UTF-8");
    EXPECT_EQ(result.out,
              R"({"replacements":[[1,2,"B"]],"result":"aBc","status":"ok_replace"})"
              "\n"
              R"({"replacements":[[1,2,"bx"]],"result":"abxc","status":"ok_replace"})"
              "\n"
              R"({"replacements":[[1,100001,")" +
                  long_B + R"("]],"result":"a)" + long_B + R"(c","status":"ok_replace"})" + "\n" +
                  R"({"replacements":[[1,100001,")" + long_B + R"("]],"result":"a)" + long_B +
                  R"(c","status":"ok_replace"})" + "\n" +
                  R"({"matches":[{"captures":[],"groups":{},"index":0,"match":"a"}],"status":"ok"})"
                  "\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exit_status, 0);
}

TEST(ShellLarge, RefusedNestingIsAnsweredAndTheLoopGoesOn) {
    std::string many;
    for (int i = 0; i < 100000; ++i) many += "\\\\U&\\\\L&";
    std::string input = R"({"op":"replace","pattern":"b","text":"abc","replacement":")" + many +
                        "\"}\n" + R"({"op":"test","pattern":"a","text":"a"})" + "\n";
    auto result = run(input, "C");
    EXPECT_EQ(result.out,
              R"({"message":"replacement error: \\L and \\U nested too deeply","status":"error"})"
              "\n"
              R"({"matches":[{"captures":[],"groups":{},"index":0,"match":"a"}],"status":"ok"})"
              "\n");
    EXPECT_EQ(result.exit_status, 0);
}

TEST(ShellLarge, EmptyMatchesAtTheEndOfALongLineAreFoundOnce) {
    // Each search from a later byte would find the same empty match at the
    // line's end again; stepping a byte at a time would take hours here.
    const std::string line(1 << 20, 'a');
    std::string input;
    for (const char* pattern : {"$", "b*$", "(x|y)?$"})
        input += R"({"pattern":")" + std::string(pattern) + R"(","flags":"E","text":")" + line +
                 "b\\n" + line + R"("})" + "\n";
    for (const char* locale : {"C", "C.UTF-8"}) {
        auto result = run(input, locale);
        EXPECT_EQ(
            result.out,
            R"({"matches":[],"status":"ok"})"
            "\n"
            R"({"matches":[{"captures":[],"groups":{},"index":1048576,"match":"b"}],"status":"ok"})"
            "\n"
            R"({"matches":[],"status":"ok"})"
            "\n")
            << locale;
        EXPECT_EQ(result.exit_status, 0);
    }
}

// 25,600 states and 300 tags: TRE's matcher takes about 60 MiB of stack
// before it reads the text; it matches c.
std::string large_matcher_pattern() {
    std::string pattern = "(a{255}){100}";
    for (int i = 0; i < 150; ++i) pattern += "(b)*";
    return pattern + "|c";
}

std::string request(const std::string& pattern, const std::string& flags, const std::string& text) {
    return R"({"pattern":")" + pattern + R"(","flags":")" + flags + R"(","text":")" + text +
           R"("})" + "\n";
}

std::string matched(const std::string& text) {
    return R"({"matches":[{"captures":[],"groups":{},"index":0,"match":")" + text +
           R"("}],"status":"ok"})" + "\n";
}

std::string out_of_memory(const std::string& pattern) {
    return R"({"message":"compile error: TRE compile error code 12 (pattern=)" + pattern +
           R"x()","status":"error"})x" + "\n";
}

TEST(ShellLarge, PatternWhoseMatcherNeedsMoreThanTheUsualStack) {
    auto result = run(request(large_matcher_pattern(), "E", "c"), "C.UTF-8");
    EXPECT_EQ(result.out, matched("c"));
    EXPECT_EQ(result.term_signal, 0);
    EXPECT_EQ(result.exit_status, 0);
}

// Patterns that TRE compiles only into more than the compile budget are
// answered out of memory once TRE's allocations fail, and the loop goes on.
TEST(ShellLarge, PatternsBeyondTheCompileBudgetAreOutOfMemory) {
#ifdef BRINDLECAP_SANITIZE
    GTEST_SKIP() << "the sanitizers' allocator maps inside address space it reserved at start";
#endif
    std::string input;
    std::string expected;
    for (int groups : {900, 1200}) {
        std::string pattern;
        for (int i = 1; i <= groups; ++i) pattern += "(w" + std::to_string(i) + ")?";
        pattern += "x{2}";
        input += request(pattern, "E", "w1w2xx");
        expected += out_of_memory(pattern);
    }
    input += request("a", "", "a");
    expected += matched("a");
    auto result = run(input, "C.UTF-8");
    EXPECT_EQ(result.out, expected);
    EXPECT_EQ(result.exit_status, 0);
}

// Under an address-space limit the loop's stack and the compile budget fit
// inside what the host allows: what needs more is out of memory, nothing
// ends the engine.
TEST(ShellLarge, AddressSpaceLimitsOfTheHost) {
#ifdef BRINDLECAP_SANITIZE
    GTEST_SKIP() << "the sanitizers reserve terabytes of address space at start";
#endif
    const std::string large = large_matcher_pattern();
    struct Limit {
        int kib;
        bool large_matcher_fits;  // about 60 MiB of stack
        bool long_fields_fit;     // about 390 MiB to compile
        bool nested_fits;         // about 800 MiB to compile
    };
    for (Limit limit : {Limit{262144, false, false, false}, Limit{512000, true, false, false},
                        Limit{1048576, true, true, true}}) {
        SCOPED_TRACE("ulimit -v " + std::to_string(limit.kib));
        std::string input = request("{100})K{255}{0,255#1}", "E", "abab aab xyz") +
                            request("((\\\\(\\\\)){255}){255}", "Ei", "()") +
                            request(large, "E", "c") +
                            request("([^ ]{1,255} ){1,40}", "E", "a b c ") +
                            request("((a{255}){255}){20}", "E", "b") + request("a", "", "a");
        const std::string none = R"({"matches":[],"status":"ok"})"
                                 "\n";
        std::string expected =
            none + none + (limit.large_matcher_fits ? matched("c") : out_of_memory(large)) +
            (limit.long_fields_fit ? matched("a b c ") : out_of_memory("([^ ]{1,255} ){1,40}")) +
            (limit.nested_fits ? none : out_of_memory("((a{255}){255}){20}")) + matched("a");
        brindlecap::test::RunOptions options;
        options.env_set = {{"LC_ALL", "C.UTF-8"}};
        options.args = {"-c", "ulimit -v " + std::to_string(limit.kib) + " && exec \"$0\"",
                        PROGRAM};
        options.stdin_bytes = input;
        auto result = brindlecap::test::run_program("/bin/sh", options);
        EXPECT_EQ(result.out, expected);
        EXPECT_EQ(result.term_signal, 0);
        EXPECT_EQ(result.exit_status, 0);
    }
}

TEST(ShellLarge, LongLineAcrossManyReads) {
    // A 3 MB line with a match at each end: the loop collects it whole.
    std::string text = "x" + std::string(3 << 20, '.') + "y";
    std::string input = R"({"op":"replace","pattern":"x|y","flags":"E","text":")" + text +
                        R"(","replacement":"-"})" + "\n";
    auto result = run(input, "C");
    std::string middle = std::string(3 << 20, '.');
    std::string last = std::to_string(text.size() - 1);
    EXPECT_EQ(result.out, R"({"replacements":[[0,1,"-"],[)" + last + "," +
                              std::to_string(text.size()) + R"(,"-"]],"result":"-)" + middle +
                              R"(-","status":"ok_replace"})" + "\n");
    EXPECT_EQ(result.exit_status, 0);
}

}  // namespace
