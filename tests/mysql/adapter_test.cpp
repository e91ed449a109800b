// The adapter called directly, through its flat interface and its inner steps.
#include "engines/mysql/adapter/adapter_internal.h"
#include "engines/mysql/adapter/mysql_adapter.h"
#include "tests/support/tables.h"

#include <gtest/gtest.h>
#include <unicode/utypes.h>
#include <nlohmann/json.hpp>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

extern "C" int adapter_header_c_calls(char* out, std::size_t size);

namespace {

using nlohmann::json;
namespace adapter = brindlecap::mysql_adapter;

const json& cases() {
    static const json CASES_READ = brindlecap::test::load_json_document(CASES);
    return CASES_READ;
}

// Null for a JSON null, else the string's bytes.
std::optional<std::string> text_or_null(const json& value) {
    if (value.is_null()) return std::nullopt;
    return value.get<std::string>();
}

const char* c_str_or_null(const std::optional<std::string>& value) {
    return value ? value->c_str() : nullptr;
}

struct HandleFree {
    void operator()(URegularExpression* handle) const { mysql_regex_free(handle); }
};
using Handle = std::unique_ptr<URegularExpression, HandleFree>;

struct CharFree {
    void operator()(char* text) const { std::free(text); }
};
using Owned = std::unique_ptr<char, CharFree>;

Handle compile(const char* pattern, const char* flags = "") {
    char* error = nullptr;
    Handle handle(mysql_regex_compile(pattern, flags, &error));
    Owned owned_error(error);
    EXPECT_TRUE(handle) << pattern << ": " << (error ? error : "(no error text)");
    return handle;
}

// Checks a match array against the table's records, through every accessor,
// group indexes one below and one above the range included.
void expect_matches(const AdapterMatch* matches, int32_t count, const json& expect) {
    ASSERT_EQ(count, static_cast<int32_t>(expect.size()));
    if (expect.empty()) {
        EXPECT_EQ(matches, nullptr);
        return;
    }
    ASSERT_NE(matches, nullptr);
    for (int32_t i = 0; i < count; ++i) {
        const json& record = expect[static_cast<std::size_t>(i)];
        SCOPED_TRACE("match " + std::to_string(i));
        EXPECT_EQ(mysql_match_get_start(matches, i), record["start"].get<int32_t>());
        EXPECT_EQ(mysql_match_get_end(matches, i), record["end"].get<int32_t>());
        EXPECT_EQ(std::string(mysql_match_get_text(matches, i)), record["text"].get<std::string>());
        const auto groups = static_cast<int32_t>(record["groups"].size());
        EXPECT_EQ(mysql_match_get_group_count(matches, i), groups);
        for (int32_t g = -1; g <= groups; ++g) {
            SCOPED_TRACE("group index " + std::to_string(g));
            int32_t start = -1;
            int32_t end = -1;
            if (g >= 0 && g < groups) {
                const json& span = record["groups"][static_cast<std::size_t>(g)];
                start = span[0].get<int32_t>();
                end = span[1].get<int32_t>();
                EXPECT_EQ(start >= 0 && end >= 0, span[2].get<int>() == 1);
            }
            EXPECT_EQ(mysql_match_get_group_start(matches, i, g), start);
            EXPECT_EQ(mysql_match_get_group_end(matches, i, g), end);
        }
    }
}

TEST(MysqlAdapter, HeaderServesCCallers) {
    char seen[512];
    ASSERT_EQ(adapter_header_c_calls(seen, sizeof seen), 0) << seen;
    EXPECT_STREQ(seen,
                 "null U_REGEX_MISMATCHED_PAREN;"
                 " 2: 1-2 'B' 2 [1,2] [-1,-1] 5-6 'b' 2 [5,6] [-1,-1];"
                 " é<b><B>");
}

// The offset of every UTF-16 unit, worked out from the UTF-8 bytes alone:
// each character's first byte, once per unit it takes, then the length.
std::vector<int32_t> reference_offsets(const std::string& text) {
    std::vector<int32_t> map;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if ((byte & 0xC0) == 0x80) continue;
        map.push_back(static_cast<int32_t>(i));
        if (byte >= 0xF0) map.push_back(static_cast<int32_t>(i));
    }
    map.push_back(static_cast<int32_t>(text.size()));
    return map;
}

