// The engine's pure functions and its platform layer, from tables of cases.
#include "base/utf8.h"
#include "engines/foundation/engine.h"
#include "engines/foundation/platform.h"
#include "tests/support/tables.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>
#include <cstdio>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace brindlecap::foundation;

struct Row {
    int line = 0;
    std::vector<std::string> fields;  // unescaped
    std::vector<bool> none;           // the field was written (none)
};

// Tab-separated rows; a field written (empty) is the empty text, one written
// (none) is missing.
std::vector<Row> load_rows(const std::string& name) {
    std::vector<Row> rows;
    for (brindlecap::test::TabRow& tab_row :
         brindlecap::test::load_tab_rows(std::string(CASES_DIR) + "/" + name)) {
        Row row{tab_row.line, std::move(tab_row.fields), {}};
        for (std::string& field : row.fields) {
            row.none.push_back(field == "(none)");
            if (field == "(empty)" || field == "(none)") field.clear();
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

std::string where(const std::string& file, const Row& row) {
    return brindlecap::test::where(file, row.line);
}

// What a writer without a stream holds after `write`.
template <typename Write>
std::string written(Write write) {
    ResponseWriter out;
    write(out);
    return std::string(response_text(out));
}

std::string escaped(std::string_view text) {
    return written([&](ResponseWriter& out) { json_escape(out, text); });
}

// The response to one request line, built whole.
std::string response_to(std::string_view line) {
    Workspace work = make_workspace(nullptr);
    respond(line, work);
    return std::string(response_text(work.out));
}

// Texts are escaped alike from their bytes (names, the replaced text) and
// from their UTF-16 units (matched texts).
TEST(FoundationJsonEscape, Table) {
    platform::Text text;
    for (const Row& row : load_rows("json_escape_cases.txt")) {
        ASSERT_EQ(row.fields.size(), 2u) << where("json_escape_cases.txt", row);
        EXPECT_EQ(escaped(row.fields[0]), row.fields[1]) << where("json_escape_cases.txt", row);
        platform::set_text(text, row.fields[0]);
        EXPECT_EQ(written([&](ResponseWriter& out) {
                      json_escape_units(out, text.units.get(), text.size);
                  }),
                  row.fields[1])
            << where("json_escape_cases.txt", row) << " (units)";
    }
}

TEST(FoundationErrorResponse, StatusComesFirstAndTheMessageIsEscaped) {
    EXPECT_EQ(written([](ResponseWriter& out) { error_to_json(out, "bad request JSON"); }),
              R"({"status":"error","message":"bad request JSON"})");
    EXPECT_EQ(written([](ResponseWriter& out) { error_to_json(out, "a\"\n\x01"); }),
              R"({"status":"error","message":"a\"\n\u0001"})");
}

TEST(FoundationOptionsFromFlags, Table) {
    for (const Row& row : load_rows("flag_cases.txt")) {
        ASSERT_EQ(row.fields.size(), 2u) << where("flag_cases.txt", row);
        EXPECT_EQ(options_from_flags(row.fields[0]), std::stoul(row.fields[1]))
            << where("flag_cases.txt", row) << " flags '" << row.fields[0] << "'";
    }
}

TEST(FoundationScanGroupNames, Table) {
    for (const Row& row : load_rows("group_name_cases.txt")) {
        GroupNameMap expected;
        for (std::size_t i = 1; i < row.fields.size(); ++i) {
            const std::size_t eq = row.fields[i].find('=');
            ASSERT_NE(eq, std::string::npos) << where("group_name_cases.txt", row);
            expected[std::stoul(row.fields[i].substr(0, eq))] = row.fields[i].substr(eq + 1);
        }
        EXPECT_EQ(scan_group_names(row.fields[0]), expected)
            << where("group_name_cases.txt", row) << " pattern '" << row.fields[0] << "'";
    }
}

// ASCII patterns are scanned without a break iterator, byte by byte: the
// result must be that of the scan over the pattern's clusters.
TEST(FoundationScanGroupNames, AsciiPatternsAgreeWithTheClusterScan) {
    std::vector<std::string> patterns;
    for (const Row& row : load_rows("group_name_cases.txt")) patterns.push_back(row.fields[0]);
    std::mt19937 random(7);
    const std::string alphabet = "()?<>'P=![]\\\r\nab#";
    for (int k = 0; k < 20000; ++k) {
        std::string pattern(random() % 14, ' ');
        for (char& c : pattern) c = alphabet[random() % alphabet.size()];
        patterns.push_back(pattern);
    }
    for (const std::string& pattern : patterns) {
        EXPECT_EQ(scan_group_names(pattern),
                  scan_group_names_of_characters(platform::characters(pattern)))
            << testing::PrintToString(pattern);
    }
}

TEST(FoundationScanGroupNames, EmptyPattern) { EXPECT_TRUE(scan_group_names("").empty()); }

// A literal in a pattern.
std::string quoted_literal(const std::string& text) {
    return text.empty() ? "" : "\\Q" + text + "\\E";
}

// Each row is one match, at the start of the text, whose whole text is
// group 0; the other groups are captured by a lookahead from the text after
// it, and a group written (none) is one that cannot take part.
TEST(FoundationTemplateExpansion, Table) {
    for (const Row& row : load_rows("template_cases.txt")) {
        ASSERT_GE(row.fields.size(), 3u) << where("template_cases.txt", row);
        std::string pattern = "^" + quoted_literal(row.fields[2]) + "(?=";
        std::string rest;
        for (std::size_t i = 3; i < row.fields.size(); ++i) {
            pattern += row.none[i] ? "((?!))?" : "(" + quoted_literal(row.fields[i]) + ")";
            rest += row.fields[i];
        }
        pattern += ")";
        const platform::CompileResult compiled = platform::compile_regex(pattern, 0);
        ASSERT_TRUE(compiled.regex) << where("template_cases.txt", row) << " " << pattern;
        platform::Text text;
        platform::set_text(text, row.fields[2] + rest);
        std::string result;
        const platform::MatchingStatus status = platform::replace_matches(
            result, *compiled.regex, text, {0, platform::length(text)}, row.fields[0]);
        EXPECT_FALSE(status.internal_error) << where("template_cases.txt", row);
        EXPECT_EQ(result, row.fields[1] + rest)
            << where("template_cases.txt", row) << " template '" << row.fields[0] << "'";
    }
}

// The JSON reader's decoding of a line it refuses as it stands.
TEST(FoundationDecodeUtf8, Table) {
    for (const Row& row : load_rows("utf8_cases.txt")) {
        ASSERT_EQ(row.fields.size(), 2u) << where("utf8_cases.txt", row);
        EXPECT_EQ(brindlecap::decode_with_replacement(row.fields[0]), row.fields[1])
            << where("utf8_cases.txt", row);
    }
}

// What a reader made of a line: null when refused, else the string members
// among the probe keys and those the row names.
std::optional<std::map<std::string, std::string>> members_of(const platform::JsonObjectPtr& object,
                                                             const std::vector<std::string>& keys) {
    if (!object) return std::nullopt;
    std::map<std::string, std::string> members;
    for (const std::string& key : keys) {
        if (const auto value = platform::string_member(*object, key))
            members[key] = std::string(*value);
    }
    return members;
}

TEST(FoundationJsonReader, Table) {
    platform::JsonReader reader = platform::make_json_reader();
    for (const Row& row : load_rows("json_reader_cases.txt")) {
        const std::string& line = row.fields[0];
        std::vector<std::string> keys = {"a", "b", "c", "d", "op", "z"};
        std::optional<std::map<std::string, std::string>> expected;
        if (row.fields.size() != 2 || row.fields[1] != "(refused)") {
            expected.emplace();
            for (std::size_t i = 1; i < row.fields.size(); ++i) {
                const std::size_t eq = row.fields[i].find('=');
                ASSERT_NE(eq, std::string::npos) << where("json_reader_cases.txt", row);
                keys.push_back(row.fields[i].substr(0, eq));
                (*expected)[keys.back()] = row.fields[i].substr(eq + 1);
            }
        }
        EXPECT_EQ(members_of(platform::json_object_with_line(reader, line), keys), expected)
            << where("json_reader_cases.txt", row);
        EXPECT_EQ(members_of(platform::json_object_with_line_by_events(line), keys), expected)
            << where("json_reader_cases.txt", row) << " (event parser)";
    }
}

// Random lines, well-formed or nearly so: the fast parser and the event
// parser give the same answer to each.
TEST(FoundationJsonReader, BothParsersAgreeOnRandomLines) {
    const std::vector<std::string> tokens = {"{",
                                             "}",
                                             "[",
                                             "]",
                                             ":",
                                             ",",
                                             " ",
                                             "\t",
                                             "\r",
                                             "\"op\"",
                                             "\"text\"",
                                             "\"a\"",
                                             "\"x\"",
                                             "\"\\u00e9\"",
                                             "\"\\ud83d\\ude00\"",
                                             "\"\\ud800\"",
                                             "\"\\u0000\"",
                                             "\"\\/\\n\"",
                                             "\"a\x01\"",
                                             "\"\xc3\xa9\"",
                                             "\xff",
                                             "\"\xed\xa0\x80\"",
                                             "1",
                                             "-0",
                                             "1.5",
                                             "1e400",
                                             "123456789012345678901234567890",
                                             "01",
                                             "true",
                                             "nul",
                                             "null",
                                             "\xef\xbb\xbf",
                                             "\"\\q\"",
                                             "\x0b"};
    std::mt19937 random(11);
    platform::JsonReader reader = platform::make_json_reader();
    const std::vector<std::string> keys = {"op", "text", "a", "x"};
    for (int k = 0; k < 20000; ++k) {
        std::string line;
        if (k % 2 == 0) {
            // An object of members, each value a token, sometimes spoilt.
            line = "{";
            for (std::size_t m = random() % 4; m > 0; --m) {
                line += tokens[9 + random() % 4] + ":" + tokens[9 + random() % (tokens.size() - 9)];
                if (m > 1) line += ",";
            }
            line += "}";
            if (random() % 4 == 0)
                line.insert(random() % (line.size() + 1), tokens[random() % tokens.size()]);
        } else {
            for (std::size_t n = random() % 8; n > 0; --n) line += tokens[random() % tokens.size()];
        }
        EXPECT_EQ(members_of(platform::json_object_with_line(reader, line), keys),
                  members_of(platform::json_object_with_line_by_events(line), keys))
            << testing::PrintToString(line);
    }
}

// A raw NUL byte after the value (or anywhere) is not part of one JSON value.
TEST(FoundationJsonReader, RawNulBytesAreRefused) {
    using namespace std::string_view_literals;
    platform::JsonReader reader = platform::make_json_reader();
    for (const std::string_view line : {"{}\0"sv, "{} \0{}"sv, "{\"a\":\"x\"}\0 x"sv, "[]\0[]"sv,
                                        "{\"a\":\"x\0\"}"sv, "{\"a\":\0\"x\"}"sv, "\0{}"sv}) {
        EXPECT_EQ(platform::json_object_with_line(reader, line), nullptr)
            << testing::PrintToString(std::string(line));
    }
}

std::string nested(std::size_t depth) {
    return R"({"op":"x","a":)" + std::string(depth, '[') + std::string(depth, ']') + "}";
}

TEST(FoundationJsonReader, NestingIsLimited) {
    platform::JsonReader reader = platform::make_json_reader();
    for (const std::size_t depth : {511, 512, 2'000'000}) {
        const bool deep = depth >= 512;
        EXPECT_EQ(platform::json_object_with_line(reader, nested(depth)) == nullptr, deep) << depth;
        EXPECT_EQ(platform::json_object_with_line_by_events(nested(depth)) == nullptr, deep)
            << depth;
    }
    // A long line makes the reader give its buffers back; the limit holds
    // for the lines after it.
    EXPECT_NE(
        platform::json_object_with_line(reader, R"({"a":")" + std::string(20'000'000, 'x') + "\"}"),
        nullptr);
    platform::release_large_buffers(reader);
    EXPECT_NE(platform::json_object_with_line(reader, nested(511)), nullptr);
    EXPECT_EQ(platform::json_object_with_line(reader, nested(512)), nullptr);
    EXPECT_EQ(platform::json_object_with_line(reader, nested(1000)), nullptr);
    EXPECT_EQ(response_to(nested(2'000'000)), R"({"status":"error","message":"bad request JSON"})");
}

std::string match_json(const platform::Range* ranges, std::size_t count, const platform::Text& text,
                       const GroupNameMap& names) {
    return written([&](ResponseWriter& out) {
        match_to_json(out, platform::TextCheckingResult(ranges, count), text, names);
    });
}

TEST(FoundationTexts, RangesCountUtf16UnitsAndLoneSurrogatesBecomeReplacements) {
    platform::Text text;
    platform::set_text(text,
                       "a\xF0\x9F\x98\x80"
                       "b");
    EXPECT_EQ(platform::length(text), 4u);
    // Whole pairs, halves of a pair, and ranges running past the end.
    const platform::Range ranges[] = {{1, 2}, {1, 1}, {2, 2}, {3, 9}, {9, 1}};
    EXPECT_EQ(match_json(ranges, 5, text, {}),
              "{\"match\":\"\xF0\x9F\x98\x80\",\"index\":1,\"captures\":[\"\xEF\xBF\xBD\","
              "\"\xEF\xBF\xBD"
              "b\",\"b\",\"\"],\"groups\":{}}");
}

TEST(FoundationMatchToJson, PiecesInTheirFixedOrder) {
    platform::Text text;
    platform::set_text(text, "xa\"b");
    const platform::Range ranges[] = {{1, 3}, {1, 1}, {platform::NOT_FOUND, 0}, {3, 0}, {2, 2}};
    const GroupNameMap names = {{1, "one"}, {2, "two"}, {3, "three"}, {7, "seven"}};
    EXPECT_EQ(
        match_json(ranges, 5, text, names),
        R"({"match":"a\"b","index":1,"captures":["a",null,"","\"b"],"groups":{"one":"a","three":""}})");
    // Plain texts with a name that needs escaping, and a text outside the
    // searched text.
    const platform::Range plain[] = {{0, 2}, {0, 1}, {9, 1}};
    EXPECT_EQ(match_json(plain, 3, text, {{1, "q\"\\"}, {2, "r"}}),
              R"({"match":"xa","index":0,"captures":["x",""],"groups":{"q\"\\":"x","r":""}})");
}

