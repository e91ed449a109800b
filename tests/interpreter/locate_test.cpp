// Interpreter discovery, case by case, against scratch directories.
#include "e2e.h"
#include "fixture.h"
#include "interpreter.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

using brindlecap::test::CwdGuard;
using brindlecap::test::EnvGuard;
using brindlecap::test::TempDir;
using brindlecap::test::unescape;

struct LocateCase {
    std::string name;
    int line = 0;
    std::vector<std::vector<std::string>> steps;  // directive and its words
};

void PrintTo(const LocateCase& c, std::ostream* os) { *os << c.name; }

std::vector<LocateCase> load_locate_cases() {
    std::ifstream file(LOCATE_CASES, std::ios::binary);
    std::vector<LocateCase> cases;
    std::string raw;
    int number = 0;
    while (std::getline(file, raw)) {
        ++number;
        if (raw.empty() || raw[0] == '#') {
            continue;
        }
        if (raw.starts_with("=== ")) {
            cases.push_back({raw.substr(4), number, {}});
            continue;
        }
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
        cases.back().steps.push_back(std::move(words));
    }
    return cases;
}

std::string expand(const std::string& text, const std::string& root) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        if (text.compare(i, 4, "${T}") == 0) {
            out += root;
            i += 4;
        } else {
            out += text[i++];
        }
    }
    return unescape(out);
}

class LocateCases : public ::testing::TestWithParam<LocateCase> {};

TEST_P(LocateCases, Case) {
    const LocateCase& c = GetParam();
    SCOPED_TRACE(std::string(LOCATE_CASES) + ":" + std::to_string(c.line) + ": " + c.name);
    TempDir dir;
    const std::string& t = dir.path();
    const std::string fixed1 = t + "/fixed1/fakeinterp";
    const std::string fixed2 = t + "/fixed2/fakeinterp";
    const brindlecap::InterpreterSpec spec{"BRINDLECAP_TEST_BIN", "fakeinterp", {fixed1, fixed2}, "unused"};

    EnvGuard env;
    env.unset("BRINDLECAP_TEST_BIN");
    env.set("PATH", t + "/nowhere");
    env.set("HOME", t + "/home");
    std::optional<std::string> expected;
    for (const auto& step : c.steps) {
        const std::string& what = step[0];
        if (what == "file") {
            brindlecap::test::write_file(dir / expand(step[1], t), "#!/bin/sh\n",
                                         step[2] == "exec" ? 0755 : 0644);
        } else if (what == "dir") {
            std::filesystem::create_directories(dir / expand(step[1], t));
        } else if (what == "link") {
            const std::string link = dir / expand(step[1], t);
            std::filesystem::create_directories(std::filesystem::path(link).parent_path());
            std::filesystem::create_symlink(expand(step[2], t), link);
        } else if (what == "env") {
            const std::string assignment = expand(step[1], t);
            const std::size_t eq = assignment.find('=');
            env.set(assignment.substr(0, eq), assignment.substr(eq + 1));
        } else if (what == "unset") {
            env.unset(step[1]);
        } else if (what == "expect") {
            if (step[1] != "none") {
                expected = expand(step[1], t);
            }
        } else {
            FAIL() << "unknown directive " << what;
        }
    }
    CwdGuard cwd(t);
    EXPECT_EQ(brindlecap::locate_interpreter(spec), expected);
}

INSTANTIATE_TEST_SUITE_P(File, LocateCases, ::testing::ValuesIn(load_locate_cases()),
                         [](const ::testing::TestParamInfo<LocateCase>& info) {
                             std::string name;
                             for (char ch : info.param.name) {
                                 name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
                             }
                             return name + "_" + std::to_string(info.param.line);
                         });

// The real Rscript, where the test machine has it on PATH.
TEST(FindRscript, FindsTheInstalledRscriptOnPath) {
    if (!brindlecap::is_executable_file("/usr/bin/Rscript")) {
        GTEST_SKIP() << "no /usr/bin/Rscript";
    }
    EnvGuard env;
    env.unset("BRINDLECAP_R_BIN");
    env.set("PATH", "/nonexistent-dir:/usr/bin");
    EXPECT_EQ(brindlecap::find_rscript(), std::optional<std::string>("/usr/bin/Rscript"));
}

}  // namespace
