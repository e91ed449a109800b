// The shell engine's pure functions, driven by the tables in this folder.
#include "engines/shell/expansion.h"
#include "engines/shell/limits.h"
#include "engines/shell/pattern.h"
#include "engines/shell/replacement.h"
#include "engines/shell/search.h"
#include "tests/support/tables.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdint>

#include <string>
#include <variant>
#include <vector>

namespace brindlecap::shell {
namespace {

std::vector<test::JsonRow> rows(const char* name) {
    return test::load_json_rows(std::string(TABLE_DIR) + "/" + name);
}

// Tables of [input, expected output] rows for a function of one text.
template <typename Function>
void expect_text_table(const char* name, Function function) {
    for (const auto& row : rows(name)) {
        SCOPED_TRACE(std::string(name) + " line " + std::to_string(row.line));
        EXPECT_EQ(function(row.fields[0].get<std::string>()), row.fields[1].get<std::string>());
    }
}

TEST(TranslateBre, Table) {
    expect_text_table("translate_bre.jsonl",
                      [](const std::string& text) { return translate_bre(text); });
}

TEST(CompileRegex, BoundErrorTable) {
    for (const auto& row : rows("bounds.jsonl")) {
        const auto flags = row.fields[0].get<std::string>();
        const auto pattern = row.fields[1].get<std::string>();
        const int expected = row.fields[2].get<int>();
        SCOPED_TRACE("bounds.jsonl line " + std::to_string(row.line) + ": " + pattern);
        auto compiled = compile_regex(pattern, flags);
        if (expected == 0) {
            EXPECT_TRUE(std::holds_alternative<CompiledPattern>(compiled));
        } else {
            ASSERT_TRUE(std::holds_alternative<std::string>(compiled));
            EXPECT_EQ(std::get<std::string>(compiled), "compile error: TRE compile error code " +
                                                           std::to_string(expected) +
                                                           " (pattern=" + pattern + ")");
        }
    }
}

// Restores the locale that a test changed.
struct LocaleScope {
    std::string saved = std::setlocale(LC_ALL, nullptr);
    ~LocaleScope() { std::setlocale(LC_ALL, saved.c_str()); }
};

TEST(EstimateExpansion, Table) {
    LocaleScope scope;
    for (const auto& row : rows("expansion.jsonl")) {
        const auto locale = row.fields[0].get<std::string>();
        const bool icase = row.fields[1].get<std::string>() == "i";
        const auto text = row.fields[2].get<std::string>();
        SCOPED_TRACE("expansion.jsonl line " + std::to_string(row.line) + ": " + text);
        ASSERT_NE(std::setlocale(LC_ALL, locale.c_str()), nullptr);
        EXPECT_EQ(expansion_too_large(estimate_expansion(text, icase)), row.fields[3].get<bool>());
    }
}

// However deep the nesting and however many the bounds, the estimate
// saturates rather than wrapping around to a small number.
TEST(EstimateExpansion, SaturatesAboveEveryLimit) {
    std::string text = "a";
    for (int level = 0; level < 40; ++level) text = "(" + text + "){255}";
    const ExpansionEstimate estimate = estimate_expansion(text, false);
    EXPECT_TRUE(expansion_too_large(estimate));
    EXPECT_GE(estimate.nodes, std::uint64_t{1} << 40);
}

// A long text costs the estimate one pass and no stack per group; a pattern
// nested deeper than the estimate keeps open groups is refused, so that the
// estimate's own memory stays small.
TEST(EstimateExpansion, DeepNestingIsReadWithoutRecursion) {
    auto nested = [](std::size_t depth) {
        return std::string(depth, '(') + "a" + std::string(depth, ')');
    };
    const ExpansionEstimate deepest_read = estimate_expansion(nested(MAX_OPEN_GROUPS - 1), false);
    EXPECT_FALSE(deepest_read.too_deep);
    EXPECT_FALSE(expansion_too_large(deepest_read));
    EXPECT_TRUE(estimate_expansion(nested(MAX_OPEN_GROUPS), false).too_deep);
    EXPECT_TRUE(expansion_too_large(estimate_expansion(nested(200'000), false)));
}

TEST(TextWithoutCounts, Table) {
    expect_text_table("without_counts.jsonl",
                      [](const std::string& text) { return text_without_counts(text); });
}

TEST(ScanBackReferences, Table) {
    for (const auto& row : rows("back_references.jsonl")) {
        const auto text = row.fields[0].get<std::string>();
        SCOPED_TRACE("back_references.jsonl line " + std::to_string(row.line) + ": " + text);
        const BackReferences found = scan_back_references(text);
        EXPECT_EQ(found.any, row.fields[1].get<bool>());
        EXPECT_EQ(found.to_unclosed_group, row.fields[2].get<bool>());
        EXPECT_EQ(found.repeats_empty_reference, row.fields[3].get<bool>());
    }
}

TEST(FindTextMatches, BytePathFindsWhatMultibyteFinds) {
    // The byte path exists only in a multibyte locale; it is chosen at the
    // first search, so this is the first test in this program to search.
    std::setlocale(LC_ALL, "C.UTF-8");
    std::vector<std::string> texts;
    for (const auto& row : rows("byte_path.jsonl"))
        if (row.fields[0] == "text") texts.push_back(row.fields[1].get<std::string>());
    for (const auto& row : rows("byte_path.jsonl")) {
        if (row.fields[0] == "text") continue;
        const auto flags = row.fields[0].get<std::string>();
        const auto pattern = row.fields[1].get<std::string>();
        SCOPED_TRACE("byte_path.jsonl line " + std::to_string(row.line) + ": " + pattern);
        auto compiled = compile_regex(pattern, flags);
        ASSERT_TRUE(std::holds_alternative<CompiledPattern>(compiled));
        const TrePattern& tre = *std::get<CompiledPattern>(compiled);
        for (const std::string& text : texts) {
            auto spans = [](const std::vector<MatchSpan>& found) {
                std::vector<std::pair<std::size_t, std::size_t>> pairs;
                for (const MatchSpan& span : found) pairs.emplace_back(span.start, span.end);
                return pairs;
            };
            EXPECT_EQ(spans(find_text_matches(tre, text, true)),
                      spans(find_text_matches(tre, text, false)))
                << text;
        }
    }
    std::setlocale(LC_ALL, "C");
}

TEST(ExpandReplacement, Table) {
    for (const auto& row : rows("expand_replacement.jsonl")) {
        const auto tpl = row.fields[0].get<std::string>();
        SCOPED_TRACE("expand_replacement.jsonl line " + std::to_string(row.line) + ": " + tpl);
        EXPECT_EQ(expand_replacement(tpl, row.fields[1].get<std::string>()).value_or("<none>"),
                  row.fields[2].get<std::string>());
    }
}

TEST(ExpandReplacement, IllFormedMatchedBytes) {
    // In byte mode a match can hold part of a character: kept as it is, so
    // neighbouring replacements can restore the character, but mapped as
    // U+FFFD when a case segment has to read it.
    EXPECT_EQ(expand_replacement("[&]", "\xC3").value_or("<none>"), "[\xC3]");
    EXPECT_EQ(expand_replacement("\\U&\\E", "a\xC3").value_or("<none>"), "A\xEF\xBF\xBD");
}

TEST(ExpandReplacement, MillionNestedSegments) {
    // However long the matched text: levels without text of their own must
    // not each cost a mapping, nor count against the limit.
    const std::string matched =
        "Ab" + std::string(100000, 'x') + "\xCE\xA3";  // ends in capital sigma
    const std::string upper_matched = "AB" + std::string(100000, 'X') + "\xCE\xA3";
    const std::string lower_matched = "ab" + std::string(100000, 'x') + "\xCF\x82";  // final sigma
    std::string upper;
    for (int i = 0; i < 1000000; ++i) upper += "\\U";
    EXPECT_EQ(expand_replacement(upper + "&", "ab").value_or("<none>"), "AB");
    EXPECT_EQ(expand_replacement(upper + "&", matched).value_or("<none>"), upper_matched);

    std::string alternating;
    for (int i = 0; i < 1000000; ++i) alternating += "\\L\\U";
    EXPECT_EQ(expand_replacement(alternating + "&x", "Ab").value_or("<none>"), "abx");
    EXPECT_EQ(expand_replacement("z" + alternating + "&\\E&", "Ab").value_or("<none>"), "zabAb");
    EXPECT_EQ(expand_replacement(alternating + "&", matched).value_or("<none>"), lower_matched);
    EXPECT_EQ(expand_replacement("\\U" + alternating + "&", matched).value_or("<none>"),
              upper_matched);
}

TEST(ExpandReplacement, OrdinaryDepthIsNeverRefused) {
    // Twenty levels, each with a long text of its own.
    std::string levels;
    for (int i = 0; i < 10; ++i) levels += "\\U&\\L&";
    const std::string matched(200000, 'q');
    auto expanded = expand_replacement(levels, matched);
    ASSERT_TRUE(expanded.has_value());
    EXPECT_EQ(*expanded, std::string(20 * matched.size(), 'Q'));
}

TEST(MapCase, InPiecesAsWhole) {
    for (const auto& row : rows("map_case_pieces.jsonl")) {
        const auto text = row.fields[0].get<std::string>();
        for (CaseMode mode : {CaseMode::lower, CaseMode::upper}) {
            const std::string whole = map_case(text, mode);
            for (std::size_t limit = 4; limit <= 12; ++limit) {
                SCOPED_TRACE("map_case_pieces.jsonl line " + std::to_string(row.line) + ", limit " +
                             std::to_string(limit));
                EXPECT_EQ(map_case_in_pieces(text, mode, limit), whole);
            }
        }
    }
}

TEST(FindCaseEnd, RawBackslashes) {
    const std::string t = "a\\\\Eb\\E";            // a \ \ E b \ E
    EXPECT_EQ(find_case_end(t, t.size(), 0), 2u);  // the second backslash of the pair
    EXPECT_EQ(find_case_end(t, t.size(), 3), 5u);
    EXPECT_EQ(find_case_end(t, t.size(), 6), t.size());
    EXPECT_EQ(find_case_end(t, 6, 3), 6u);  // a \ at the limit is not followed by E
}

TEST(ForEachLine, OffsetsAndEmptyLines) {
    std::vector<std::pair<std::string, std::size_t>> lines;
    for_each_line("ab\n\r\ncd\n", [&](std::string_view line, std::size_t offset) {
        lines.emplace_back(std::string(line), offset);
    });
    std::vector<std::pair<std::string, std::size_t>> expected = {
        {"ab", 0}, {"\r", 3}, {"cd", 5}, {"", 8}};
    EXPECT_EQ(lines, expected);
}

}  // namespace
}  // namespace brindlecap::shell
