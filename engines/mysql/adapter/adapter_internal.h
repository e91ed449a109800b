// The adapter's inner steps, visible to its tests.
#pragma once

#include "mysql_adapter.h"

#include <unicode/utypes.h>

#include <cstdint>
#include <cstddef>
#include <optional>
#include <vector>

namespace brindlecap::mysql_adapter {

// ICU flag word for a string of flag letters (i m s x u); null gives 0.
uint32_t flag_word(const char* flags);

// Units for converting `byte_length` bytes of UTF-8 (2 per byte, plus one),
// or nothing when that does not fit a signed 32-bit capacity.
std::optional<int32_t> utf16_capacity(std::size_t byte_length);

// Bytes for converting `units` UTF-16 units (3 per unit, plus one), clamped
// to the largest signed 32-bit capacity.
int32_t utf8_capacity(int32_t units);

// First replacement buffer: 3 per text unit plus the replacement's units plus
// one, clamped to the largest signed 32-bit capacity.
int32_t replace_capacity(int32_t text_units, int32_t replacement_units);

struct Utf16 {
    UChar* units = nullptr;  // malloc'd, NUL-terminated; null on failure
    int32_t length = 0;
};

// Null units (and length 0) when the text is ill-formed or too long.
Utf16 utf8_to_utf16(const char* text);

// A malloc'd NUL-terminated string; "" for no units or a failed conversion.
char* utf16_to_utf8(const UChar* units, int32_t length);

// The same, but null when the units have no UTF-8 form (a lone surrogate).
char* utf16_to_utf8_or_null(const UChar* units, int32_t length);

// One byte offset per UTF-16 unit of the (well-formed) text, then its length.
std::vector<int32_t> byte_offset_map(const char* text, int32_t utf16_length);

// Entry k of the map; -1 below 0, the last entry beyond the end.
int32_t map_lookup(const std::vector<int32_t>& map, int32_t k);

// Where the match array and its span arrays come from; the exported search
// uses the system's, the tests one that fails on demand.
struct Allocator {
    void* (*calloc)(std::size_t count, std::size_t size);
    void* (*realloc)(void* block, std::size_t size);
};

// mysql_regex_matches with the given allocator: an allocation that fails ends
// the search with the matches found before it.
AdapterMatch* find_all_matches(URegularExpression* handle, const char* text, int32_t* count,
                               const Allocator& allocator);

}  // namespace brindlecap::mysql_adapter