// An entry too long for room made at once is written piece by piece, in
// the same form.
TEST(FoundationMatchToJson, LongEntries) {
    std::string utf8;
    for (int i = 0; i < 3000; ++i) utf8 += i % 5 == 0 ? "\"\x01" : "\xF0\x9F\x98\x80";
    platform::Text text;
    platform::set_text(text, utf8);
    EXPECT_EQ(text.size, 6000u);
    // Units 2 to 8: three whole pairs and the first half of one.
    const platform::Range ranges[] = {{0, 6000}, {2, 7}, {platform::NOT_FOUND, 0}};
    const std::string group = "\xF0\x9F\x98\x80\xF0\x9F\x98\x80\xF0\x9F\x98\x80\xEF\xBF\xBD";
    const std::string name(5000, 'n');
    EXPECT_EQ(match_json(ranges, 3, text, {{1, name}, {2, "m"}}),
              R"({"match":")" + escaped(utf8) + R"(","index":0,"captures":[")" + group +
                  R"(",null],"groups":{")" + name + R"(":")" + group + R"("}})");
}

// A search that needs a deep backtracking stack still finds its matches:
// the stack has no limit short of the most ICU's stack vector holds, so only
// a search that would need more than that is given up on.
TEST(FoundationSearch, DeepBacktrackingIsNotCutShort) {
    std::string text;
    for (int i = 0; i < 300000; ++i) text += "ab";
    const std::string response = response_to(R"({"pattern":"(a|b)*","text":")" + text + "\"}");
    EXPECT_EQ(response.substr(0, 40), R"({"status":"ok","matches":[{"match":"abab)");
    const std::string tail = R"(,"index":0,"captures":["b"],"groups":{}},)"
                             R"({"match":"","index":600000,"captures":[null],"groups":{}}]})";
    ASSERT_GE(response.size(), tail.size());
    EXPECT_EQ(response.substr(response.size() - tail.size()), tail);
    EXPECT_EQ(response_to(R"({"op":"replace","pattern":"(.)*","replacement":"<$1>","text":")" +
                          text + "\"}"),
              R"({"status":"ok_replace","result":"<b><>"})");
}

