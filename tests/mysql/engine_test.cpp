// The engine program end to end, its flag letters, and its exported adapter.
#include "engines/mysql/mysql_engine.h"
#include "tests/support/e2e.h"
#include "tests/support/tables.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

BRINDLECAP_CASE_FILE_TESTS(MysqlEngineCases, PROGRAM, CASES);

// The "test" response is written without a generic tree; every line the
// engine answers the case table's requests with must read exactly as the
// shared writer writes it.
TEST(MysqlEngineCases, AnswersAreInTheSharedWritersForm) {
    int checked = 0;
    for (const brindlecap::test::Case& c : brindlecap::test::load_cases(CASES)) {
        const brindlecap::test::RunResult result =
            brindlecap::test::run_program(PROGRAM, c.options);
        std::istringstream lines(result.out);
        std::string line;
        while (std::getline(lines, line)) {
            EXPECT_EQ(brindlecap::write_json(brindlecap::Json::parse(line)), line) << c.name;
            ++checked;
        }
    }
    EXPECT_GT(checked, 0);
}

// The engine writes its "test" response itself; for every character, alone
// and inside runs, it must write what the shared writer writes.
TEST(MysqlEngineCases, TestResponseEscapesEveryCharacterAsTheSharedWriter) {
    using brindlecap::Json;
    std::string text;
    for (int c = 1; c < 0x80; ++c) text += static_cast<char>(c);
    text += "\u00e9\u6771\U0001F600\u2028\u00a0";
    const std::vector<std::string> patterns = {"[\\s\\S]", "([\\s\\S]{3})", "(?s)(.+)"};
    brindlecap::test::RunOptions options;
    for (const std::string& pattern : patterns)
        options.stdin_bytes +=
            brindlecap::write_json(Json{{"pattern", pattern}, {"text", text}}) + "\n";
    const brindlecap::test::RunResult result = brindlecap::test::run_program(PROGRAM, options);
    ASSERT_EQ(result.exit_status, 0) << result.err;
    std::istringstream lines(result.out);
    for (const std::string& pattern : patterns) {
        std::string response;
        ASSERT_TRUE(std::getline(lines, response)) << pattern;
        const Json parsed = Json::parse(response);
        EXPECT_EQ(brindlecap::write_json(parsed), response) << pattern;
        std::string joined;
        for (const Json& entry : parsed["matches"]) joined += entry["match"].get<std::string>();
        EXPECT_EQ(joined, text) << pattern;
    }
}

// A response far longer than the engine's buffer goes out in pieces; the
// host must still read each response whole, on one line, byte for byte what
// the shared writer gives, and the requests around it answered as usual.
TEST(MysqlEngineLongResponses, ArriveWholeAndInOrder) {
    using brindlecap::Json;
    std::string text;
    for (int i = 0; i < 40000; ++i) text += i % 7 == 0 ? "\"\u00e9\U0001F600\t" : "ab\\";
    const auto request = [](const std::string& pattern, const std::string& subject) {
        return brindlecap::write_json(Json{{"pattern", pattern}, {"text", subject}}) + "\n";
    };
    brindlecap::test::RunOptions options;
    options.stdin_bytes =
        request("a", "xa") + request("(?s)((.)|x)", text) + request("x*", text) + request("a", "a");
    const brindlecap::test::RunResult result = brindlecap::test::run_program(PROGRAM, options);
    ASSERT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(result.err, "");

    std::istringstream lines(result.out);
    std::string line;
    std::vector<std::string> responses;
    while (std::getline(lines, line)) responses.push_back(line);
    ASSERT_EQ(responses.size(), 4u);
    EXPECT_EQ(
        responses[0],
        R"({"engine":"pcre2-icu-fallback","matches":[{"captures":[],"groups":{},"index":1,"match":"a"}],"status":"ok"})");
    EXPECT_EQ(
        responses[3],
        R"({"engine":"pcre2-icu-fallback","matches":[{"captures":[],"groups":{},"index":0,"match":"a"}],"status":"ok"})");

    // Every character of the text, one match each, with its group.
    Json every = Json::array();
    Json empty = Json::array();
    std::size_t offset = 0;
    while (offset < text.size()) {
        const auto lead = static_cast<unsigned char>(text[offset]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        const std::string character = text.substr(offset, length);
        every.push_back(Json{{"captures", {character, character}},
                             {"groups", Json::object()},
                             {"index", offset},
                             {"match", character}});
        empty.push_back(Json{{"captures", Json::array()},
                             {"groups", Json::object()},
                             {"index", offset},
                             {"match", ""}});
        offset += length;
    }
    empty.push_back(Json{
        {"captures", Json::array()}, {"groups", Json::object()}, {"index", offset}, {"match", ""}});
    const auto expected = [](Json matches) {
        return brindlecap::write_json(Json{
            {"engine", "pcre2-icu-fallback"}, {"matches", std::move(matches)}, {"status", "ok"}});
    };
    EXPECT_GT(responses[1].size(), 1000000u);
    EXPECT_TRUE(responses[1] == expected(every)) << "response to (?s)((.)|x) differs";
    EXPECT_TRUE(responses[2] == expected(empty)) << "response to x* differs";
}

// A response that goes out in pieces to a host that has closed its end: the
// engine reports the failed write under its own name, once, and stops.
TEST(MysqlEngineLongResponses, ClosedPipeIsReportedOnce) {
    brindlecap::test::RunOptions options;
    options.reader_closed = true;
    options.stdin_bytes = R"({"pattern":"x*","text":")" + std::string(100000, 'a') + "\"}\n" +
                          R"({"pattern":"a","text":"a"})" + "\n";
    const brindlecap::test::RunResult result = brindlecap::test::run_program(PROGRAM, options);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "brindlecap-mysql-engine: write: Broken pipe (os error 32)\n");
}

