// The base helpers: writing whole buffers, owning descriptors, the spawn
// attributes, child environments, the line and field readers, path joining,
// UTF-8 checks and error wording.
#include "base/descriptor.h"
#include "base/environment.h"
#include "base/lines.h"
#include "base/os_error.h"
#include "base/paths.h"
#include "base/spawn_attributes.h"
#include "base/utf8.h"
#include "tests/support/tables.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <string>
#include <vector>

extern char** environ;

namespace brindlecap {
namespace {

using Json = nlohmann::json;

std::vector<test::JsonRow> json_rows(const std::string& name) {
    return test::load_json_rows(std::string(DATA_DIR) + "/" + name);
}

std::vector<std::string> as_strings(const std::vector<std::string_view>& views) {
    return {views.begin(), views.end()};
}

// A stand-in for write(2) that plays back a script of results: a positive
// number accepts that many bytes (at most what was offered), 0 accepts none,
// a negative number fails with that error number negated.
struct WriteScript {
    std::vector<long> results;
    std::size_t calls = 0;
    std::string accepted;
};
WriteScript script;

ssize_t scripted_write(int, const void* data, size_t size) {
    if (script.calls >= script.results.size()) {
        ADD_FAILURE() << "write called after the script ended";
        errno = EIO;
        return -1;
    }
    const long result = script.results[script.calls++];
    if (result < 0) {
        errno = static_cast<int>(-result);
        return -1;
    }
    const std::size_t taken = std::min(static_cast<std::size_t>(result), size);
    script.accepted.append(static_cast<const char*>(data), taken);
    return static_cast<ssize_t>(taken);
}

int scripted_write_all(std::vector<long> results, std::string_view bytes) {
    script = WriteScript{std::move(results), 0, {}};
    return write_all(scripted_write, 3, bytes);
}

TEST(WriteAll, GoesOnAfterPartialAndInterruptedWrites) {
    EXPECT_EQ(scripted_write_all({2, -EINTR, 1, -EINTR, -EINTR, 100}, "abcdefg"), 0);
    EXPECT_EQ(script.accepted, "abcdefg");
    EXPECT_EQ(script.calls, 6u);
}

TEST(WriteAll, AWriteThatAcceptsNothingEndsIt) {
    // Retrying would loop for ever on such a descriptor.
    EXPECT_EQ(scripted_write_all({3, 0}, "abcdefg"), WRITE_NO_PROGRESS);
    EXPECT_EQ(script.accepted, "abc");
    EXPECT_EQ(script.calls, 2u);
}

TEST(WriteAll, AFailedWriteGivesItsErrorNumber) {
    EXPECT_EQ(scripted_write_all({1, -EPIPE}, "abc"), EPIPE);
    EXPECT_EQ(script.calls, 2u);
    EXPECT_EQ(scripted_write_all({-EAGAIN}, "abc"), EAGAIN) << "only EINTR is repeated";
}

TEST(WriteAll, NothingToWriteCallsNothing) {
    EXPECT_EQ(scripted_write_all({}, ""), 0);
    EXPECT_EQ(script.calls, 0u);
}

TEST(WriteAll, ReportsTheSystemErrorOfARealDescriptor) {
    const auto old_handler = std::signal(SIGPIPE, SIG_IGN);
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    close(ends[0]);
    EXPECT_EQ(write_all(ends[1], "x"), EPIPE);
    close(ends[1]);
    std::signal(SIGPIPE, old_handler);
    EXPECT_EQ(write_all(ends[1], "x"), EBADF);
}

bool is_open(int fd) { return fcntl(fd, F_GETFD) != -1; }

TEST(OwnedFd, ClosesWhatItHoldsWhenItGoesOrIsReset) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    {
        OwnedFd reader(ends[0]);
        OwnedFd writer(ends[1]);
        writer.reset();
        EXPECT_FALSE(is_open(ends[1]));
        EXPECT_FALSE(writer.is_open());
        EXPECT_TRUE(is_open(ends[0]));
    }
    EXPECT_FALSE(is_open(ends[0]));
}

TEST(OwnedFd, MovingHandsTheDescriptorOnAndReleaseGivesItUp) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    OwnedFd kept(ends[1]);
    {
        OwnedFd first(ends[0]);
        OwnedFd second(std::move(first));
        EXPECT_FALSE(first.is_open());
        kept = std::move(second);  // closes the write end it held before
        EXPECT_FALSE(is_open(ends[1]));
    }
    EXPECT_EQ(kept.get(), ends[0]);
    EXPECT_TRUE(is_open(ends[0]));
    const int released = kept.release();
    EXPECT_FALSE(kept.is_open());
    EXPECT_TRUE(is_open(released));
    close(released);
}