std::string read_all(std::FILE* file) {
    std::rewind(file);
    std::string bytes;
    char buffer[4096];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes.append(buffer, got);
    return bytes;
}

// A long response handed on in chunks as it is built is the same bytes as
// the response built whole: many matches (more than one block of them),
// texts to escape and non-ASCII texts at every chunk boundary.
TEST(FoundationResponseWriter, ChunkedResponsesEqualWholeOnes) {
    std::string text;
    for (int i = 0; i < 40000; ++i) text += i % 7 == 0 ? "\"\x01\xC3\xA9" : "ab\xF0\x9F\x98\x80";
    text += '!';
    const struct {
        const char* op;
        const char* pattern;
    } requests[] = {
        {"test", "(.)(?<n>.)?"}, {"test", "x"}, {"replace", "(a)|\\p{So}"}, {"bogus", ""}};
    for (const auto& r : requests) {
        const std::string line = std::string(R"({"op":")") + r.op + R"(","pattern":")" +
                                 escaped(r.pattern) + R"(","text":")" + escaped(text) +
                                 R"(","replacement":"<$1>"})";
        std::FILE* file = std::tmpfile();
        ASSERT_NE(file, nullptr);
        Workspace work = make_workspace(file);
        respond(line, work);
        std::fwrite(work.out.buffer.get(), 1, work.out.size, file);
        EXPECT_EQ(read_all(file), response_to(line)) << r.op << " " << r.pattern;
        std::fclose(file);
    }
    const std::string whole =
        response_to(R"({"pattern":"(.)(?<n>.)?","text":")" + escaped(text) + "\"}");
    EXPECT_GT(whole.size(), 1000000u);
    const std::string tail = R"({"match":"!","index":154285,"captures":["!",null],"groups":{}}]})";
    EXPECT_EQ(whole.substr(whole.size() - tail.size()), tail);
    std::size_t entries = 0;
    for (std::size_t at = whole.find("{\"match\":"); at != std::string::npos;
         at = whole.find("{\"match\":", at + 1)) {
        ++entries;
    }
    EXPECT_EQ(entries, 60001u);  // one for every two of the 120001 characters
}

