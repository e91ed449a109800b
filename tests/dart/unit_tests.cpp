// The Dart engine's own pieces, called directly: the program text and its
// file, the replacement rewrite, the forwarded request and the output reader.
#include "engines/dart/dart_engine.h"
#include "engines/dart/dart_script.h"
#include "base/descriptor.h"
#include "base/os_error.h"
#include "tests/support/tables.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace brindlecap::dart {
namespace {

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::string data_path(const std::string& name) { return std::string(DATA_DIR) + "/" + name; }

std::vector<test::JsonRow> json_rows(const std::string& name) {
    return test::load_json_rows(data_path(name));
}

std::vector<std::string> program_lines() {
    std::vector<std::string> lines;
    std::string_view rest = dart_script;
    while (!rest.empty()) {
        const std::size_t feed = rest.find('\n');
        if (feed == std::string_view::npos) {
            lines.emplace_back(rest);  // a line without its line feed
            break;
        }
        lines.emplace_back(rest.substr(0, feed));
        rest.remove_prefix(feed + 1);
    }
    return lines;
}

TEST(DartScript, IsTheExpectedProgramByteForByte) {
    EXPECT_EQ(dart_script.size(), 1082u);
    ASSERT_EQ(dart_script.back(), '\n');
    const std::vector<std::string> lines = program_lines();
    ASSERT_EQ(lines.size(), 37u);
    EXPECT_EQ(lines[0], "import 'dart:io';");
    EXPECT_EQ(lines[3], "  var line = stdin.readLineSync()!;");
    EXPECT_EQ(lines[22], "      print(parts.join('\\t'));");
    EXPECT_EQ(lines[24], "   } else if (op == 'replace') {");
    EXPECT_EQ(lines[28], "         result = result.replaceAll('\\$${i}', m.group(i) ?? '');");
    EXPECT_EQ(lines[30], "       result = result.replaceAll('\\$&', m.group(0) ?? '');");
    EXPECT_EQ(lines[33], "   } else {");
    EXPECT_EQ(lines[36], "}");
    for (const char c : dart_script) EXPECT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7f));
    EXPECT_EQ(std::string(dart_script), read_file(data_path("expected-program.dart")));
}

// A fresh directory for file tests, removed with everything in it.
class ScratchDirectory : public ::testing::Test {
protected:
    test::TempDir scratch_{"brindlecap-dart-unit"};
    const std::string& dir_ = scratch_.path();
};

using WriteDartScript = ScratchDirectory;

TEST_F(WriteDartScript, CreatesTheFileWithTheUmaskApplied) {
    const std::string path = dir_ + "/program.dart";
    const mode_t old_mask = umask(027);
    const auto failure = write_dart_script(path);
    umask(old_mask);
    ASSERT_FALSE(failure) << *failure;
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    EXPECT_EQ(read_file(path), std::string(dart_script));
}

TEST_F(WriteDartScript, TruncatesALongerFile) {
    const std::string path = dir_ + "/program.dart";
    std::ofstream(path) << std::string(5000, 'x');
    ASSERT_FALSE(write_dart_script(path));
    EXPECT_EQ(read_file(path), std::string(dart_script));
}

TEST_F(WriteDartScript, ReportsTheSystemErrorText) {
    ASSERT_EQ(mkdir((dir_ + "/dir").c_str(), 0755), 0);
    EXPECT_EQ(write_dart_script(dir_ + "/dir"), "Is a directory (os error 21)");
    EXPECT_EQ(write_dart_script(dir_ + "/missing/program.dart"),
              "No such file or directory (os error 2)");
}

TEST_F(WriteDartScript, ReportsAWriteThatFailsAfterAPartialOne) {
    // Under a file size limit below the program's size the first write stops
    // short at the limit and the next one fails.
    const std::string path = dir_ + "/program.dart";
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit small = saved;
    small.rlim_cur = 100;
    const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const auto failure = write_dart_script(path);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, old_handler);
    EXPECT_EQ(failure, os_error_text(EFBIG));
    EXPECT_EQ(read_file(path), std::string(dart_script.substr(0, 100)));
}

TEST(DartScriptWriteErrorText, AWriteWithoutProgressHasItsOwnText) {
    EXPECT_EQ(script_write_error_text(0), std::nullopt);
    EXPECT_EQ(script_write_error_text(WRITE_NO_PROGRESS), "failed to write whole buffer");
    EXPECT_EQ(script_write_error_text(ENOSPC), os_error_text(ENOSPC));
}

TEST_F(WriteDartScript, NeverLeavesTheFileWritableByOthers) {
    const std::string fresh = dir_ + "/fresh.dart";
    const std::string lax = dir_ + "/lax.dart";
    std::ofstream(lax) << "old";
    ASSERT_EQ(chmod(lax.c_str(), 0666), 0);
    const mode_t old_mask = umask(0);
    const auto fresh_failure = write_dart_script(fresh);
    const auto lax_failure = write_dart_script(lax);
    umask(old_mask);
    ASSERT_FALSE(fresh_failure) << *fresh_failure;
    ASSERT_FALSE(lax_failure) << *lax_failure;
    for (const std::string& path : {fresh, lax}) {
        struct stat info {};
        ASSERT_EQ(stat(path.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0644u) << path;
        EXPECT_EQ(read_file(path), std::string(dart_script)) << path;
    }
}

TEST_F(WriteDartScript, RefusesAFileOfAnotherUser) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give a file to another user";
    const std::string path = dir_ + "/program.dart";
    std::ofstream(path) << "theirs";
    ASSERT_EQ(chmod(path.c_str(), 0666), 0);
    ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
    EXPECT_EQ(write_dart_script(path), os_error_text(EPERM));
    EXPECT_EQ(read_file(path), "theirs");
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0666u) << "another user's file is left as it was";
}

