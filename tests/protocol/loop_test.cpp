#include "tests/support/e2e.h"
#include "tests/support/temp_dir.h"

#include <fstream>
#include <string>
#include <vector>

BRINDLECAP_CASE_FILE_TESTS(RequestLoop, PROGRAM, CASES);
BRINDLECAP_CASE_FILE_TESTS(RequestReader, PROGRAM, READER_CASES);

// Lines far longer than the read buffer, between runs of short ones: the
// buffer grows for them and shrinks again after, and no byte is lost or
// answered twice on the way.
TEST(RequestLoopBuffer, LongLinesAmongShortOnesAreFramedExactly) {
    brindlecap::test::RunOptions options;
    std::string expected;
    int counter = 0;
    auto short_lines = [&](int count) {
        for (int i = 0; i < count; ++i, ++counter) {
            options.stdin_bytes += "{\"text\":\"" + std::to_string(counter) + "\"}\r\n";
            expected +=
                "{\"flags\":\"\",\"op\":\"test\",\"pattern\":\"\",\"status\":\"ok\",\"text\":\"" +
                std::to_string(counter) + "\"}\n";
        }
    };
    std::vector<std::size_t> sizes = {std::size_t(20) << 20};
    // Lines of a megabyte after the longest: one of them is cut where the
    // grown buffer ends, so that much is left over when it shrinks back.
    sizes.insert(sizes.end(), 15, 1000000);
    sizes.insert(sizes.end(), {100000, std::size_t(5) << 20});
    for (const std::size_t size : sizes) {
        short_lines(size > 1000000 ? 5000 : 10);
        options.stdin_bytes += "{\"text\":\"" + std::string(size, 'a') + "\",\"op\":\"long" +
                               std::to_string(size) + "\"}\n";
        expected +=
            "{\"message\":\"unknown op: long" + std::to_string(size) + "\",\"status\":\"error\"}\n";
    }
    short_lines(5000);
    const auto result = brindlecap::test::run_program(PROGRAM, options);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_TRUE(result.err.empty()) << result.err;
    EXPECT_TRUE(result.out == expected) << "output of " << result.out.size() << " bytes differs";

    // From a file a read returns as much as the buffer has room for, not a
    // pipe's worth, so what is left after a long line can be large.
    const brindlecap::test::TempDir dir("brindlecap-loop-input");
    const std::string path = dir / "input";
    {
        std::ofstream file(path, std::ios::binary);
        file << options.stdin_bytes;
        ASSERT_TRUE(file.flush()) << path;
    }
    brindlecap::test::RunOptions from_file;
    from_file.args = {"-c", "exec \"$0\" < \"$1\"", PROGRAM, path};
    const auto file_result = brindlecap::test::run_program("/bin/sh", from_file);
    EXPECT_EQ(file_result.exit_status, 0);
    EXPECT_TRUE(file_result.out == expected)
        << "output of " << file_result.out.size() << " bytes differs";
}

// A line too long for the memory the engine may use is answered "out of
// memory" and read past, checked as UTF-8 on the way (characters cut between
// reads included); the lines around it are answered as usual.
TEST(RequestLoopBuffer, LineTooLongForMemoryIsAnsweredAndReadPast) {
#ifdef BRINDLECAP_SANITIZE
    GTEST_SKIP() << "the sanitizers reserve more address space than the limit allows";
#endif
    const std::string before = "{\"text\":\"before\"}\n";
    const std::string after = "{\"text\":\"after\"}\n";
    const std::string answer_before =
        "{\"flags\":\"\",\"op\":\"test\",\"pattern\":\"\",\"status\":\"ok\",\"text\":\"before\"}\n";
    const std::string answer_after =
        "{\"flags\":\"\",\"op\":\"test\",\"pattern\":\"\",\"status\":\"ok\",\"text\":\"after\"}\n";
    std::string long_text;
    long_text.reserve(160u << 20);
    while (long_text.size() < (160u << 20)) long_text += "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
    brindlecap::test::RunOptions options;
    options.args = {"-c", "ulimit -v 250000 && exec \"$0\"", PROGRAM};
    options.stdin_bytes = before + "{\"text\":\"" + long_text + "\"}\r\n" + after;
    auto result = brindlecap::test::run_program("/bin/sh", options);
    EXPECT_EQ(result.out, answer_before + "{\"message\":\"out of memory\",\"status\":\"error\"}\n" +
                              answer_after);
    EXPECT_EQ(result.exit_status, 0);

    // Not UTF-8 far into the line: the loop ends there, without a response.
    options.stdin_bytes = before + "{\"text\":\"" + long_text + "\xFF\"}\n" + after;
    result = brindlecap::test::run_program("/bin/sh", options);
    EXPECT_EQ(result.out, answer_before);
    EXPECT_EQ(result.exit_status, 0);
}

// A response many times the sink's buffer, appended in small pieces and
// pieces that straddle the buffer's end, leaves whole and in order, between
// small ones; to a host that has closed its end it is reported once.
TEST(RequestLoopSink, ResponsesLongerThanTheBufferLeaveWhole) {
    const std::string escaped = "\\\\\\\"\xC3\xA9\\u0001x";
    brindlecap::test::RunOptions options;
    std::string expected;
    for (const int times : {1, 100000, 3, 250000}) {
        options.stdin_bytes += "{\"op\":\"repeat\",\"pattern\":\"" + std::to_string(times) +
                               "\",\"text\":\"\\\\\\\"\\u00e9\\u0001x\"}\n";
        expected += "{\"text\":\"";
        for (int i = 0; i < times; ++i) expected += escaped;
        expected += "\"}\n";
    }
    auto result = brindlecap::test::run_program(PROGRAM, options);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(result.out == expected)
        << result.out.size() << " bytes, " << expected.size() << " expected";

    options.reader_closed = true;
    result = brindlecap::test::run_program(PROGRAM, options);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.err, "brindlecap-echo-engine: write: Broken pipe (os error 32)\n");
}