TEST(OpenPipe, EndsAreCloseOnExecAndCarryBytes) {
    Pipe pipe;
    ASSERT_EQ(open_pipe(pipe), 0);
    for (const OwnedFd* end : {&pipe.read_end, &pipe.write_end}) {
        EXPECT_EQ(fcntl(end->get(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC)
            << "a child would inherit the end and keep the pipe open";
    }
    ASSERT_EQ(write_all(pipe.write_end.get(), "x"), 0);
    char byte = 0;
    EXPECT_EQ(read(pipe.read_end.get(), &byte, 1), 1);
    EXPECT_EQ(byte, 'x');
}

TEST(SetNonBlocking, AnEmptyPipeNoLongerBlocksAReader) {
    Pipe pipe;
    ASSERT_EQ(open_pipe(pipe), 0);
    const int flags_before = fcntl(pipe.read_end.get(), F_GETFL);
    ASSERT_EQ(set_non_blocking(pipe.read_end.get()), 0);
    EXPECT_EQ(fcntl(pipe.read_end.get(), F_GETFL), flags_before | O_NONBLOCK);
    char byte = 0;
    EXPECT_EQ(read(pipe.read_end.get(), &byte, 1), -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(set_non_blocking(-1), EBADF);
}

// A shell cannot undo a SIGPIPE that was ignored when it started, so killing
// itself with SIGPIPE ends it only when the signal came in at its default.
int wait_status_of_self_killing_shell(const posix_spawnattr_t* attributes) {
    char shell[] = "/bin/sh";
    char option[] = "-c";
    char command[] = "kill -PIPE $$; exit 3";
    char* argv[] = {shell, option, command, nullptr};
    pid_t child = 0;
    if (posix_spawn(&child, shell, nullptr, attributes, argv, environ) != 0) return -1;
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return status;
}

TEST(SigpipeDefaultAttributes, TheChildStartsWithSigpipeAtItsDefault) {
    const auto old_handler = std::signal(SIGPIPE, SIG_IGN);
    const int inherited = wait_status_of_self_killing_shell(nullptr);
    const SigpipeDefaultAttributes attributes;
    ASSERT_EQ(attributes.error(), 0);
    const int with_default = wait_status_of_self_killing_shell(attributes.get());
    std::signal(SIGPIPE, old_handler);

    ASSERT_TRUE(WIFEXITED(inherited)) << "without the attributes the ignored signal is inherited";
    EXPECT_EQ(WEXITSTATUS(inherited), 3);
    ASSERT_TRUE(WIFSIGNALED(with_default));
    EXPECT_EQ(WTERMSIG(with_default), SIGPIPE);
}

TEST(SplitLines, Table) {
    for (const test::JsonRow& table_row : json_rows("split_lines.jsonl")) {
        SCOPED_TRACE("split_lines.jsonl line " + std::to_string(table_row.line));
        const Json& row = table_row.fields;
        const std::string text = row[0].get<std::string>();
        EXPECT_EQ(as_strings(split_lines(text)), row[1].get<std::vector<std::string>>())
            << "text: " << row[0];
    }
}

TEST(SplitFields, Table) {
    for (const test::JsonRow& table_row : json_rows("split_fields.jsonl")) {
        SCOPED_TRACE("split_fields.jsonl line " + std::to_string(table_row.line));
        const Json& row = table_row.fields;
        const std::string line = row[0].get<std::string>();
        const char separator = row[1].get<std::string>().at(0);
        EXPECT_EQ(as_strings(split_fields(line, separator)), row[2].get<std::vector<std::string>>())
            << "line: " << row[0];
    }
}

TEST(ChildEnvironment, AdditionReplacesEveryEntryOfItsNameAndKeepsTheRest) {
    const std::vector<std::string> base = {
        "A=1", "PYTHONHOME=/old", "NO_EQUALS_SIGN", "PYTHONHOMEX=keep", "PYTHONHOME=/twice", "B="};
    const std::vector<std::string> expected = {"A=1", "NO_EQUALS_SIGN", "PYTHONHOMEX=keep",
                                               "B=", "PYTHONHOME=/new/../x"};
    EXPECT_EQ(child_environment(base, {{"PYTHONHOME", "/new/../x"}}), expected);
    EXPECT_EQ(child_environment(base, {}), base);
}

TEST(JoinPath, Table) {
    for (const test::JsonRow& table_row : json_rows("join_path.jsonl")) {
        SCOPED_TRACE("join_path.jsonl line " + std::to_string(table_row.line));
        const Json& row = table_row.fields;
        EXPECT_EQ(join_path(row[0].get<std::string>(), row[1].get<std::string>()),
                  row[2].get<std::string>());
    }
}

TEST(ParseDecimalDigits, Table) {
    for (const test::JsonRow& table_row : json_rows("decimal_digits.jsonl")) {
        SCOPED_TRACE("decimal_digits.jsonl line " + std::to_string(table_row.line));
        const Json& row = table_row.fields;
        const std::optional<std::uint64_t> value = parse_decimal_digits(row[0].get<std::string>());
        if (row[1].is_null()) {
            EXPECT_FALSE(value) << "text: " << row[0] << " gave " << *value;
        } else {
            EXPECT_EQ(value, std::optional(row[1].get<std::uint64_t>())) << "text: " << row[0];
        }
    }
}

TEST(OsErrorText, SystemMessageThenNumber) {
    EXPECT_EQ(brindlecap::os_error_text(32), "Broken pipe (os error 32)");
    EXPECT_EQ(brindlecap::os_error_text(2), "No such file or directory (os error 2)");
}

struct Utf8Case {
    const char* name;
    std::string bytes;
    bool valid;
    std::string replaced;
};

TEST(Utf8, ValidityAndReplacementByMaximalSubparts) {
    const std::string fffd = "\xEF\xBF\xBD";
    const Utf8Case cases[] = {
        {"ascii", "abc\n", true, "abc\n"},
        {"two three four byte", "é€😀", true, "é€😀"},
        {"lone continuation", "a\x80z", false, "a" + fffd + "z"},
        {"0xFF", "\xFF", false, fffd},
        {"truncated three-byte lead at end", "\xE2\x82", false, fffd},
        {"truncated then ascii", "\xE2\x82x", false, fffd + "x"},
        {"overlong two-byte", "\xC0\xAF", false, fffd + fffd},
        {"overlong three-byte", "\xE0\x80\xAF", false, fffd + fffd + fffd},
        {"surrogate", "\xED\xA0\x80", false, fffd + fffd + fffd},
        {"above U+10FFFF", "\xF4\x90\x80\x80", false, fffd + fffd + fffd + fffd},
        {"four-byte cut short", "\xF0\x9F\x98", false, fffd},
        {"long ascii run then bad byte", std::string(40, 'a') + "\xFE", false,
         std::string(40, 'a') + fffd},
        {"nul is valid", std::string("a\0b", 3), true, std::string("a\0b", 3)},
    };
    for (const Utf8Case& c : cases) {
        EXPECT_EQ(brindlecap::is_valid_utf8(c.bytes), c.valid) << c.name;
        EXPECT_EQ(brindlecap::decode_with_replacement(c.bytes), c.replaced) << c.name;
    }
}

}  // namespace
}  // namespace brindlecap
