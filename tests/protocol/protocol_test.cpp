#include "protocol/protocol.h"
#include "base/descriptor.h"
#include "tests/support/e2e.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

using brindlecap::Json;

std::string nested_arrays(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }
std::string nested_objects(int depth) {
    std::string text;
    for (int i = 1; i < depth; ++i) text += "{\"a\":";
    text += "{}";
    return text + std::string(depth - 1, '}');
}

std::string fault_of(const std::string& line) {
    auto parsed = brindlecap::parse_request(line);
    const auto* message = std::get_if<std::string>(&parsed);
    return message ? *message : "(parsed)";
}

TEST(ParseRequest, NestingUpTo127IsAcceptedAnd128IsAFault) {
    EXPECT_EQ(fault_of(nested_arrays(127)), "(parsed)");
    EXPECT_EQ(fault_of(nested_objects(127)), "(parsed)");
    EXPECT_EQ(fault_of(nested_arrays(128)),
              "bad request JSON: recursion limit exceeded at line 1 column 128");
    EXPECT_EQ(fault_of("[1,{\"a\":" + nested_arrays(127) + "}]"),
              "bad request JSON: recursion limit exceeded at line 1 column 134");
    // Brackets and escaped quotes inside strings do not count as nesting.
    EXPECT_EQ(fault_of("[\"[[{\\\"\"," + nested_arrays(127) + "]"),
              "bad request JSON: recursion limit exceeded at line 1 column 136");
    // Deep input far beyond the limit stops at the limit instead of recursing.
    EXPECT_EQ(fault_of(std::string(1000000, '[')),
              "bad request JSON: recursion limit exceeded at line 1 column 128");
}

TEST(ParseRequest, AnythingAfterTheValueIsTrailingCharacters) {
    EXPECT_EQ(fault_of("{\"op\":\"test\"} x"),
              "bad request JSON: trailing characters at line 1 column 15");
    EXPECT_EQ(fault_of("{} {}"), "bad request JSON: trailing characters at line 1 column 4");
    EXPECT_EQ(fault_of("1 2"), "bad request JSON: trailing characters at line 1 column 3");
    EXPECT_EQ(fault_of(" {} \t\r"), "(parsed)");
}

TEST(ParseRequest, OtherFaultsCarryTheParsersDescriptionAndColumn) {
    for (const std::string line :
         {"   ", "{", "{\"a\":\"\t\"}", "{\"a\":\"\\q\"}", "[\"\\ud800\"]", "\r", "tru"}) {
        const std::string fault = fault_of(line);
        SCOPED_TRACE(line);
        EXPECT_EQ(fault.rfind("bad request JSON: ", 0), 0u) << fault;
        EXPECT_NE(fault.find(" at line 1 column "), std::string::npos) << fault;
        EXPECT_EQ(fault.find("trailing"), std::string::npos) << fault;
        EXPECT_EQ(fault.find("json.exception"), std::string::npos) << fault;
    }
    EXPECT_TRUE(fault_of("   ").ends_with(" at line 1 column 4"));
}

// A fault deep into a long line quotes only the start of the token the
// library read, however long it grew; the column still points at the fault.
TEST(ParseRequest, AFaultQuotesABoundedPrefixOfALongToken) {
    std::string literals = "[";
    for (int i = 0; i < 200000; ++i) literals += "true,";
    literals += "tru]";
    const std::string shown =
        std::string("[") + "true,true,true,true,true,true,true,true,true,true";
    struct Long {
        std::string line, starts, ends;
    } cases[] = {
        {literals,
         "bad request JSON: syntax error while parsing value - invalid literal; last read: '" +
             shown,
         "...' at line 1 column " + std::to_string(literals.size())},
        {"{\"text\":\"" + std::string(1000000, 'a') + "\\q\"}",
         "bad request JSON: syntax error while parsing value - invalid string: forbidden character "
         "after "
         "backslash; last read: '\"aaaa",
         "aaaa...' at line 1 column 1000011"},
        // The cut falls neither inside a character nor inside a control marker.
        {"[\"" + std::string(509, 'a') + "\t\"]",
         "bad request JSON: syntax error while parsing value - invalid string: control character "
         "U+0009 (HT)",
         "; last read: '\"" + std::string(509, 'a') + "...' at line 1 column 512"},
        {"[\"" + std::string(510, 'a') + "\xC3\xA9\t\"]", "bad request JSON: syntax error",
         std::string(510, 'a') + "...' at line 1 column 515"},
    };
    for (const Long& c : cases) {
        const std::string fault = fault_of(c.line);
        EXPECT_LT(fault.size(), 800u);
        EXPECT_TRUE(fault.starts_with(c.starts)) << fault;
        EXPECT_TRUE(fault.ends_with(c.ends)) << fault;
    }
    // Up to the limit the token is quoted whole, as before.
    const std::string fits = "[\"" + std::string(503, 'a') + "\t\"]";
    EXPECT_TRUE(fault_of(fits).ends_with("; last read: '\"" + std::string(503, 'a') +
                                         "<U+0009>' at line 1 column 506"))
        << fault_of(fits);
}

TEST(ParseRequest, LaterDuplicateKeyWinsAndEscapesAreDecoded) {
    auto parsed = brindlecap::parse_request(
        R"({"op":"test","op":"replace","t":"a\u0000b\n","o":{"x":1,"x":[2]}})");
    const Json& value = std::get<Json>(parsed);
    EXPECT_EQ(value["op"], "replace");
    EXPECT_EQ(value["t"].get<std::string>(), std::string("a\0b\n", 4));
    EXPECT_EQ(value["o"]["x"], Json::array({2}));
}

