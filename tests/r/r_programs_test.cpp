// The R programs the engine builds, as pure functions against tables.
#include "engines/r/r_programs.h"
#include "tests/support/tables.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
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

std::vector<std::string_view> program_lines(std::string_view statements) {
    std::vector<std::string_view> lines;
    for (std::size_t at = 0; at < statements.size();) {
        std::size_t feed = statements.find('\n', at);
        if (feed == std::string_view::npos) {
            feed = statements.size();
        }
        lines.push_back(statements.substr(at, feed - at));
        at = feed + 1;
    }
    return lines;
}

// A long value read as data: the value R holds after the statements, and the
// literal whose encoding mark it takes; an empty optional unless the first
// line reads the second as data and every other line is one of the complete
// statements that set back its line ends and its mark.
struct DataValue {
    std::string value;
    std::optional<std::string> mark_of;
};

std::optional<DataValue> read_data_value(const std::string& name, std::string_view statements) {
    const std::vector<std::string_view> lines = program_lines(statements);
    if (lines.size() < 2 || lines[0] != name + " <- readLines(stdin(), n = 1L)" ||
        !statements.ends_with('\n')) {
        return std::nullopt;
    }
    DataValue read{std::string(lines[1]), std::nullopt};
    if (read.value.find_first_of(std::string_view("\r\0", 2)) != std::string::npos) {
        return std::nullopt;
    }
    // Each line end is set back by a statement of this shape, the stand-in
    // byte written as an octal escape.
    const auto restore = [&name](unsigned from, char to) {
        const std::string escape = {'\\', static_cast<char>('0' + (from >> 6)),
                                    static_cast<char>('0' + ((from >> 3) & 7)),
                                    static_cast<char>('0' + (from & 7))};
        const std::string args = "\"" + escape + "\", \"\\" + to + "\", " + name;
        return name + " <- if (l10n_info()[[\"MBCS\"]]) gsub(" + args +
               ", fixed = TRUE, useBytes = TRUE) else chartr(" + args + ")";
    };
    std::size_t k = 2;
    for (; k < lines.size() && lines[k].starts_with(name + " <- if ("); ++k) {
        bool known = false;
        for (unsigned from = 1; from <= 0x7f && !known; ++from) {
            for (const char to : {'n', 'r'}) {
                if (lines[k] == restore(from, to)) {
                    std::replace(read.value.begin(), read.value.end(), static_cast<char>(from),
                                 to == 'n' ? '\n' : '\r');
                    known = true;
                    break;
                }
            }
        }
        if (!known) {
            return std::nullopt;
        }
    }
    const std::string mark_head = "Encoding(" + name + ") <- Encoding(\"";
    if (k < lines.size() && lines[k].starts_with(mark_head) && lines[k].ends_with("\")")) {
        read.mark_of =
            std::string(lines[k].substr(mark_head.size(), lines[k].size() - mark_head.size() - 2));
        ++k;
    }
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i != 1 && lines[i].size() + 1 > 4000) {
            return std::nullopt;
        }
    }
    return k == lines.size() ? std::optional(read) : std::nullopt;
}

// The first character of a value that is not ASCII: a lead byte with the
// continuation bytes that follow it, up to four bytes; a stray continuation
// byte alone.
std::optional<std::string> first_wide_character(std::string_view value) {
    const std::size_t at =
        std::find_if(value.begin(), value.end(),
                     [](char c) { return static_cast<unsigned char>(c) >= 0x80; }) -
        value.begin();
    if (at == value.size()) {
        return std::nullopt;
    }
    std::size_t end = at + 1;
    while (static_cast<unsigned char>(value[at]) >= 0xc0 && end < value.size() && end - at < 4 &&
           !begins_a_character(value[end])) {
        ++end;
    }
    return std::string(value.substr(at, end - at));
}