// Every unit's byte offset, and the lookups before and beyond the text, as
// the table gives them.
TEST(MysqlAdapter, ByteOffsetsMatchTheTable) {
    static constexpr adapter::Allocator SYSTEM_ALLOCATOR{std::realloc};
    for (const json& c : cases()["offset_maps"]) {
        const std::string text = c["text"].get<std::string>();
        SCOPED_TRACE(text);
        const std::vector<int32_t> map = c["map"].get<std::vector<int32_t>>();
        const adapter::Utf16 utf16 = adapter::utf8_to_utf16(text.c_str());
        ASSERT_NE(utf16.units, nullptr);
        ASSERT_EQ(map.size(), static_cast<std::size_t>(utf16.length) + 1);
        adapter::OffsetWalker walker = adapter::offset_walker(utf16, SYSTEM_ALLOCATOR);
        for (std::size_t k = 0; k < map.size(); ++k) {
            EXPECT_EQ(adapter::byte_offset(walker, static_cast<int32_t>(k)), map[k])
                << "unit " << k;
        }
        for (const json& lookup : c["lookups"]) {
            EXPECT_EQ(adapter::byte_offset(walker, lookup[0].get<int32_t>()),
                      lookup[1].get<int32_t>())
                << "unit " << lookup[0];
        }
        adapter::release(walker);
        std::free(utf16.units);
    }
}

// Every unit's offset, asked for in order, backwards, in jumps of every size
// (near ones walk, far ones start from the table) and with the table
// impossible to allocate: always the offset that the bytes give.
TEST(MysqlAdapter, ByteOffsetsInAnyOrder) {
    static constexpr adapter::Allocator SYSTEM_ALLOCATOR{std::realloc};
    static constexpr adapter::Allocator NO_MEMORY{
        [](void*, std::size_t) -> void* { return nullptr; }};
    std::vector<std::string> texts;
    for (const json& c : cases()["offset_maps"]) texts.push_back(c["text"].get<std::string>());
    std::string mixed;
    for (int i = 0; i < 97; ++i) mixed += i % 5 == 0 ? "a😀" : i % 3 == 0 ? "東é" : "xy";
    texts.push_back(mixed);
    texts.push_back(std::string(300, 'q') + "é");
    for (const std::string& text : texts) {
        SCOPED_TRACE(text);
        const adapter::Utf16 utf16 = adapter::utf8_to_utf16(text.c_str());
        ASSERT_NE(utf16.units, nullptr);
        const std::vector<int32_t> map = reference_offsets(text);
        ASSERT_EQ(map.size(), static_cast<std::size_t>(utf16.length) + 1);
        const auto entries = static_cast<int64_t>(map.size());
        for (const adapter::Allocator* allocator : {&SYSTEM_ALLOCATOR, &NO_MEMORY}) {
            for (int64_t step : {1, 2, 3, 7, 63, 64, 65, 129, 200, 401}) {
                adapter::OffsetWalker walker = adapter::offset_walker(utf16, *allocator);
                for (int64_t n = 0; n < 2 * entries; ++n) {
                    const auto k = static_cast<std::size_t>((n * step) % entries);
                    const std::size_t back = map.size() - 1 - k;
                    ASSERT_EQ(adapter::byte_offset(walker, static_cast<int32_t>(k)), map[k])
                        << "unit " << k << ", step " << step;
                    ASSERT_EQ(adapter::byte_offset(walker, static_cast<int32_t>(back)), map[back])
                        << "unit " << back << ", step " << step;
                }
                for (int32_t beyond : {utf16.length + 1, INT32_MAX}) {
                    EXPECT_EQ(adapter::byte_offset(walker, beyond), map.back());
                }
                EXPECT_EQ(adapter::byte_offset(walker, -1), -1);
                EXPECT_EQ(adapter::byte_offset(walker, INT32_MIN), -1);
                adapter::release(walker);
            }
        }
        std::free(utf16.units);
    }
}

