// The process-wide interpreter cells. Each check runs in a forked child, so
// that it gets cells of its own however the tests are run.
#include "fixture.h"

#include "engines/interpreter/locate.h"
#include "engines/interpreter/run.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>
#include <functional>

namespace {

using brindlecap::test::TempDir;
using brindlecap::test::write_file;

// Runs `check` in a child process; its result becomes the child's exit code.
int in_child(const std::function<int()>& check) {
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::_exit(check());
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

bool fixed_dart_exists() {
    for (std::string_view path : brindlecap::interpreter::DART_SPEC.fixed_paths) {
        if (brindlecap::interpreter::is_regular_file(std::string(path))) {
            return true;
        }
    }
    return false;
}

TEST(InterpreterCell, KeepsTheFirstResultForTheWholeProcess) {
    TempDir dir;
    write_file(dir / "a/Rscript", "#!/bin/sh\n", 0755);
    write_file(dir / "b/Rscript", "#!/bin/sh\n", 0755);
    EXPECT_EQ(in_child([&] {
                  ::setenv("BRINDLECAP_R_BIN", (dir / "a/Rscript").c_str(), 1);
                  if (brindlecap::interpreter::rscript_path() != dir / "a/Rscript") return 1;
                  // Neither a new override nor the file's removal leads to a new search.
                  ::setenv("BRINDLECAP_R_BIN", (dir / "b/Rscript").c_str(), 1);
                  ::unlink((dir / "a/Rscript").c_str());
                  if (brindlecap::interpreter::rscript_path() != dir / "a/Rscript") return 2;
                  return 0;
              }),
              0);
}

TEST(InterpreterCell, KeepsNoneEvenAfterTheInterpreterIsInstalled) {
    if (fixed_dart_exists()) {
        GTEST_SKIP() << "dart is installed at a fixed path";
    }
    TempDir dir;
    EXPECT_EQ(in_child([&] {
                  ::unsetenv("BRINDLECAP_DART_BIN");
                  ::setenv("PATH", (dir / "bin").c_str(), 1);
                  if (brindlecap::interpreter::dart_path()) return 1;
                  write_file(dir / "bin/dart", "#!/bin/sh\n", 0755);
                  if (brindlecap::interpreter::dart_path()) return 2;
                  auto result = brindlecap::interpreter::run_dart("/tmp/none.dart", "{}");
                  auto* error = std::get_if<brindlecap::interpreter::ErrorText>(&result);
                  if (!error || error->message != "dart not found on this system") return 3;
                  return 0;
              }),
              0);
}

// The search happens at the first need, not when the process starts.
TEST(InterpreterCell, FindsAnInterpreterInstalledBeforeTheFirstNeed) {
    TempDir dir;
    EXPECT_EQ(in_child([&] {
                  ::unsetenv("BRINDLECAP_DART_BIN");
                  ::setenv("PATH", (dir / "bin").c_str(), 1);
                  write_file(dir / "bin/dart", "#!/bin/sh\necho \"$1\"\n/bin/cat\n", 0755);
                  if (brindlecap::interpreter::dart_path() != dir / "bin/dart") return 1;
                  auto result = brindlecap::interpreter::run_dart("prog.dart", "{\"op\":\"test\"}");
                  auto* output = std::get_if<brindlecap::interpreter::DartOutput>(&result);
                  if (!output || output->stdout_text != "prog.dart\n{\"op\":\"test\"}") return 2;
                  return 0;
              }),
              0);
}

}  // namespace
