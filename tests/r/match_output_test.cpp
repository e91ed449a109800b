// The reading of the match program's output, as pure functions against a
// table.
#include "engines/r/match_output.h"
#include "tests/support/tables.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using brindlecap::test::load_tab_rows;
namespace r = brindlecap::r;

TEST(ParseMatchOutput, ReadsTheHeaderAndWellFormedMatchLines) {
    for (const auto& row : load_tab_rows(std::string(TABLES) + "/match_output_cases.txt", 2)) {
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
    EXPECT_EQ(brindlecap::write_json(*entry),
              R"({"captures":["y"],"groups":{"a":"y"},"index":4,"match":"x"})");
    EXPECT_FALSE(r::parse_match_line({}, " \t "));
}

}  // namespace