TEST(MysqlAdapter, FlagWords) {
    for (const json& c : cases()["flag_words"]) {
        const std::optional<std::string> flags = text_or_null(c[0]);
        EXPECT_EQ(adapter::flag_word(c_str_or_null(flags)), c[1].get<uint32_t>()) << c[0];
    }
}

TEST(MysqlAdapter, CompileFailuresNameTheError) {
    for (const json& c : cases()["compile_failures"]) {
        const std::optional<std::string> pattern = text_or_null(c["pattern"]);
        const std::optional<std::string> flags = text_or_null(c["flags"]);
        SCOPED_TRACE(c.dump());
        char* error = nullptr;
        Handle handle(mysql_regex_compile(c_str_or_null(pattern), c_str_or_null(flags), &error));
        Owned owned_error(error);
        EXPECT_FALSE(handle);
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(std::string(error), c["error"].get<std::string>());

        // Without an error pointer the same failure allocates nothing (the
        // leak checker of the sanitizer build would show it).
        EXPECT_EQ(mysql_regex_compile(c_str_or_null(pattern), c_str_or_null(flags), nullptr),
                  nullptr);
    }
}

TEST(MysqlAdapter, SuccessfulCompileLeavesTheErrorPointerAlone) {
    char sentinel = 0;
    char* error = &sentinel;
    Handle handle(mysql_regex_compile("a", nullptr, &error));
    EXPECT_TRUE(handle);
    EXPECT_EQ(error, &sentinel);
}

TEST(MysqlAdapter, IllFormedPatternIsAnEncodingError) {
    for (const char* pattern : {"\xff", "a\xc3", "\xed\xa0\x80"}) {
        char* error = nullptr;
        EXPECT_EQ(mysql_regex_compile(pattern, "", &error), nullptr);
        Owned owned_error(error);
        ASSERT_NE(error, nullptr);
        EXPECT_STREQ(error, "pattern encoding error");
    }
}

TEST(MysqlAdapter, MatchTable) {
    for (const json& c : cases()["matches"]) {
        const std::string pattern = c["pattern"].get<std::string>();
        const std::string text = c["text"].get<std::string>();
        SCOPED_TRACE(pattern + " on " + text);
        Handle handle = compile(pattern.c_str(), c["flags"].get<std::string>().c_str());
        ASSERT_TRUE(handle);
        int32_t count = -5;
        AdapterMatch* matches = mysql_regex_matches(handle.get(), text.c_str(), &count);
        expect_matches(matches, count, c["expect"]);
        mysql_match_result_free(matches, count);
    }
}

// Matched texts are made when asked for, in any order, from a text whose
// surrogate pairs fall on every side of the places the adapter keeps track
// of; each is the text's own bytes between the match's offsets.
TEST(MysqlAdapter, MatchedTextsInAnyOrder) {
    std::string text = "a";
    for (int i = 0; i < 300; ++i) text += i % 11 == 0 ? "é" : i % 7 == 0 ? "東x" : "😀";
    for (const char* pattern : {"(?s).", "(?s).{1,5}", "x*", "😀+", "(?<=😀)(東|é)"}) {
        SCOPED_TRACE(pattern);
        Handle handle = compile(pattern);
        ASSERT_TRUE(handle);
        int32_t count = 0;
        AdapterMatch* matches = mysql_regex_matches(handle.get(), text.c_str(), &count);
        ASSERT_GT(count, 0);
        for (int32_t n = 0; n < 2 * count; ++n) {
            const int32_t i = static_cast<int32_t>((static_cast<int64_t>(n) * 157) % count);
            const int32_t start = mysql_match_get_start(matches, i);
            const int32_t end = mysql_match_get_end(matches, i);
            ASSERT_EQ(
                std::string(mysql_match_get_text(matches, i)),
                text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start)))
                << "match " << i;
        }
        // Asked again, a text is the same string, owned by the array.
        EXPECT_EQ(mysql_match_get_text(matches, count - 1),
                  mysql_match_get_text(matches, count - 1));
        mysql_match_result_free(matches, count);
    }
}

