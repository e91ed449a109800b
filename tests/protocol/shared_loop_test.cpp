// The shared loop's framing and faults, one table run against every program
// built on the loop: what they answer without matching must not differ.
#include "tests/support/e2e.h"
#include "tests/support/file_lock.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

using brindlecap::test::Case;

struct Engine {
    std::string label;  // names the tests
    std::string program;
    std::map<std::string, std::string> variables;
    std::vector<std::pair<std::string, std::string>> env;
    bool shares_dart_file = false;
};

struct EngineCase {
    const Engine* engine;
    Case c;
};

const std::string EMPTY_TEST = R"({"matches":[],"status":"ok"})";
const std::string EMPTY_REPLACE = R"({"replacements":[],"result":"","status":"ok_replace"})";

// How gtest shows a case: the engine, its place and name rather than its bytes.
[[maybe_unused]] void PrintTo(const EngineCase& c, std::ostream* os) {
    *os << c.engine->label << ": ";
    brindlecap::test::PrintTo(c.c, os);
}

std::map<std::string, std::string> engine_variables(const std::string& name) {
    return {{"PROGRAM_NAME", name}, {"EMPTY_TEST", EMPTY_TEST}, {"EMPTY_REPLACE", EMPTY_REPLACE}};
}

const std::vector<Engine>& engines() {
    static const std::vector<Engine> ENGINES = {
        {"echo",
         ECHO_ENGINE,
         {{"PROGRAM_NAME", "brindlecap-echo-engine"},
          {"EMPTY_TEST", R"({"flags":"","op":"test","pattern":"","status":"ok","text":""})"},
          {"EMPTY_REPLACE",
           R"({"flags":"","op":"replace","pattern":"","replacement":"","status":"ok","text":""})"}},
         {}},
        // The shell engine in both of its locale modes: bytes and multibyte.
        {"shell_bytes",
         SHELL_ENGINE,
         engine_variables("brindlecap-shell-engine"),
         {{"LC_ALL", "C"}}},
        {"shell_utf8",
         SHELL_ENGINE,
         engine_variables("brindlecap-shell-engine"),
         {{"LC_ALL", "C.UTF-8"}}},
        {"mysql", MYSQL_ENGINE, engine_variables("brindlecap-mysql-engine"), {}},
        {"r", R_ENGINE, engine_variables("brindlecap-r-engine"), {}},
        {"dart", DART_ENGINE, engine_variables("brindlecap-dart-engine"), {}, true},
    };
    return ENGINES;
}

std::vector<EngineCase> engine_cases() {
    std::vector<EngineCase> all;
    for (const Engine& engine : engines()) {
        for (Case& c : brindlecap::test::load_cases(CASES, engine.variables)) {
            for (const auto& setting : engine.env) c.options.env_set.push_back(setting);
            all.push_back({&engine, std::move(c)});
        }
    }
    return all;
}

class SharedLoopCases : public ::testing::TestWithParam<EngineCase> {};

TEST_P(SharedLoopCases, Case) {
    std::optional<brindlecap::test::FileLock> lock;
    if (GetParam().engine->shares_dart_file) lock.emplace(brindlecap::test::DART_PROGRAM_LOCK);
    brindlecap::test::expect_case(GetParam().engine->program, GetParam().c);
}

INSTANTIATE_TEST_SUITE_P(File, SharedLoopCases, ::testing::ValuesIn(engine_cases()),
                         [](const ::testing::TestParamInfo<EngineCase>& info) {
                             return info.param.engine->label + "_" +
                                    brindlecap::test::case_test_name(info.param.c);
                         });

}  // namespace