// One workspace serves request after request with the buffers of the last:
// each response is the one a fresh workspace gives, whatever came before
// (longer texts, more matches, more or fewer groups, a failed compile).
TEST(FoundationWorkspace, ReusedBuffersGiveTheAnswersOfFreshOnes) {
    std::string long_text;
    for (int i = 0; i < 50000; ++i) long_text += i % 3 == 0 ? "ab\xC3\xA9 " : "x\xF0\x9F\x98\x80y ";
    const auto request = [](const std::string& op, const std::string& pattern,
                            const std::string& text) {
        return R"({"op":")" + op + R"(","pattern":")" + escaped(pattern) + R"(","text":")" +
               escaped(text) + R"(","replacement":"[$2$1]"})";
    };
    const std::vector<std::string> lines = {
        request("test", "(\\w)(?<n>\\w)?", long_text),
        request("test", "y", "xyz"),
        request("test", "(", long_text),
        request("replace", "(b)|(y)", long_text),
        request("test", "((((a))))(b)", "ab ab"),
        request("test", "", ""),
        request("test", "\\s", long_text),
        request("replace", "x", "axb"),
        "[]",
        request("test", "(?<n>.)", "\xC3\xA9"),
    };
    Workspace work = make_workspace(nullptr);
    for (const std::string& line : lines) {
        respond(line, work);
        EXPECT_EQ(response_text(work.out), response_to(line)) << line.substr(0, 60);
    }
}