TEST(MysqlAdapter, NoMatchLooksLikeFailure) {
    Handle handle = compile("a");
    ASSERT_TRUE(handle);
    struct Call {
        URegularExpression* handle;
        const char* text;
    };
    for (const Call& call : {Call{handle.get(), "zzz"}, Call{handle.get(), ""}, Call{nullptr, "a"},
                             Call{handle.get(), nullptr}, Call{handle.get(), "a\xff"},
                             Call{handle.get(), "a\xed\xa0\x80"}}) {
        int32_t count = 99;
        EXPECT_EQ(mysql_regex_matches(call.handle, call.text, &count), nullptr);
        EXPECT_EQ(count, 0);
    }
}

TEST(MysqlAdapter, HandleIsReusableAndArraysOutliveIt) {
    Handle handle = compile("(b)|é");
    ASSERT_TRUE(handle);
    int32_t first_count = 0;
    AdapterMatch* first = mysql_regex_matches(handle.get(), "ébé", &first_count);
    Owned replaced(mysql_regex_replace(handle.get(), "abc", "<$1>"));
    int32_t second_count = 0;
    AdapterMatch* second = mysql_regex_matches(handle.get(), "xb", &second_count);
    handle.reset();

    expect_matches(first, first_count,
                   json::parse(R"([{"start":0,"end":2,"text":"é","groups":[[-1,-1,0]]},
                                   {"start":2,"end":3,"text":"b","groups":[[2,3,1]]},
                                   {"start":3,"end":5,"text":"é","groups":[[-1,-1,0]]}])"));
    EXPECT_STREQ(replaced.get(), "a<b>c");
    expect_matches(second, second_count,
                   json::parse(R"([{"start":1,"end":2,"text":"b","groups":[[1,2,1]]}])"));
    mysql_match_result_free(first, first_count);
    mysql_match_result_free(second, second_count);
}

TEST(MysqlAdapter, SearchThatFailsMidwayKeepsEarlierMatches) {
    // The second alternative backtracks once per letter; ICU's backtracking
    // stack runs out long before the final x.
    const std::string text = "x" + std::string(200000, 'a') + "x";
    Handle handle = compile("x|(a|b)*c");
    ASSERT_TRUE(handle);
    int32_t count = 0;
    AdapterMatch* matches = mysql_regex_matches(handle.get(), text.c_str(), &count);
    expect_matches(matches, count,
                   json::parse(R"([{"start":0,"end":1,"text":"x","groups":[[-1,-1,0]]}])"));
    mysql_match_result_free(matches, count);
    EXPECT_EQ(adapter::search_all(handle.get(), text).matcher_error, U_REGEX_STACK_OVERFLOW);
}

