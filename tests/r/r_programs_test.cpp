// The R programs the engine builds, as pure functions against tables.
#include "engines/r/r_programs.h"
#include "tests/support/tables.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace {

using brindlecap::test::load_tab_rows;
namespace r = brindlecap::r;

std::string table(const char* name) { return std::string(TABLES) + "/" + name; }

TEST(MatchScriptTemplate, IsTheFixedProgram) {
    const std::string_view t = r::match_script_template;
    EXPECT_EQ(t.size(), 830u);
    EXPECT_TRUE(t.starts_with("\np <- \"__P__\"\n"));
    EXPECT_TRUE(t.ends_with("\n    cat(\"\\n\")\n  }\n}\n"));
    for (std::string_view placeholder : {"__P__", "__T__", "__IC__"}) {
        const std::size_t first = t.find(placeholder);
        EXPECT_NE(first, std::string_view::npos) << placeholder;
        EXPECT_EQ(t.find(placeholder, first + 1), std::string_view::npos) << placeholder;
    }
    std::size_t lines = 0;
    for (char c : t) {
        lines += c == '\n';
        EXPECT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7f));
    }
    EXPECT_EQ(lines, 33u);
}

TEST(EscapeRString, EscapesWhatWouldEndTheStringOrTheLine) {
    for (const auto& row : load_tab_rows(table("escape_cases.txt"), 2)) {
        EXPECT_EQ(r::escape_r_string(row.fields[0]), row.fields[1]) << row.where;
    }
}

TEST(RIgnoreCaseLiteral, CountsOnlyALowerCaseI) {
    for (const auto& row : load_tab_rows(table("ignore_case_cases.txt"), 2)) {
        EXPECT_EQ(r::r_ignore_case_literal(row.fields[0]), row.fields[1]) << row.where;
    }
}

// For "test" the rest of the program is the template unchanged.
TEST(Programs, CarryEveryValueExactlyAsSent) {
    for (const auto& row : load_tab_rows(table("program_cases.txt"), 6)) {
        const auto& f = row.fields;
        if (f[0] == "test") {
            const std::string program = r::build_match_program(f[1], f[2], f[3]);
            const std::string head = "\n" + f[5] + "\n";
            ASSERT_TRUE(program.starts_with(head)) << row.where << "\n" << program;
            const std::string_view tail = r::match_script_template.substr(
                r::match_script_template.find("\nif (m[[1]][1] > 0) {"));
            EXPECT_EQ(program.substr(head.size() - 1), tail) << row.where;
        } else if (f[0] == "replace") {
            EXPECT_EQ(r::build_replace_program(f[1], f[2], f[3], f[4]), f[5]) << row.where;
        } else {
            EXPECT_EQ(r::build_validate_program(f[1], f[2], f[3]), f[5]) << row.where;
        }
    }
}

// The statements' pieces, with the escapes undone; an empty optional for a
// piece that R would not read as one complete string on its own line, or
// one with more than a few semicolons, each of which makes R parse the line
// again.
std::optional<std::vector<std::string>> read_pieces(const std::string& name,
                                                    std::string_view statements) {
    std::vector<std::string_view> lines;
    for (std::size_t at = 0; at < statements.size();) {
        const std::size_t feed = statements.find('\n', at);
        if (feed == std::string_view::npos || feed + 1 - at > 4000) {
            return std::nullopt;
        }
        lines.push_back(statements.substr(at, feed - at));
        at = feed + 1;
    }
    if (lines.size() < 3) {
        return std::nullopt;
    }
    const std::size_t count = lines.size() - 2;
    if (lines.front() != name + " <- character(" + std::to_string(count) + ")" ||
        lines.back() != name + " <- paste(" + name + ", collapse = \"\")") {
        return std::nullopt;
    }
    std::vector<std::string> pieces;
    for (std::size_t k = 1; k <= count; ++k) {
        std::string_view line = lines[k];
        const std::string head = name + "[" + std::to_string(k) + "] <- \"";
        if (!line.starts_with(head) || !line.ends_with('"')) {
            return std::nullopt;
        }
        line = line.substr(head.size(), line.size() - head.size() - 1);
        if (std::count(line.begin(), line.end(), ';') > 8) {
            return std::nullopt;
        }
        std::string piece;
        for (std::size_t i = 0; i < line.size(); ++i) {
            const char c = line[i];
            if (c == '"' || c == '\r' || c == '\0') {
                return std::nullopt;
            }
            if (c != '\\') {
                piece += c;
                continue;
            }
            const std::string_view escape = line.substr(i + 1, 1);
            if (escape == "\\" || escape == "\"") {
                piece += escape;
            } else if (escape == "n") {
                piece += '\n';
            } else if (escape == "r") {
                piece += '\r';
            } else {
                return std::nullopt;
            }
            ++i;
        }
        pieces.push_back(piece);
    }
    return pieces;
}

