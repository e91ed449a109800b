// brindlecap-dart-engine run as a child process: the case table, and the life
// of the program file it shares with every other instance.
#include "tests/support/e2e.h"
#include "tests/support/file_lock.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

using brindlecap::test::Case;
using brindlecap::test::run_program;
using brindlecap::test::RunOptions;
using brindlecap::test::RunResult;

const std::string PROGRAM_FILE = "/tmp/brindlecap-dart.dart";

// Every engine instance writes and removes the one program file. CTest keeps
// this program's tests apart (a resource lock), but not those of another run
// on the same machine, such as a build of another tree: each test process
// therefore holds this lock for its whole life.
class ProgramFileLock : public ::testing::Environment {
public:
    void SetUp() override { lock_.emplace(brindlecap::test::DART_PROGRAM_LOCK); }
    void TearDown() override { lock_.reset(); }

private:
    std::optional<brindlecap::test::FileLock> lock_;
};

[[maybe_unused]] ::testing::Environment* const program_file_lock =
    ::testing::AddGlobalTestEnvironment(new ProgramFileLock);

std::vector<Case> dart_cases() {
    return brindlecap::test::load_cases(CASES, {{"STANDIN", STANDIN}, {"FIXTURES", FIXTURES}});
}

class DartCases : public ::testing::TestWithParam<Case> {};
TEST_P(DartCases, Case) { brindlecap::test::expect_case(PROGRAM, GetParam()); }
INSTANTIATE_TEST_SUITE_P(File, DartCases, ::testing::ValuesIn(dart_cases()),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             return brindlecap::test::case_test_name(info.param);
                         });

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool path_exists(const std::string& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;
}

// Moves whatever stands at the shared program file's path out of the way for
// the test and puts it back afterwards.
class DartProgramFile : public ::testing::Test {
protected:
    void SetUp() override {
        struct stat info {};
        if (lstat(PROGRAM_FILE.c_str(), &info) != 0) return;
        if (S_ISDIR(info.st_mode)) {
            saved_directory_ = true;
            ASSERT_EQ(rmdir(PROGRAM_FILE.c_str()), 0) << "cannot clear " << PROGRAM_FILE;
        } else {
            saved_file_ = read_file(PROGRAM_FILE);
            ASSERT_EQ(unlink(PROGRAM_FILE.c_str()), 0) << "cannot clear " << PROGRAM_FILE;
        }
    }
    void TearDown() override {
        struct stat info {};
        if (lstat(PROGRAM_FILE.c_str(), &info) == 0) {
            if (S_ISDIR(info.st_mode)) {
                rmdir(PROGRAM_FILE.c_str());
            } else {
                unlink(PROGRAM_FILE.c_str());
            }
        }
        if (saved_directory_) mkdir(PROGRAM_FILE.c_str(), 0755);
        if (saved_file_) std::ofstream(PROGRAM_FILE, std::ios::binary) << *saved_file_;
    }

    static RunOptions with_standin(std::string input) {
        RunOptions options;
        options.env_set.emplace_back("BRINDLECAP_DART_BIN", STANDIN);
        options.stdin_bytes = std::move(input);
        return options;
    }

    // The engine shares its input with a cat that runs after it: whatever the
    // engine did not read comes out of the cat. An engine that stopped before
    // reading lets the input through whole, after its status and no response.
    static void expect_stop_before_reading(const std::string& error_text) {
        const std::string input =
            "{\"op\":\"test\"}\n{\"op\":\"test\",\"pattern\":\"a\",\"text\":\"a\"}\n";
        RunOptions options = with_standin(input);
        options.args = {"-c", "\"$1\"; echo \"status $?\"; exec cat", "sh", PROGRAM};
        const RunResult result = run_program("/bin/sh", options);
        EXPECT_EQ(result.out, "status 0\n" + input);
        EXPECT_EQ(result.err,
                  "brindlecap-dart-engine: failed to write Dart script: " + error_text + "\n");
        EXPECT_EQ(result.exit_status, 0);
    }

    std::optional<std::string> saved_file_;
    bool saved_directory_ = false;
};