// A search that ICU gives up on says so, with ICU's status, beside the matches
// found before; the flat interface shows only those matches, and through it a
// replacement gives the text unchanged. A template that ICU refuses at a match
// before the search gives up does not hide the failure.
TEST(MysqlAdapter, SearchesGivenUpCarryIcusStatus) {
    for (const json& c : cases()["searches_given_up"]) {
        const std::string pattern = c["pattern"].get<std::string>();
        const std::string text = c["text"].get<std::string>();
        SCOPED_TRACE(pattern + " on " + text);
        Handle handle = compile(pattern.c_str());
        ASSERT_TRUE(handle);
        const adapter::Search found = adapter::search_all(handle.get(), text);
        EXPECT_EQ(found.count, c["matches_before"].get<int32_t>());
        EXPECT_STREQ(u_errorName(found.matcher_error), c["status"].get<std::string>().c_str());
        EXPECT_FALSE(found.out_of_memory);
        int32_t count = -1;
        AdapterMatch* matches = mysql_regex_matches(handle.get(), text.c_str(), &count);
        EXPECT_EQ(count, found.count);
        mysql_match_result_free(matches, count);
    }
    for (const json& c : cases()["replacements_given_up"]) {
        const std::string pattern = c["pattern"].get<std::string>();
        const std::string text = c["text"].get<std::string>();
        const std::string replacement = c["replacement"].get<std::string>();
        SCOPED_TRACE(pattern + " on " + text + " with " + replacement);
        Handle handle = compile(pattern.c_str());
        ASSERT_TRUE(handle);
        const adapter::Replacement replaced = adapter::replace_all(handle.get(), text, replacement);
        EXPECT_EQ(replaced.text, nullptr);
        EXPECT_STREQ(u_errorName(replaced.matcher_error), c["status"].get<std::string>().c_str());
        EXPECT_STREQ(
            Owned(mysql_regex_replace(handle.get(), text.c_str(), replacement.c_str())).get(),
            text.c_str());
    }
    // Searches that end as usual say nothing.
    Handle handle = compile("(l+)");
    ASSERT_TRUE(handle);
    EXPECT_EQ(adapter::search_all(handle.get(), "hello").matcher_error, U_ZERO_ERROR);
    const adapter::Replacement refused = adapter::replace_all(handle.get(), "hello", "$9");
    EXPECT_EQ(refused.text, nullptr);
    EXPECT_EQ(refused.matcher_error, U_ZERO_ERROR);
    EXPECT_FALSE(refused.out_of_memory);
}

// An allocator that fails its n-th call (counting from 1), or none when 0.
struct FailingAllocator {
    static inline int calls = 0;
    static inline int fail_at = 0;
    static bool fails() { return ++calls == fail_at; }
    static void* realloc(void* block, std::size_t size) {
        return fails() ? nullptr : std::realloc(block, size);
    }
};

// Whichever allocation of a search fails, the search ends there and keeps
// the matches found before it, each of them whole.
TEST(MysqlAdapter, FailedAllocationEndsTheSearchWithEarlierMatches) {
    const adapter::Allocator failing{FailingAllocator::realloc};
    Handle handle = compile("(a)(x)?|(é)");
    ASSERT_TRUE(handle);
    std::string text;
    for (int i = 0; i < 150; ++i) text += i % 3 == 0 ? "é" : "a";

    const adapter::Search full = adapter::search_all(handle.get(), text);
    ASSERT_EQ(full.count, 150);
    EXPECT_FALSE(full.out_of_memory);
    FailingAllocator::calls = 0;
    FailingAllocator::fail_at = 0;
    adapter::search_all(handle.get(), text, failing);
    const int total_calls = FailingAllocator::calls;
    ASSERT_GT(total_calls, 2);

    for (int n = 1; n <= total_calls; ++n) {
        SCOPED_TRACE("allocation " + std::to_string(n) + " fails");
        FailingAllocator::calls = 0;
        FailingAllocator::fail_at = n;
        const adapter::Search found = adapter::search_all(handle.get(), text, failing);
        ASSERT_LE(found.count, full.count);
        EXPECT_EQ(found.matches == nullptr, found.count == 0);
        // A list cut short says so; one the failure did not shorten does not.
        EXPECT_EQ(found.out_of_memory, found.count < full.count);
        EXPECT_EQ(found.matcher_error, U_ZERO_ERROR);
        ASSERT_EQ(found.group_count, found.count == 0 ? 0 : 3);
        for (int32_t i = 0; i < found.count; ++i) {
            EXPECT_EQ(found.matches.get()[i].start, full.matches.get()[i].start);
            EXPECT_EQ(found.matches.get()[i].end, full.matches.get()[i].end);
            for (int32_t g = 0; g < 3; ++g) {
                EXPECT_EQ(adapter::group_spans(found, i)[g].start,
                          adapter::group_spans(full, i)[g].start);
                EXPECT_EQ(adapter::group_spans(found, i)[g].end,
                          adapter::group_spans(full, i)[g].end);
            }
        }
    }
    FailingAllocator::fail_at = 0;
}