bool begins_a_character(char c) { return (static_cast<unsigned char>(c) & 0xc0) != 0x80; }

TEST(ValueStatements, AShortValueTakesTheOneLiteralLine) {
    EXPECT_EQ(r::value_statements("t", "a\"b\n;"), "t <- \"a\\\"b\\n;\"\n");
    // The line, its line feed included, just fits.
    const std::string fits(4000 - 8, 'x');
    EXPECT_EQ(r::value_statements("t", fits), "t <- \"" + fits + "\"\n");
    EXPECT_TRUE(r::value_statements("t", fits + "x").starts_with("t <- character(2)\n"));
}

// Whatever a long value holds, each line is one complete statement within
// the limit, no piece ends inside a character, and the pieces join to the
// value (less its NULs).
TEST(ValueStatements, ALongValueTakesOneCompleteStatementPerLine) {
    using namespace std::string_view_literals;
    for (std::string_view unit :
         {"a"sv, "\xc3\xa9"sv, "\xe2\x82\xac"sv, "\xf0\x9f\x98\x80"sv, "\""sv, "\\"sv, "\r"sv,
          "\n"sv, ";"sv, "\r\n"sv, "\0x"sv, "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\"\\\r\n;"sv}) {
        for (std::size_t lead = 0; lead < 4; ++lead) {
            std::string value(lead, 'a');
            while (value.size() < 9000) {
                value += unit;
            }
            const auto pieces = read_pieces("v", r::value_statements("v", value));
            ASSERT_TRUE(pieces) << unit << " after " << lead;
            std::string joined;
            for (const std::string& piece : *pieces) {
                EXPECT_TRUE(piece.empty() || begins_a_character(piece.front())) << unit;
                joined += piece;
            }
            std::erase(value, '\0');
            EXPECT_EQ(joined, value) << unit << " after " << lead;
        }
    }
}

// A stray continuation byte, which no request can bring, still gives lines
// within the limit.
TEST(ValueStatements, BytesThatAreNoCharactersStillFit) {
    const auto pieces = read_pieces("v", r::value_statements("v", std::string(9000, '\x80')));
    ASSERT_TRUE(pieces);
}

// The one-line programs are kept while they fit a line of R's input.
TEST(Programs, TakeTheLongFormOnlyWhenALineWouldNotFit) {
    const std::string replace_head = "cat(gsub(\"a\",\"b\",\"";
    const std::string replace_tail = "\",perl=TRUE,ignore.case=FALSE))";
    std::string text(4000 - 1 - replace_head.size() - replace_tail.size(), 'x');
    EXPECT_EQ(r::build_replace_program("a", "", text, "b"), replace_head + text + replace_tail);
    // TRUE is a byte shorter than FALSE.
    EXPECT_EQ(r::build_replace_program("a", "i", text + "x", "b").find('\n'), std::string::npos);
    EXPECT_EQ(r::build_replace_program("a", "i", text + "xx", "b"),
              r::value_statements("p", "a") + r::value_statements("r", "b") +
                  r::value_statements("t", text + "xx") +
                  "cat(.Internal(do.call(\"gsub\", list(p, r, t, perl = TRUE, ignore.case = TRUE), "
                  "globalenv())))");
    const std::string validate_head = "cat(as.integer(grepl(\"a\",\"";
    const std::string validate_tail = "\",perl=TRUE,ignore.case=FALSE)))";
    text.assign(4000 - 1 - validate_head.size() - validate_tail.size(), 'x');
    EXPECT_EQ(r::build_validate_program("a", "", text), validate_head + text + validate_tail);
    EXPECT_EQ(r::build_validate_program("a", "", text + "x"),
              r::value_statements("p", "a") + r::value_statements("t", text + "x") +
                  "cat(as.integer(.Internal(do.call(\"grepl\", list(p, t, perl = TRUE, ignore.case "
                  "= FALSE), "
                  "globalenv()))))");
    // In "test" each value line is filled on its own; the rest stays the template.
    const std::string long_text(5000, 'y');
    const std::string program = r::build_match_program("a", "", long_text);
    const std::string_view tail =
        r::match_script_template.substr(r::match_script_template.find("m <- gregexpr"));
    std::string expected_tail(tail);
    expected_tail.replace(expected_tail.find("__IC__"), 6, "FALSE");
    EXPECT_EQ(program, "\np <- \"a\"\n" + r::value_statements("t", long_text) + expected_tail);
}

}  // namespace
