// Interpreter discovery, case by case, against scratch directories.
#include "fixture.h"

#include "engines/interpreter/locate.h"
#include "tests/support/tables.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

using brindlecap::test::CwdGuard;
using brindlecap::test::EnvGuard;
using brindlecap::test::TempDir;

struct LocateCase {
    brindlecap::test::BlockCase block;
    std::vector<std::vector<std::string>> steps;  // directive and its words
};

void PrintTo(const LocateCase& c, std::ostream* os) { brindlecap::test::PrintTo(c.block, os); }

std::vector<LocateCase> load_locate_cases() {
    std::vector<LocateCase> cases;
    for (brindlecap::test::BlockCase& block : brindlecap::test::load_block_cases(LOCATE_CASES)) {
        LocateCase c{std::move(block), {}};
        for (const brindlecap::test::DataLine& directive : c.block.directives) {
            const std::string& raw = directive.text;
            std::vector<std::string> words;
            std::size_t start = 0;
            // env values may hold blanks: only the first one splits.
            std::size_t limit = raw.starts_with("env ") || raw.starts_with("expect ") ? 1 : 2;
            while (words.size() < limit) {
                std::size_t space = raw.find(' ', start);
                if (space == std::string::npos) {
                    break;
                }
                words.push_back(raw.substr(start, space - start));
                start = space + 1;
            }
            words.push_back(raw.substr(start));
            c.steps.push_back(std::move(words));
        }
        cases.push_back(std::move(c));
    }
    return cases;
}

class LocateCases : public ::testing::TestWithParam<LocateCase> {};

TEST_P(LocateCases, Case) {
    const LocateCase& c = GetParam();
    SCOPED_TRACE(brindlecap::test::where(c.block.file, c.block.line) + ": " + c.block.name);
    TempDir dir;
    const std::string& t = dir.path();
    const auto expand = [&t](const std::string& text) {
        return brindlecap::test::unescape(brindlecap::test::expand_variables(text, {{"T", t}}));
    };
    const std::string fixed1 = t + "/fixed1/fakeinterp";
    const std::string fixed2 = t + "/fixed2/fakeinterp";
    const brindlecap::interpreter::InterpreterSpec spec{
        "BRINDLECAP_TEST_BIN", "fakeinterp", {fixed1, fixed2}, "unused"};

    EnvGuard env;
    env.unset("BRINDLECAP_TEST_BIN");
    env.set("PATH", t + "/nowhere");
    env.set("HOME", t + "/home");
    std::optional<std::string> expected;
    for (const auto& step : c.steps) {
        const std::string& what = step[0];
        if (what == "file") {
            brindlecap::test::write_file(dir / expand(step[1]), "#!/bin/sh\n",
                                         step[2] == "exec" ? 0755 : 0644);
        } else if (what == "dir") {
            std::filesystem::create_directories(dir / expand(step[1]));
        } else if (what == "link") {
            const std::string link = dir / expand(step[1]);
            std::filesystem::create_directories(std::filesystem::path(link).parent_path());
            std::filesystem::create_symlink(expand(step[2]), link);
        } else if (what == "env") {
            const std::string assignment = expand(step[1]);
            const std::size_t eq = assignment.find('=');
            env.set(assignment.substr(0, eq), assignment.substr(eq + 1));
        } else if (what == "unset") {
            env.unset(step[1]);
        } else if (what == "expect") {
            if (step[1] != "none") {
                expected = expand(step[1]);
            }
        } else {
            FAIL() << "unknown directive " << what;
        }
    }
    CwdGuard cwd(t);
    EXPECT_EQ(brindlecap::interpreter::locate_interpreter(spec), expected);
}

INSTANTIATE_TEST_SUITE_P(File, LocateCases, ::testing::ValuesIn(load_locate_cases()),
                         [](const ::testing::TestParamInfo<LocateCase>& info) {
                             return brindlecap::test::case_test_name(info.param.block.line,
                                                                     info.param.block.name);
                         });

// The real Rscript, where the test machine has it on PATH.
TEST(FindRscript, FindsTheInstalledRscriptOnPath) {
    if (!brindlecap::interpreter::is_executable_file("/usr/bin/Rscript")) {
        GTEST_SKIP() << "no /usr/bin/Rscript";
    }
    EnvGuard env;
    env.unset("BRINDLECAP_R_BIN");
    env.set("PATH", "/nonexistent-dir:/usr/bin");
    EXPECT_EQ(brindlecap::interpreter::find_rscript(),
              std::optional<std::string>("/usr/bin/Rscript"));
}

}  // namespace