TEST(MysqlAdapter, ReplacementTable) {
    for (const json& c : cases()["replacements"]) {
        const std::string pattern = c["pattern"].get<std::string>();
        const std::string text = c["text"].get<std::string>();
        const std::string replacement = c["replacement"].get<std::string>();
        SCOPED_TRACE(pattern + " on " + text + " with " + replacement);
        Handle handle = compile(pattern.c_str());
        ASSERT_TRUE(handle);
        Owned result(mysql_regex_replace(handle.get(), text.c_str(), replacement.c_str()));
        ASSERT_NE(result, nullptr);
        EXPECT_EQ(std::string(result.get()), c["result"].get<std::string>());
    }
}

TEST(MysqlAdapter, ReplaceWithMissingOrBadArgumentsCopiesTheText) {
    Handle handle = compile("a");
    ASSERT_TRUE(handle);
    EXPECT_STREQ(Owned(mysql_regex_replace(handle.get(), nullptr, "b")).get(), "");
    EXPECT_STREQ(Owned(mysql_regex_replace(nullptr, "abc", "b")).get(), "abc");
    EXPECT_STREQ(Owned(mysql_regex_replace(handle.get(), "abc", nullptr)).get(), "abc");
    EXPECT_STREQ(Owned(mysql_regex_replace(handle.get(), "abc", "\xff")).get(), "abc");
    EXPECT_STREQ(Owned(mysql_regex_replace(handle.get(), "ab\xff", "b")).get(), "ab\xff");
}

TEST(MysqlAdapter, FreeFunctionsAndAccessorsAcceptNull) {
    mysql_regex_free(nullptr);
    mysql_match_result_free(nullptr, 0);
    mysql_match_result_free(nullptr, 3);
    EXPECT_EQ(mysql_match_get_start(nullptr, 0), -1);
    EXPECT_EQ(mysql_match_get_end(nullptr, 0), -1);
    EXPECT_EQ(mysql_match_get_text(nullptr, 0), nullptr);
    EXPECT_EQ(mysql_match_get_group_count(nullptr, 0), 0);
    EXPECT_EQ(mysql_match_get_group_start(nullptr, 0, 0), -1);
    EXPECT_EQ(mysql_match_get_group_end(nullptr, 0, 0), -1);
}

TEST(MysqlAdapter, CapacitiesNeverOverflow) {
    EXPECT_EQ(adapter::utf16_capacity(0), 1);
    EXPECT_EQ(adapter::utf16_capacity(5), 11);
    EXPECT_EQ(adapter::utf16_capacity((std::size_t{1} << 30) - 1), INT32_MAX);
    EXPECT_EQ(adapter::utf16_capacity(std::size_t{1} << 30), std::nullopt);
    EXPECT_EQ(adapter::utf16_capacity((std::size_t{1} << 32) + 5), std::nullopt);
    EXPECT_EQ(adapter::utf8_capacity(1), 4);
    EXPECT_EQ(adapter::utf8_capacity(INT32_MAX), INT32_MAX);
    EXPECT_EQ(adapter::replace_capacity(1, 4), 8);
    EXPECT_EQ(adapter::replace_capacity(800'000'000, 10), INT32_MAX);
}

TEST(MysqlAdapter, Utf16ToUtf8EdgeCases) {
    const UChar lone_surrogate[] = {0x61, 0xD83D, 0x62};
    const UChar pair[] = {0xD83D, 0xDE00};
    EXPECT_STREQ(Owned(adapter::utf16_to_utf8_or_null(nullptr, 3)).get(), "");
    EXPECT_STREQ(Owned(adapter::utf16_to_utf8_or_null(pair, 0)).get(), "");
    EXPECT_STREQ(Owned(adapter::utf16_to_utf8_or_null(pair, -1)).get(), "");
    bool out_of_memory = false;
    EXPECT_EQ(adapter::utf16_to_utf8_or_null(lone_surrogate, 3, &out_of_memory), nullptr);
    EXPECT_FALSE(out_of_memory);
    EXPECT_STREQ(Owned(adapter::utf16_to_utf8_or_null(pair, 2)).get(), "\xF0\x9F\x98\x80");
}

}  // namespace