std::string outcome(const std::variant<Json, std::string>& parsed) {
    if (const auto* message = std::get_if<std::string>(&parsed)) return "fault: " + *message;
    return brindlecap::write_json(std::get<Json>(parsed));
}

// The fast reader takes only lines on which it gives the slow reader's tree;
// every other line, and so every fault, is the slow reader's.
TEST(ParseRequest, FastAndSlowReadersAgreeOnEveryLineOfTheTables) {
    // Only the input matters here: the shared table's variables stay empty.
    const std::map<std::string, std::string> variables = {
        {"PROGRAM_NAME", ""}, {"EMPTY_TEST", ""}, {"EMPTY_REPLACE", ""}};
    for (const char* file : {READER_CASES, CASES, SHARED_CASES}) {
        for (const auto& c : brindlecap::test::load_cases(file, variables)) {
            std::string_view input = c.options.stdin_bytes;
            while (!input.empty()) {
                const std::size_t feed = input.find('\n');
                std::string_view line = input.substr(0, feed);
                input.remove_prefix(feed == std::string_view::npos ? input.size() : feed + 1);
                if (feed != std::string_view::npos && line.ends_with('\r')) line.remove_suffix(1);
                if (line.empty()) continue;
                EXPECT_EQ(outcome(brindlecap::parse_request(line)),
                          outcome(brindlecap::parse_request_slowly(line)))
                    << c.file << ":" << c.line << ": " << line;
            }
        }
    }
}

TEST(RequestString, OnlyStringsCountAndNonObjectsHaveNoMembers) {
    const Json request = Json::parse(R"({"a":"x","n":5,"z":null,"b":true,"l":["x"],"o":{}})");
    EXPECT_EQ(brindlecap::request_string(request, "a", "d"), "x");
    for (const char* key : {"n", "z", "b", "l", "o", "missing"})
        EXPECT_EQ(brindlecap::request_string(request, key, "d"), "d") << key;
    EXPECT_EQ(brindlecap::request_string(Json::array({"a"}), "a", "d"), "d");
    EXPECT_EQ(brindlecap::request_string(Json("a"), "a", "d"), "d");
}

TEST(WriteJson, CompactSortedAndEscapedAsTheProtocolSays) {
    const Json value = {{"status", "ok"},
                        {"b", "\"\\\b\t\n\f\r\x01\x1b\x1f\x7f/é😀"},
                        {"a", Json::array({1, -2, 3000000000LL})}};
    EXPECT_EQ(
        brindlecap::write_json(value),
        "{\"a\":[1,-2,3000000000],\"b\":\"\\\"\\\\\\b\\t\\n\\f\\r\\u0001\\u001b\\u001f\x7f/é😀\","
        "\"status\":\"ok\"}");
    EXPECT_EQ(brindlecap::write_json(Json(std::string("\0", 1))), "\"\\u0000\"");
    // Bytes that are not UTF-8 never make the writer fail.
    EXPECT_EQ(brindlecap::write_json(Json("a\xFF")), "\"a\xEF\xBF\xBD\"");
}

TEST(AppendJsonString, WritesWhatTheWriterWrites) {
    std::vector<std::string> values = {"", "plain", "é€😀", std::string("a\0b", 3), "a\"b\\c\x7f/"};
    for (int c = 1; c < 0x80; ++c)
        values.push_back("x" + std::string(1, static_cast<char>(c)) + "y");
    for (const std::string& value : values) {
        std::string out = "[";
        brindlecap::append_json_string(out, value);
        EXPECT_EQ(out, "[" + brindlecap::write_json(Json(value))) << value;
        std::string pieces;
        brindlecap::append_json_escaped(pieces, value.substr(0, value.size() / 2));
        brindlecap::append_json_escaped(pieces, value.substr(value.size() / 2));
        EXPECT_EQ("\"" + pieces + "\"", brindlecap::write_json(Json(value))) << value;
    }
    // Ill-formed bytes: one U+FFFD per maximal ill-formed subpart.
    std::string out;
    brindlecap::append_json_string(out, "a\xE2\x82\"\xFF");
    EXPECT_EQ(out, "\"a\xEF\xBF\xBD\\\"\xEF\xBF\xBD\"");
}

TEST(WriteFailureLine, NamesTheProgramAndTheErrorAndReadsNoProgressAsEio) {
    EXPECT_EQ(brindlecap::write_failure_line("prog", 32),
              "prog: write: Broken pipe (os error 32)\n");
    EXPECT_EQ(brindlecap::write_failure_line("prog", brindlecap::WRITE_NO_PROGRESS),
              "prog: write: Input/output error (os error 5)\n");
}

TEST(ErrorResponse, MessageComesBeforeStatus) {
    EXPECT_EQ(brindlecap::error_response("a \"b\"\n"),
              R"({"message":"a \"b\"\n","status":"error"})");
    std::vector<std::string> messages = {"",
                                         "é€😀\x7f/",
                                         std::string("a\0b", 3),
                                         "\xC3",
                                         "last read: '\xEF'",
                                         "a\xE2\x82\"\xFF",
                                         "\xF0\x9F\x98 \xED\xA0\x80 \xC0\xAF"};
    for (int c = 1; c < 0x80; ++c) messages.push_back("x" + std::string(1, static_cast<char>(c)));
    for (const std::string& message : messages)
        EXPECT_EQ(brindlecap::error_response(message),
                  brindlecap::write_json(Json{{"message", message}, {"status", "error"}}))
            << message;
}

}  // namespace
