// The R programs the engine builds and the reading of the match program's
// output, as pure functions against tables.
#include "r_programs.h"
#include "table.h"

#include <gtest/gtest.h>

namespace {

using brindlecap::test::load_table;
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
    for (const auto& row : load_table(table("escape_cases.txt"), 2)) {
        EXPECT_EQ(r::escape_r_string(row.fields[0]), row.fields[1]) << row.where;
    }
}

TEST(RIgnoreCaseLiteral, CountsOnlyALowerCaseI) {
    for (const auto& row : load_table(table("ignore_case_cases.txt"), 2)) {
        EXPECT_EQ(r::r_ignore_case_literal(row.fields[0]), row.fields[1]) << row.where;
    }
}

// For "test" the rest of the program is the template unchanged.
TEST(Programs, CarryEveryValueExactlyAsSent) {
    for (const auto& row : load_table(table("program_cases.txt"), 6)) {
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

TEST(ParseMatchOutput, ReadsTheHeaderAndWellFormedMatchLines) {
    for (const auto& row : load_table(table("match_output_cases.txt"), 2)) {
        brindlecap::Json matches = brindlecap::Json::array();
        for (auto& entry : r::parse_match_output(row.fields[0])) {
            matches.push_back(std::move(entry));
        }
        EXPECT_EQ(brindlecap::write_json(matches), row.fields[1]) << row.where;
    }
}

TEST(ParseMatchLine, NamesBeyondTheCapturesAreLeftOut) {
    auto entry = r::parse_match_line({"a", "b", "c"}, "4\t1\tx\ty");
    ASSERT_TRUE(entry);
    EXPECT_EQ(brindlecap::write_json(*entry), R"({"captures":["y"],"groups":{"a":"y"},"index":4,"match":"x"})");
    EXPECT_FALSE(r::parse_match_line({}, " \t "));
}

}  // namespace
