// The launcher core's path rules and child arguments, and the flavour
// steps on small trees in a temporary directory.
#include "launchers/flavours.h"
#include "launchers/launcher_core.h"
#include "tests/support/tables.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

struct PathCase {
    brindlecap::test::TabRow row;  // function, inputs..., expected
};

void PrintTo(const PathCase& c, std::ostream* out) { *out << c.row.where; }

std::vector<PathCase> load_path_cases() {
    std::vector<PathCase> cases;
    for (brindlecap::test::TabRow& row : brindlecap::test::load_tab_rows(PATH_CASES)) {
        cases.push_back({std::move(row)});
    }
    return cases;
}

std::string shown(const std::optional<std::string>& value) { return value ? *value : "(none)"; }

class PathRules : public ::testing::TestWithParam<PathCase> {};

TEST_P(PathRules, Case) {
    const std::vector<std::string>& f = GetParam().row.fields;
    SCOPED_TRACE(GetParam().row.where);
    if (f[0] == "parent" && f.size() == 3) {
        EXPECT_EQ(shown(brindlecap::launcher::parent_dir(f[1])), f[2]);
    } else if (f[0] == "last" && f.size() == 3) {
        EXPECT_EQ(shown(brindlecap::launcher::last_component(f[1])), f[2]);
    } else {
        FAIL() << "malformed case";
    }
}

INSTANTIATE_TEST_SUITE_P(File, PathRules, ::testing::ValuesIn(load_path_cases()),
                         [](const ::testing::TestParamInfo<PathCase>& info) {
                             return brindlecap::test::case_test_name(info.param.row.line,
                                                                     info.param.row.fields[0]);
                         });

// The triple names directories and file suffixes in every candidate table and
// the PHP message; the trees below take it from the build, so pin it here.
TEST(TargetTriple, IsTheTripleOfTheBuild) {
#if defined(__linux__) && defined(__x86_64__)
    EXPECT_EQ(brindlecap::launcher::TARGET_TRIPLE, "x86_64-unknown-linux-gnu");
#elif defined(__APPLE__) && defined(__x86_64__)
    EXPECT_EQ(brindlecap::launcher::TARGET_TRIPLE, "x86_64-apple-darwin");
#else
    GTEST_SKIP() << "no fixed triple for this platform";
#endif
}

TEST(ChildArguments, OrderIsInterpreterExtraScriptThenLauncherArguments) {
    char program[] = "launcher", empty[] = "", dash[] = "-x", bytes[] = "\xff";
    char* argv[] = {program, empty, dash, bytes, nullptr};
    const std::vector<std::string> args = brindlecap::launcher::launcher_arguments(4, argv);
    const std::vector<std::string> expected = {"/i", "-Ia", "-Ib", "/s", "", "-x", "\xff"};
    EXPECT_EQ(brindlecap::launcher::child_argv("/i", {"-Ia", "-Ib"}, "/s", args), expected);
    // A null entry before the count ends the list.
    char* short_argv[] = {program, dash, nullptr, bytes};
    EXPECT_EQ(brindlecap::launcher::launcher_arguments(4, short_argv),
              std::vector<std::string>{"-x"});
}

TEST(OwnPath, RealpathFailureKeepsTheRawPath) {
    const brindlecap::test::TempDir scratch("brindlecap-launcher-unit");
    const fs::path dir = scratch.path();
    const std::string gone = (dir / "removed" / "brindlecap-php-engine").string();
    EXPECT_EQ(brindlecap::launcher::resolve_real_path(gone), gone);
    fs::create_directories(dir / "real");
    fs::create_symlink(dir / "real", dir / "link");
    EXPECT_EQ(brindlecap::launcher::resolve_real_path((dir / "link" / ".." / "link").string()),
              (dir / "real").string());
}

TEST(OwnPath, RunningTestBinaryResolvesToItsDirectory) {
    const brindlecap::launcher::TextResult dir = brindlecap::launcher::resolve_launcher_dir();
    ASSERT_TRUE(dir.value) << dir.error;
    EXPECT_EQ(*dir.value, fs::canonical("/proc/self/exe").parent_path().string());
}

TEST(PythonHome, PrefixAboveBinWhenItHoldsALibDirectory) {
    const brindlecap::test::TempDir scratch("brindlecap-launcher-unit");
    const fs::path dir = scratch.path();
    const fs::path prefix = dir / "x" / ".." / "p";
    fs::create_directories(dir / "p" / "bin");
    fs::create_directories(dir / "x");
    EXPECT_EQ(brindlecap::launcher::python_home_for((prefix / "bin" / "python3").string()),
              std::nullopt);
    fs::create_directories(dir / "p" / "lib");
    EXPECT_EQ(brindlecap::launcher::python_home_for((prefix / "bin" / "python3").string()),
              prefix.string());
    // "bin" is compared byte for byte.
    fs::create_directories(dir / "p" / "BIN");
    EXPECT_EQ(brindlecap::launcher::python_home_for((prefix / "BIN" / "python3").string()),
              std::nullopt);
    EXPECT_EQ(brindlecap::launcher::python_home_for("python3"), std::nullopt);
}

TEST(PerlLibrary, FirstPlaceWithAnEntryNamedStrictPm) {
    const brindlecap::test::TempDir scratch("brindlecap-launcher-unit");
    const fs::path dir = scratch.path();
    const fs::path d = dir / "a" / "b" / "MacOS";
    fs::create_directories(d);
    EXPECT_EQ(brindlecap::launcher::find_perl_lib_dir(d.string()), std::nullopt);
    const std::string third = d.string() + "/../Resources/_up_/sidecars/perl/lib";
    const std::string fifth = d.string() + "/../../../src-tauri/resources/sidecars/perl/lib";
    fs::create_directories(fifth);
    std::ofstream(fifth + "/strict.pm") << "1;\n";
    EXPECT_EQ(brindlecap::launcher::find_perl_lib_dir(d.string()), fifth);
    fs::create_directories(third);
    // A fifo is no file Perl could load, but it marks the place all the same.
    ASSERT_EQ(mkfifo((third + "/strict.pm").c_str(), 0644), 0);
    EXPECT_EQ(brindlecap::launcher::find_perl_lib_dir(d.string()), third);
}

}  // namespace