TEST_F(WriteDartScript, RefusesAFileWithASecondLink) {
    const std::string other = dir_ + "/other";
    const std::string path = dir_ + "/program.dart";
    std::ofstream(other) << "keep me";
    ASSERT_EQ(link(other.c_str(), path.c_str()), 0);
    EXPECT_EQ(write_dart_script(path), os_error_text(EMLINK));
    EXPECT_EQ(read_file(other), "keep me");
}

TEST_F(WriteDartScript, RefusesAFifoWithAReader) {
    const std::string fifo = dir_ + "/program.dart";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    EXPECT_EQ(write_dart_script(fifo), os_error_text(EPERM));
    char byte = 0;
    EXPECT_LE(read(reader, &byte, 1), 0) << "nothing may reach the reader";
    close(reader);
}

TEST_F(WriteDartScript, FailsAtOnceOnAFifoWithoutReader) {
    const std::string fifo = dir_ + "/program.dart";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    alarm(30);  // a blocking open would otherwise hang the suite
    EXPECT_EQ(write_dart_script(fifo), os_error_text(ENXIO));
    alarm(0);
}

TEST_F(WriteDartScript, RefusesToWriteThroughASymbolicLink) {
    const std::string target = dir_ + "/target";
    const std::string link = dir_ + "/program.dart";
    std::ofstream(target) << "keep me";
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    EXPECT_EQ(write_dart_script(link), os_error_text(ELOOP));
    EXPECT_EQ(read_file(target), "keep me");
}

TEST_F(WriteDartScript, RemoveIgnoresAMissingFile) {
    const std::string path = dir_ + "/program.dart";
    ASSERT_FALSE(write_dart_script(path));
    remove_dart_script(path);
    EXPECT_NE(access(path.c_str(), F_OK), 0);
    remove_dart_script(path);  // already gone: nothing happens
}

TEST(DartConvertBackrefs, Table) {
    for (const test::JsonRow& table_row : json_rows("convert_backrefs.jsonl")) {
        const Json& row = table_row.fields;
        EXPECT_EQ(convert_backrefs(row[0].get<std::string>()), row[1].get<std::string>())
            << "line " << table_row.line << ": replacement: " << row[0];
    }
}

TEST(DartParseMatchLine, Table) {
    for (const test::JsonRow& table_row : json_rows("parse_match_line.jsonl")) {
        const Json& row = table_row.fields;
        SCOPED_TRACE("parse_match_line.jsonl line " + std::to_string(table_row.line));
        const std::optional<Json> entry = parse_match_line(row[0].get<std::string>());
        if (row[1].is_null()) {
            EXPECT_FALSE(entry) << "line: " << row[0] << " gave " << write_json(*entry);
        } else {
            ASSERT_TRUE(entry) << "line: " << row[0];
            EXPECT_EQ(write_json(*entry), write_json(row[1])) << "line: " << row[0];
        }
    }
}

TEST(DartParseMatchLine, WritesItsMembersInKeyOrder) {
    EXPECT_EQ(write_json(*parse_match_line("-1\t1\tm\tc")),
              R"({"captures":["c"],"groups":{},"index":-1,"match":"m"})");
}

TEST(DartReadTestOutput, KeepsTheWellFormedLinesInOrder) {
    const std::string output =
        "1\n"
        "4\t1\tb\tx\r\n"
        "junk\n"
        "\n"
        "0\t1\ta\n"
        "2\t0\t\n"
        "9\t1\tz";
    EXPECT_EQ(write_json(read_test_output(output)),
              R"([{"captures":["x"],"groups":{},"index":4,"match":"b"},)"
              R"({"captures":[],"groups":{},"index":0,"match":"a"},)"
              R"({"captures":[],"groups":{},"index":9,"match":"z"}])");
    EXPECT_EQ(write_json(read_test_output("")), "[]");
}

TEST(DartForwardedRequest, Table) {
    for (const test::BlockCase& block :
         test::load_block_cases(data_path("forwarded_requests.txt"))) {
        SCOPED_TRACE(test::where(block.file, block.line) + ": " + block.name);
        std::string request_line;
        for (const test::DataLine& directive : block.directives) {
            const auto [word, value] = test::split_directive(directive.text);
            // The forwarded lines are lined up under the request with spaces.
            const std::string rest = value.substr(value.find_first_not_of(' '));
            if (word == "request") {
                request_line = rest;
                continue;
            }
            auto parsed = parse_request(request_line);
            ASSERT_TRUE(std::holds_alternative<Json>(parsed)) << request_line;
            const Json& request = std::get<Json>(parsed);
            if (word == "test") {
                EXPECT_EQ(forwarded_test_request(request), rest) << request_line;
            } else {
                ASSERT_EQ(word, "replace");
                EXPECT_EQ(forwarded_replace_request(request), rest) << request_line;
            }
        }
    }
}

}  // namespace
}  // namespace brindlecap::dart