TEST(ValueStatements, AShortValueTakesTheOneLiteralLine) {
    EXPECT_EQ(r::value_statements("t", "a\"b\n;"), "t <- \"a\\\"b\\n;\"\n");
    // The line, its line feed included, just fits.
    const std::string fits(4000 - 8, 'x');
    EXPECT_EQ(r::value_statements("t", fits), "t <- \"" + fits + "\"\n");
    EXPECT_EQ(r::value_statements("t", fits + "x"),
              "t <- readLines(stdin(), n = 1L)\n" + fits + "x\n");
    // Escapes count, NULs that are left out do not.
    EXPECT_TRUE(r::value_statements("t", std::string(1996, '"') + std::string(9000, '\0'))
                    .starts_with("t <- \""));
    EXPECT_TRUE(r::value_statements("t", std::string(1997, '\n')).starts_with("t <- readLines"));
}

// One unit of each kind, lines of semicolon-heavy texts (a CSV export, C
// source), and line ends among bytes that could stand in for them.
constexpr std::string_view LONG_VALUE_UNITS[] = {
    "a", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80", "\"", "\\", "\r", "\n", ";", "\r\n",
    std::string_view("\0x", 2), "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\"\\\r\n;",
    "12;M\xc3\xbcller;Stra\xc3\x9f"
    "e 5;80331;M\xc3\xbcnchen;3.12;ja\n",
    "\tif (n > 0) { memcpy(buf, \"a;b\\\"\", n); } // ;;\r\n", ";;;;;;;;;;;;;;;;\n",
    // The first stand-in bytes held by the value itself.
    "\x01\n\x02\r\x03"};

// Whatever a long value holds, R reads it as data on a line of its own, gets
// its line ends back and takes the mark of a literal of its first character
// that is not ASCII; every other line is one complete statement within the
// limit.
TEST(ValueStatements, ALongValueIsReadAsDataAndSetBack) {
    for (std::string_view unit : LONG_VALUE_UNITS) {
        for (std::size_t lead = 0; lead < 4; ++lead) {
            std::string value(lead, 'a');
            while (value.size() < 9000) {
                value += unit;
            }
            const auto read = read_data_value("v", r::value_statements("v", value));
            ASSERT_TRUE(read) << unit << " after " << lead;
            std::erase(value, '\0');
            EXPECT_EQ(read->value, value) << unit << " after " << lead;
            EXPECT_EQ(read->mark_of, first_wide_character(value)) << unit;
        }
    }
}

// A value that holds every byte that could stand in for its line ends is cut
// into literal pieces of a few semicolons each, which join to the value.
TEST(ValueStatements, AValueWithoutAFreeStandInIsCutIntoPieces) {
    std::string every_stand_in;
    for (int c = 1; c < 0x20; ++c) {
        if (c != '\t' && c != '\n' && c != '\r') {
            every_stand_in += static_cast<char>(c);
        }
    }
    every_stand_in += '\x7f';
    for (std::string_view unit : LONG_VALUE_UNITS) {
        std::string value = every_stand_in;
        while (value.size() < 9000) {
            value += unit;
        }
        const std::string statements = r::value_statements("v", value);
        const bool line_ends = value.find_first_of("\r\n") != std::string::npos;
        EXPECT_EQ(statements.starts_with("v <- character("), line_ends) << unit;
        if (!line_ends) {
            continue;
        }
        const auto pieces = read_pieces("v", statements);
        ASSERT_TRUE(pieces) << unit;
        std::string joined;
        for (const std::string& piece : *pieces) {
            EXPECT_TRUE(piece.empty() || begins_a_character(piece.front())) << unit;
            joined += piece;
        }
        std::erase(value, '\0');
        EXPECT_EQ(joined, value) << unit;
    }
}

// A stray continuation byte, which no request can bring, still gives lines
// within the limit, and is read back as it was.
TEST(ValueStatements, BytesThatAreNoCharactersStillFit) {
    const std::string value(9000, '\x80');
    const auto read = read_data_value("v", r::value_statements("v", value));
    ASSERT_TRUE(read);
    EXPECT_EQ(read->value, value);
    EXPECT_EQ(read->mark_of, "\x80");
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