// Lines longer than the reader's buffer, split across reads, and the
// terminators at the end of input.
TEST(FoundationLineReader, LongLinesAndTheLastLine) {
    const std::string path = ::testing::TempDir() + "foundation_lines.txt";
    const std::string long_line(200000, 'x');
    {
        std::ofstream file(path, std::ios::binary);
        file << long_line << "\r\n"
             << "a\xFF\r\r\n"
             << "\n"
             << "b\r";
    }
    platform::LineReader reader;
    reader.fd = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(reader.fd, 0);
    EXPECT_EQ(platform::read_line(reader), long_line);
    EXPECT_EQ(platform::read_line(reader), "a\xFF\r");
    EXPECT_EQ(platform::read_line(reader), "");
    EXPECT_EQ(platform::read_line(reader), "b");
    EXPECT_EQ(platform::read_line(reader), std::nullopt);
    EXPECT_EQ(platform::read_line(reader), std::nullopt);
    ::close(reader.fd);
    std::remove(path.c_str());
}

// Input that arrives a byte at a time through a pipe, so that reads end at
// every place in a line, between a CR and its LF included.
TEST(FoundationLineReader, BytesArrivingOneByOne) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const std::string input =
        std::string("{\"op\":\"x\"}\r\n\r\n") + std::string(70000, 'y') + "\n\xFF\xC3\r\r\nz\r";
    std::thread writer([&] {
        for (const char c : input) {
            if (::write(fds[1], &c, 1) != 1) break;
        }
        ::close(fds[1]);
    });
    platform::LineReader reader;
    reader.fd = fds[0];
    std::vector<std::string> lines;
    while (const auto line = platform::read_line(reader)) lines.emplace_back(*line);
    writer.join();
    ::close(fds[0]);
    const std::vector<std::string> expected = {"{\"op\":\"x\"}", "", std::string(70000, 'y'),
                                               "\xFF\xC3\r", "z"};
    EXPECT_EQ(lines, expected);
}

}  // namespace
