// The adapter's inner steps, visible to its tests.
#pragma once

#include "adapter_search.h"

#include <unicode/utypes.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

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
    int32_t byte_length = 0;     // of the UTF-8 text it came from
    bool out_of_memory = false;  // null units for want of memory
};

// Null units (and length 0) when the text is ill-formed or too long, or when
// memory ran out (then out_of_memory is set).
Utf16 utf8_to_utf16(std::string_view text);

// A malloc'd NUL-terminated string ("" for no units); null when the units
// have no UTF-8 form (a lone surrogate) or when memory ran out (then
// *out_of_memory is set, when given).
char* utf16_to_utf8_or_null(const UChar* units, int32_t length, bool* out_of_memory = nullptr);

// Where the search's own growing blocks come from; the exported search uses
// the system's realloc, the tests one that fails on demand.
struct Allocator {
    void* (*realloc)(void* block, std::size_t size);
};

// Byte offsets of UTF-16 indexes into a text converted from well-formed
// UTF-8. Matches come in ascending order and their groups lie near them, so
// each offset is found by walking the units from the one asked before; far
// jumps (a group inside a look-around) start from a table of every 64th
// offset, made the first time one is needed.
struct OffsetWalker {
    const UChar* units = nullptr;
    int32_t length = 0;       // units
    int32_t byte_length = 0;  // bytes of the UTF-8 text
    int32_t unit = 0;         // where the last walk ended
    int32_t byte = 0;
    int32_t* checkpoints = nullptr;  // offset of unit 64 j at j, or null
    int32_t filled = 0;              // entries of the table worked out so far
    bool table_failed = false;
    const Allocator* allocator = nullptr;
};

OffsetWalker offset_walker(const Utf16& text, const Allocator& allocator);
void release(OffsetWalker& walker);

// The byte offset of unit k: -1 below 0, the byte length at or beyond the end;
// both units of a surrogate pair give the offset of its first byte.
int32_t byte_offset(OffsetWalker& walker, int32_t k);

// search_all with the given allocator for its growing blocks: an allocation
// that fails ends the search with the matches found before it.
Search search_all(URegularExpression* handle, std::string_view text, const Allocator& allocator);

}  // namespace brindlecap::mysql_adapter
