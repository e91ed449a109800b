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

TEST(ShellLarge, PatternWhoseMatcherNeedsMoreThanTheUsualStack) {
#ifdef BRINDLECAP_SANITIZE
    GTEST_SKIP() << "needs about 2 GB of heap, several times that under the sanitizers";
#endif
    // TRE's matcher takes stack in proportion to the pattern's size squared;
    // this one overflows an 8 MiB stack.
    std::string pattern;
    for (int i = 0; i < 1000; ++i) pattern += "(a)*";
    auto result = run(R"({"pattern":")" + pattern +
                          R"(","flags":"E","text":"a"})"
                          "\n",
                      "C.UTF-8");
    EXPECT_EQ(result.out,
              R"({"matches":[{"captures":[],"groups":{},"index":0,"match":"a"}],"status":"ok"})"
              "\n");
    EXPECT_EQ(result.term_signal, 0);
    EXPECT_EQ(result.exit_status, 0);
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
