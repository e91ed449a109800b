// brindlecap-r-engine end to end: against the real Rscript, and against
// stand-ins for it laid out in a scratch directory.
#include "e2e.h"
#include "fixture.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

namespace fs = std::filesystem;
using brindlecap::test::Case;

BRINDLECAP_CASE_FILE_TESTS(RealRCases, PROGRAM, REAL_R_CASES);

// One scratch directory per test process; each case lays it out anew, since
// a stand-in may remove itself.
const brindlecap::test::TempDir scratch;

void lay_out_fixtures(const std::string& dir) {
    for (const auto& entry : fs::directory_iterator(dir)) {
        fs::remove_all(entry.path());
    }
    for (const char* name : {"fake-r", "echo-program", "remove-self", "kill-self"}) {
        fs::copy_file(fs::path(FIXTURES) / name, fs::path(dir) / name);
        fs::permissions(fs::path(dir) / name, fs::perms(0755));
    }
    fs::create_directories(fs::path(dir) / "path");
    fs::copy_file(fs::path(FIXTURES) / "fake-r", fs::path(dir) / "path" / "Rscript");
    fs::permissions(fs::path(dir) / "path" / "Rscript", fs::perms(0755));
    fs::copy_file(fs::path(FIXTURES) / "fake-r", fs::path(dir) / "noexec-r");
    fs::permissions(fs::path(dir) / "noexec-r", fs::perms(0644));
    fs::create_directories(fs::path(dir) / "empty");
}

bool rscript_at_a_fixed_path() {
    return fs::exists("/opt/homebrew/bin/Rscript") || fs::exists("/usr/local/bin/Rscript");
}

class FakeRCases : public ::testing::TestWithParam<Case> {};

TEST_P(FakeRCases, Case) {
    const Case& c = GetParam();
    if (c.name.starts_with("not found") && rscript_at_a_fixed_path()) {
        GTEST_SKIP() << "Rscript is installed at a fixed path";
    }
    lay_out_fixtures(scratch.path());
    brindlecap::test::expect_case(PROGRAM, c);
}

INSTANTIATE_TEST_SUITE_P(File, FakeRCases,
                         ::testing::ValuesIn(brindlecap::test::load_cases(FAKE_R_CASES,
                                                                          {{"DIR", scratch.path()}})),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             return brindlecap::test::case_test_name(info.param);
                         });

// Positions of a round size must come out as integers, not as 1e+05.
TEST(RealR, ReportsMatchesAtRoundPositions) {
    brindlecap::test::RunOptions options;
    options.env_unset.push_back("BRINDLECAP_R_BIN");
    const std::string text = std::string(100000, 'x') + "ab" + std::string(99998, 'x') + "ab";
    options.stdin_bytes = R"({"op":"test","pattern":"ab","text":")" + text + "\"}\n";
    const auto result = brindlecap::test::run_program(PROGRAM, options);
    EXPECT_EQ(result.out,
              R"({"matches":[{"captures":[],"groups":{},"index":100000,"match":"ab"},)"
              R"({"captures":[],"groups":{},"index":200000,"match":"ab"}],"status":"ok"})"
              "\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exit_status, 0);
}

// R reads its input in pieces of 4095 bytes and drops the rest of a piece
// after two NULs in a row. Values built to end a piece just after the
// backslash of an escaped quotation mark, were they written as one literal,
// must reach R as data, at every offset around the end of the first piece.
TEST(RealR, ValuesAroundRsInputPiecesStayData) {
    // Prints a forged match line, were it ever run as code.
    const std::string payload = ";cat(intToUtf8(c(35,10,48,9,49,9,80,87,78,69,68,10)));q();#";
    brindlecap::test::RunOptions options;
    options.env_unset.push_back("BRINDLECAP_R_BIN");
    std::string expected;
    for (int k = 4082; k < 4092; ++k) {
        for (const char* lead : {R"(\u0000\u0000)", R"(\\)", "y"}) {
            options.stdin_bytes += std::string(R"({"op":"test","pattern":"zzz","text":")") + lead +
                                   std::string(static_cast<std::size_t>(k), 'y') + "\\\"" + payload + "\"}\n";
            expected += R"({"matches":[],"status":"ok"})" "\n";
        }
    }
    const auto result = brindlecap::test::run_program(PROGRAM, options);
    EXPECT_EQ(result.out, expected);
    EXPECT_EQ(result.err, "");
}

}  // namespace