TEST(MysqlEngineFlags, LettersReachTheAdapterOnceInFixedOrder) {
    for (const brindlecap::test::TabRow& row : brindlecap::test::load_tab_rows(FLAG_CASES, 2)) {
        const std::string& flags = row.fields[0];
        EXPECT_EQ(brindlecap::mysql::flag_string(brindlecap::mysql::parse_flags(flags)),
                  row.fields[1])
            << row.where;
    }
}

TEST(MysqlEngineExports, AdapterFunctionsAreInTheDynamicSymbolTable) {
    brindlecap::test::RunOptions options;
    options.args = {"-D", "--defined-only", PROGRAM};
    const brindlecap::test::RunResult result = brindlecap::test::run_program(NM, options);
    ASSERT_EQ(result.exit_status, 0) << result.err;
    std::set<std::string> functions;
    std::istringstream lines(result.out);
    std::string address, kind, name;
    while (lines >> address >> kind >> name) {
        if (kind == "T") functions.insert(name);
    }
    for (const char* expected :
         {"mysql_regex_compile", "mysql_regex_matches", "mysql_regex_replace", "mysql_regex_free",
          "mysql_match_result_free", "mysql_match_get_start", "mysql_match_get_end",
          "mysql_match_get_text", "mysql_match_get_group_count", "mysql_match_get_group_start",
          "mysql_match_get_group_end"}) {
        EXPECT_TRUE(functions.count(expected)) << expected << " not exported:\n" << result.out;
    }
}

#ifndef BRINDLECAP_SANITIZE
// A match list that cannot be held whole is no answer: under a bounded
// address space the request is answered "out of memory" rather than with the
// matches found before memory ran out, and the next request is answered.
TEST(MysqlEngineMemory, AMatchListCutShortIsOutOfMemory) {
    brindlecap::test::RunOptions options;
    options.args = {"-c", "ulimit -v 150000 && exec \"$0\"", PROGRAM};
    options.stdin_bytes = R"x({"pattern":"(a)","text":")x" + std::string(5'000'000, 'a') + "\"}\n" +
                          R"({"op":"next"})" + "\n";
    const brindlecap::test::RunResult result = brindlecap::test::run_program("/bin/sh", options);
    EXPECT_EQ(result.out,
              "{\"message\":\"out of memory\",\"status\":\"error\"}\n"
              "{\"message\":\"unknown op: next\",\"status\":\"error\"}\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exit_status, 0);
}

// Whether a search ran out of memory is that search's answer: a later request
// whose text is never searched (it holds a NUL) gets its own answer.
TEST(MysqlEngineMemory, OutOfMemoryEndsWithItsRequest) {
    std::string pairs;
    for (int i = 0; i < 2000; ++i) pairs += "()";
    brindlecap::test::RunOptions options;
    options.args = {"-c", "ulimit -v 300000 && exec \"$0\"", PROGRAM};
    options.stdin_bytes = R"({"pattern":")" + pairs + R"(","text":")" + std::string(65536, 'a') +
                          "\"}\n" + R"({"pattern":"a","text":"a\u0000a"})" + "\n";
    const brindlecap::test::RunResult result = brindlecap::test::run_program("/bin/sh", options);
    EXPECT_EQ(result.out,
              "{\"message\":\"out of memory\",\"status\":\"error\"}\n"
              "{\"engine\":\"pcre2-icu-fallback\",\"matches\":[],\"status\":\"ok\"}\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exit_status, 0);
}
#endif

}  // namespace