TEST_F(DartProgramFile, OverwrittenAtStartAndRemovedAtEndOfInput) {
    // A longer file at the path must be truncated: the stand-in accepts only
    // the exact program.
    std::ofstream(PROGRAM_FILE, std::ios::binary) << std::string(4000, '#');
    const RunResult result =
        run_program(PROGRAM, with_standin(R"({"op":"test","pattern":"b","text":"abc"})"
                                          "\n"));
    EXPECT_EQ(result.out,
              R"({"matches":[{"captures":[],"groups":{},"index":1,"match":"b"}],"status":"ok"})"
              "\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_FALSE(path_exists(PROGRAM_FILE));
}

TEST_F(DartProgramFile, RemovedWhenInvalidUtf8EndsTheLoop) {
    const RunResult result =
        run_program(PROGRAM, with_standin("{\"op\":\"test\"}\n\xff\n{\"op\":\"test\"}\n"));
    EXPECT_EQ(result.out, "{\"matches\":[],\"status\":\"ok\"}\n");
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_FALSE(path_exists(PROGRAM_FILE));
}

TEST_F(DartProgramFile, RemovedWhenAResponseCannotBeWritten) {
    RunOptions options = with_standin("{\"op\":\"test\"}\n");
    options.reader_closed = true;
    const RunResult result = run_program(PROGRAM, options);
    EXPECT_EQ(result.err, "brindlecap-dart-engine: write: Broken pipe (os error 32)\n");
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_FALSE(path_exists(PROGRAM_FILE));
}

TEST_F(DartProgramFile, DirectoryAtThePathStopsTheEngineBeforeReading) {
    ASSERT_EQ(mkdir(PROGRAM_FILE.c_str(), 0755), 0);
    expect_stop_before_reading("Is a directory (os error 21)");
    struct stat info {};
    ASSERT_EQ(stat(PROGRAM_FILE.c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode)) << "the directory must be left alone";
}

// A user may leave a file at the shared path that the engine could write;
// running whatever that user later puts there would run it as the engine's
// user, so the engine refuses it and leaves it alone.
TEST_F(DartProgramFile, AnotherUsersFileAtThePathStopsTheEngineBeforeReading) {
    if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0) {
        GTEST_SKIP() << "needs root and setpriv to leave a file as another user";
    }
    RunOptions as_nobody;
    as_nobody.args = {"--reuid=65534",
                      "--regid=65534",
                      "--clear-groups",
                      "--",
                      "/bin/sh",
                      "-c",
                      "umask 0; printf theirs > \"$0\"",
                      PROGRAM_FILE};
    ASSERT_EQ(run_program("/usr/bin/setpriv", as_nobody).exit_status, 0);
    // Where the kernel protects such files in sticky directories, the open
    // itself is refused before the engine can look.
    const std::string protection = read_file("/proc/sys/fs/protected_regular");
    const bool kernel_refuses = !protection.empty() && protection[0] != '0';
    expect_stop_before_reading(kernel_refuses ? "Permission denied (os error 13)"
                                              : "Operation not permitted (os error 1)");
    struct stat info {};
    ASSERT_EQ(lstat(PROGRAM_FILE.c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, 65534u);
    EXPECT_EQ(info.st_mode & 07777, 0666u);
    EXPECT_EQ(read_file(PROGRAM_FILE), "theirs");
}

TEST_F(DartProgramFile, AFileWithASecondLinkStopsTheEngineBeforeReading) {
    // Beside the program file: a hard link cannot cross file systems.
    const brindlecap::test::TempDir scratch("brindlecap-dart-other", "/tmp");
    const std::string other = scratch / "other";
    std::ofstream(other, std::ios::binary) << "keep me";
    ASSERT_EQ(link(other.c_str(), PROGRAM_FILE.c_str()), 0);
    expect_stop_before_reading("Too many links (os error 31)");
    EXPECT_EQ(read_file(other), "keep me");
}

// The engine with its standard input and output piped, driven one request at
// a time.
class EngineProcess {
public:
    explicit EngineProcess(const std::vector<std::string>& extra_environment) {
        int in_pipe[2];
        int out_pipe[2];
        if (pipe(in_pipe) != 0 || pipe(out_pipe) != 0) return;
        to_engine_ = in_pipe[1];
        from_engine_ = out_pipe[0];
        std::vector<std::string> environment(extra_environment);
        for (char** entry = environ; *entry; ++entry) environment.emplace_back(*entry);
        std::vector<char*> envp;
        for (std::string& entry : environment) envp.push_back(entry.data());
        envp.push_back(nullptr);
        std::string program = PROGRAM;
        char* argv[] = {program.data(), nullptr};

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in_pipe[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
        posix_spawn_file_actions_addclose(&actions, in_pipe[1]);
        posix_spawn_file_actions_addclose(&actions, out_pipe[0]);
        if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, envp.data()) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(in_pipe[0]);
        close(out_pipe[1]);
    }
    EngineProcess(const EngineProcess&) = delete;
    EngineProcess& operator=(const EngineProcess&) = delete;
    ~EngineProcess() {
        close_input();
        if (from_engine_ >= 0) close(from_engine_);
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    bool started() const { return pid_ > 0; }

    // Writes one request line and reads the one response line.
    std::string ask(const std::string& request) {
        const std::string line = request + "\n";
        std::string_view rest = line;
        while (!rest.empty()) {
            const ssize_t written = write(to_engine_, rest.data(), rest.size());
            if (written < 0 && errno == EINTR) continue;
            if (written <= 0) return "<write failed>";
            rest.remove_prefix(static_cast<std::size_t>(written));
        }
        std::string response;
        char c = 0;
        for (;;) {
            const ssize_t got = read(from_engine_, &c, 1);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return response + "<end of output>";
            if (c == '\n') return response;
            response += c;
        }
    }

    void close_input() {
        if (to_engine_ >= 0) close(to_engine_);
        to_engine_ = -1;
    }

    // Ends the input and waits: the exit status, or -1.
    int finish() {
        close_input();
        int status = 0;
        const pid_t waited = waitpid(pid_, &status, 0);
        pid_ = -1;
        if (waited <= 0 || !WIFEXITED(status)) return -1;
        return WEXITSTATUS(status);
    }

private:
    pid_t pid_ = -1;
    int to_engine_ = -1;
    int from_engine_ = -1;
};

TEST_F(DartProgramFile, RemovedWhileRunningFailsEveryDartRun) {
    EngineProcess engine({std::string("BRINDLECAP_DART_BIN=") + STANDIN});
    ASSERT_TRUE(engine.started());
    EXPECT_EQ(engine.ask(R"({"op":"replace","pattern":"a","text":"cat","replacement":"u"})"),
              R"({"replacements":[],"result":"cut","status":"ok_replace"})");
    EXPECT_EQ(read_file(PROGRAM_FILE), read_file(std::string(DATA_DIR) + "/expected-program.dart"));

    ASSERT_EQ(unlink(PROGRAM_FILE.c_str()), 0);
    const std::string missing =
        R"({"message":"Error when reading '/tmp/brindlecap-dart.dart': No such file or directory","status":"error"})";
    EXPECT_EQ(engine.ask(R"({"op":"test","pattern":"a","text":"cat"})"), missing);
    EXPECT_EQ(engine.ask(R"({"op":"test","pattern":"a","text":""})"),
              R"({"matches":[],"status":"ok"})");
    EXPECT_EQ(engine.ask(R"({"op":"replace","pattern":"(","text":""})"),
              R"({"replacements":[],"result":"","status":"ok_replace"})");
    EXPECT_EQ(engine.ask(R"({"op":"replace","pattern":"a","text":"cat"})"), missing);
    EXPECT_FALSE(path_exists(PROGRAM_FILE)) << "the engine must not write the file again";
    EXPECT_EQ(engine.finish(), 0);
}

// Whatever the umask, and whatever mode a file left by an earlier run had,
// only the engine's own user may write the program while the engine runs.
TEST_F(DartProgramFile, NoOneElseMayWriteTheFileWhileTheEngineRuns) {
    for (const bool earlier_file : {false, true}) {
        SCOPED_TRACE(earlier_file ? "a file of ours with mode 0666 at the path"
                                  : "no file at the path");
        if (earlier_file) {
            std::ofstream(PROGRAM_FILE) << "old";
            ASSERT_EQ(chmod(PROGRAM_FILE.c_str(), 0666), 0);
        }
        const mode_t old_mask = umask(0);
        EngineProcess engine({std::string("BRINDLECAP_DART_BIN=") + STANDIN});
        umask(old_mask);
        ASSERT_TRUE(engine.started());
        // The file is written before the first request is read.
        EXPECT_EQ(engine.ask(R"({"op":"test","text":""})"), R"({"matches":[],"status":"ok"})");
        struct stat info {};
        ASSERT_EQ(lstat(PROGRAM_FILE.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0644u);
        EXPECT_EQ(read_file(PROGRAM_FILE),
                  read_file(std::string(DATA_DIR) + "/expected-program.dart"));
        EXPECT_EQ(engine.finish(), 0);
    }
}

// dart is looked for at the first request that runs it, not at start and not
// for the requests that the shortcuts answer.
TEST_F(DartProgramFile, DartIsLookedForAtTheFirstRunThatNeedsIt) {
    const brindlecap::test::TempDir scratch("brindlecap-dart-lookup");
    const std::string dart = scratch / "dart";
    EngineProcess engine({"BRINDLECAP_DART_BIN=" + dart, "PATH=/nonexistent"});
    ASSERT_TRUE(engine.started());
    EXPECT_EQ(engine.ask(R"({"op":"test","pattern":"a","text":""})"),
              R"({"matches":[],"status":"ok"})");
    EXPECT_EQ(engine.ask(R"({"op":"replace","pattern":"a","text":""})"),
              R"({"replacements":[],"result":"","status":"ok_replace"})");
    EXPECT_EQ(engine.ask(R"({"op":"validate","pattern":"a","text":"a"})"),
              R"({"message":"unknown op: validate","status":"error"})");

    std::ofstream(dart) << "#!/bin/sh\nexec /usr/bin/node '" << STANDIN << "' \"$@\"\n";
    ASSERT_EQ(chmod(dart.c_str(), 0755), 0);
    EXPECT_EQ(engine.ask(R"({"op":"test","pattern":"a","text":"ba"})"),
              R"({"matches":[{"captures":[],"groups":{},"index":1,"match":"a"}],"status":"ok"})");
    EXPECT_EQ(engine.finish(), 0);
}

}  // namespace
