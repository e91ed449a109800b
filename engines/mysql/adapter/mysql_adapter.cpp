#include "mysql_adapter.h"

#include "adapter_internal.h"

#include <unicode/uregex.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

// One match: the byte offsets of its start and of its end (exclusive).
struct AdapterMatch {
    int32_t start;
    int32_t end;
};

namespace brindlecap::mysql_adapter {

namespace {

// Byte offsets of one group of one match; both -1 when it did not take part.
struct GroupSpan {
    int32_t start;
    int32_t end;
};

// Sits in front of the match records, in the same block: the array pointer
// handed out points just past it.
struct ArrayHeader {
    int32_t count;
    int32_t group_count;
    GroupSpan* spans;      // group_count per record, record by record; null without groups
    char* text;            // the searched text, from which the matched texts are made
    char** texts;          // one per record, made by the first mysql_match_get_text
    int32_t* split_pairs;  // ascending records whose text is "" (see find_all_matches)
    int32_t split_pair_count;
};
static_assert(sizeof(ArrayHeader) % alignof(AdapterMatch) == 0);

ArrayHeader* header_of(const AdapterMatch* matches) {
    // The array is the adapter's own block, never a constant object.
    auto* bytes = reinterpret_cast<char*>(const_cast<AdapterMatch*>(matches));
    return reinterpret_cast<ArrayHeader*>(bytes - sizeof(ArrayHeader));
}

const GroupSpan* group_span(const AdapterMatch* matches, int32_t i, int32_t g) {
    if (matches == nullptr || g < 0) return nullptr;
    const ArrayHeader* header = header_of(matches);
    if (g >= header->group_count) return nullptr;
    return header->spans +
           static_cast<std::size_t>(i) * static_cast<std::size_t>(header->group_count) +
           static_cast<std::size_t>(g);
}

constexpr int64_t MAX_CAPACITY = INT32_MAX;

int32_t clamp_capacity(int64_t wanted) {
    return wanted > MAX_CAPACITY ? static_cast<int32_t>(MAX_CAPACITY)
                                 : static_cast<int32_t>(wanted);
}

char* copy_of(const char* text) { return strdup(text); }

// Leaves the handle pointing at a text that outlives every call, so that no
// freed buffer stays attached between calls.
void detach_text(URegularExpression* handle) {
    static const UChar EMPTY_UNITS[1] = {0};
    UErrorCode status = U_ZERO_ERROR;
    uregex_setText(handle, EMPTY_UNITS, 0, &status);
}

}  // namespace

uint32_t flag_word(const char* flags) {
    uint32_t word = 0;
    if (flags == nullptr) return 0;
    for (const char* p = flags; *p != '\0'; ++p) {
        switch (*p) {
            case 'i': word |= UREGEX_CASE_INSENSITIVE; break;
            case 'm': word |= UREGEX_MULTILINE; break;
            case 's': word |= UREGEX_DOTALL; break;
            case 'x': word |= UREGEX_COMMENTS; break;
            case 'u': word |= UREGEX_UNIX_LINES; break;
            default: break;
        }
    }
    return word;
}

std::optional<int32_t> utf16_capacity(std::size_t byte_length) {
    // Computed wide: the 32-bit product would overflow from 2^30 bytes on.
    if (byte_length > static_cast<std::size_t>(MAX_CAPACITY)) return std::nullopt;
    const int64_t wanted = 2 * static_cast<int64_t>(byte_length) + 1;
    if (wanted > MAX_CAPACITY) return std::nullopt;
    return static_cast<int32_t>(wanted);
}

int32_t utf8_capacity(int32_t units) { return clamp_capacity(3 * static_cast<int64_t>(units) + 1); }

int32_t replace_capacity(int32_t text_units, int32_t replacement_units) {
    return clamp_capacity(3 * static_cast<int64_t>(text_units) +
                          static_cast<int64_t>(replacement_units) + 1);
}

Utf16 utf8_to_utf16(const char* text) {
    const std::size_t byte_length = std::strlen(text);
    const std::optional<int32_t> capacity = utf16_capacity(byte_length);
    if (!capacity) return {};
    auto* units =
        static_cast<UChar*>(std::malloc(sizeof(UChar) * static_cast<std::size_t>(*capacity)));
    if (units == nullptr) return {.out_of_memory = true};
    int32_t length = 0;
    UErrorCode status = U_ZERO_ERROR;
    // The length is known: ICU need not look for the NUL again.
    u_strFromUTF8(units, *capacity, &length, text, static_cast<int32_t>(byte_length), &status);
    if (U_FAILURE(status)) {
        std::free(units);
        return {};
    }
    return {units, length, static_cast<int32_t>(byte_length)};
}

char* utf16_to_utf8_or_null(const UChar* units, int32_t length) {
    if (units == nullptr || length <= 0) return copy_of("");
    const int32_t capacity = utf8_capacity(length);
    auto* bytes = static_cast<char*>(std::malloc(static_cast<std::size_t>(capacity)));
    UErrorCode status = U_ZERO_ERROR;
    u_strToUTF8(bytes, capacity, nullptr, units, length, &status);
    // An unterminated result can only come from a clamped capacity.
    if (U_FAILURE(status) || status == U_STRING_NOT_TERMINATED_WARNING) {
        std::free(bytes);
        return nullptr;
    }
    return bytes;
}

char* utf16_to_utf8(const UChar* units, int32_t length) {
    char* bytes = utf16_to_utf8_or_null(units, length);
    return bytes != nullptr ? bytes : copy_of("");
}

namespace {

constexpr int32_t STRIDE = 64;  // units between two entries of the offset table

// UTF-8 bytes that one UTF-16 unit stands for; a surrogate pair counts 0 for
// its lead and 4 for its trail, so both of its units map to its first byte.
inline int32_t unit_bytes(UChar unit) {
    if (unit < 0x80) return 1;
    if (unit < 0x800) return 2;
    if (!U16_IS_SURROGATE(unit)) return 3;
    return U16_IS_SURROGATE_TRAIL(unit) ? 4 : 0;
}

int32_t sum_bytes(const UChar* units, int32_t from, int32_t to) {
    int32_t bytes = 0;
    for (int32_t k = from; k < to; ++k) bytes += unit_bytes(units[k]);
    return bytes;
}

// Moves the walker to the table entry at or below k, filling the table up to
// there. Leaves it where it is when the table cannot be had.
void jump_to_entry(OffsetWalker& walker, int32_t k) {
    if (walker.checkpoints == nullptr) {
        if (walker.table_failed) return;
        const auto entries = static_cast<std::size_t>(walker.length / STRIDE) + 1;
        walker.checkpoints =
            static_cast<int32_t*>(walker.allocator->realloc(nullptr, entries * sizeof(int32_t)));
        if (walker.checkpoints == nullptr) {
            walker.table_failed = true;
            return;
        }
        walker.checkpoints[0] = 0;
        walker.filled = 1;
    }
    const int32_t entry = k / STRIDE;
    for (; walker.filled <= entry; ++walker.filled) {
        const int32_t from = (walker.filled - 1) * STRIDE;
        walker.checkpoints[walker.filled] =
            walker.checkpoints[walker.filled - 1] + sum_bytes(walker.units, from, from + STRIDE);
    }
    walker.unit = entry * STRIDE;
    walker.byte = walker.checkpoints[entry];
}

}  // namespace

OffsetWalker offset_walker(const Utf16& text, const Allocator& allocator) {
    OffsetWalker walker;
    walker.units = text.units;
    walker.length = text.length;
    walker.byte_length = text.byte_length;
    walker.allocator = &allocator;
    return walker;
}

void release(OffsetWalker& walker) {
    std::free(walker.checkpoints);
    walker.checkpoints = nullptr;
    walker.filled = 0;
}

int32_t byte_offset(OffsetWalker& walker, int32_t k) {
    if (k < 0) return -1;
    if (k >= walker.length) return walker.byte_length;
    // Only a text of ASCII has as many units as bytes.
    if (walker.length == walker.byte_length) return k;
    const int32_t distance = k - walker.unit;
    if (distance > STRIDE || distance < -STRIDE) jump_to_entry(walker, k);
    const UChar* const units = walker.units;
    int32_t unit = walker.unit;
    int32_t byte = walker.byte;
    for (; unit < k; ++unit) byte += unit_bytes(units[unit]);
    while (unit > k) byte -= unit_bytes(units[--unit]);
    walker.unit = unit;
    walker.byte = byte;
    return byte;
}
}  // namespace brindlecap::mysql_adapter

using namespace brindlecap::mysql_adapter;

extern "C" {

URegularExpression* mysql_regex_compile(const char* pattern, const char* flags, char** error) {
    const char* failure = nullptr;
    URegularExpression* handle = nullptr;
    if (pattern == nullptr) {
        failure = "null pattern";
    } else {
        const uint32_t word = flag_word(flags);
        Utf16 utf16 = utf8_to_utf16(pattern);
        if (utf16.units == nullptr) {
            failure = "pattern encoding error";
        } else {
            UErrorCode status = U_ZERO_ERROR;
            handle = uregex_open(utf16.units, utf16.length, word, nullptr, &status);
            std::free(utf16.units);
            if (U_FAILURE(status)) {
                if (handle != nullptr) uregex_close(handle);
                handle = nullptr;
                failure = u_errorName(status);
            }
        }
    }
    if (handle == nullptr && failure != nullptr && error != nullptr) *error = copy_of(failure);
    return handle;
}

}  // extern "C"

namespace brindlecap::mysql_adapter {

namespace {

// A block of items after `lead` bytes, doubled as it fills; the block comes
// from the search's allocator and is released with free(). When the most it
// can need is known, that is its first room: room never written costs no
// memory, and the block is never copied.
struct Growing {
    char* block = nullptr;
    std::size_t lead = 0;
    std::size_t item = 0;
    std::size_t most = 0;  // 0: unknown
    std::size_t used = 0;
    std::size_t room = 0;
};

// Spans taken at once at most (1 GiB of address space).
constexpr std::size_t MOST_SPANS = std::size_t{1} << 27;

bool grow_to(Growing& list, std::size_t room, const Allocator& allocator) {
    if (room > (SIZE_MAX / 4 - list.lead) / list.item) return false;
    void* grown = allocator.realloc(list.block, list.lead + room * list.item);
    if (grown == nullptr) return false;
    list.block = static_cast<char*>(grown);
    list.room = room;
    return true;
}

bool grow_for(Growing& list, std::size_t more, const Allocator& allocator);

// Room for `more` items; false when the block cannot grow (it keeps what it holds).
inline bool make_room(Growing& list, std::size_t more, const Allocator& allocator) {
    return list.used + more <= list.room || grow_for(list, more, allocator);
}

bool grow_for(Growing& list, std::size_t more, const Allocator& allocator) {
    if (list.room == 0 && list.most >= more && grow_to(list, list.most, allocator)) return true;
    std::size_t room = list.room == 0 ? 64 : list.room;
    while (room < list.used + more) {
        if (room > SIZE_MAX / 4) return false;
        room *= 2;
    }
    return grow_to(list, room, allocator);
}

template <typename T>
T* items(const Growing& list) {
    return reinterpret_cast<T*>(list.block + list.lead);
}

// Gives back the room that was never used; the block stays as it is when
// that fails.
void shrink(Growing& list, const Allocator& allocator) {
    if (list.block == nullptr || list.used == list.room) return;
    void* shrunk = allocator.realloc(list.block, list.lead + list.used * list.item);
    if (shrunk != nullptr) list.block = static_cast<char*>(shrunk);
}

}  // namespace

namespace {

// byte_offset, with the case of an ASCII text (one byte per unit) answered
// here without a call.
inline int32_t offset_of(OffsetWalker& walker, bool ascii, int32_t k) {
    if (!ascii) return byte_offset(walker, k);
    return k < 0 ? -1 : k < walker.length ? k : walker.byte_length;
}

thread_local bool search_ran_out_of_memory = false;

}  // namespace

bool last_search_ran_out_of_memory() { return search_ran_out_of_memory; }

AdapterMatch* find_all_matches(URegularExpression* handle, const char* text, int32_t* count,
                               const Allocator& allocator) {
    *count = 0;
    search_ran_out_of_memory = false;
    if (handle == nullptr || text == nullptr) return nullptr;
    Utf16 utf16 = utf8_to_utf16(text);
    if (utf16.units == nullptr) {
        // A text too long for the interface has no matches; one that could
        // not be converted for want of memory was never searched.
        search_ran_out_of_memory = utf16.out_of_memory;
        return nullptr;
    }
    UErrorCode status = U_ZERO_ERROR;
    uregex_setText(handle, utf16.units, utf16.length, &status);
    if (U_FAILURE(status)) {
        std::free(utf16.units);
        return nullptr;
    }
    status = U_ZERO_ERROR;
    int32_t group_count = uregex_groupCount(handle, &status);
    if (U_FAILURE(status) || group_count < 0) group_count = 0;
    const auto groups = static_cast<std::size_t>(group_count);
    const bool ascii = utf16.length == utf16.byte_length;

    OffsetWalker walker = offset_walker(utf16, allocator);
    // Each match starts after the one before it, so there are at most as
    // many as there are places in the text. The spans take the room for that
    // many at once (within a bound): growing the largest block by copies
    // would leave the old copies in the heap.
    const auto places = static_cast<std::size_t>(utf16.length) + 1;
    const std::size_t most_spans = groups <= MOST_SPANS / places ? places * groups : 0;
    Growing records{nullptr, sizeof(ArrayHeader), sizeof(AdapterMatch), 0};
    Growing spans{nullptr, 0, sizeof(GroupSpan), most_spans};
    Growing split_pairs{nullptr, 0, sizeof(int32_t), 0};
    char* text_copy = nullptr;  // made at the first match
    for (;;) {
        status = U_ZERO_ERROR;
        if (!uregex_findNext(handle, &status) || U_FAILURE(status)) break;
        status = U_ZERO_ERROR;
        const int32_t s = uregex_start(handle, 0, &status);
        const int32_t e = uregex_end(handle, 0, &status);
        if (U_FAILURE(status) || s < 0 || e < s) break;

        if (!make_room(records, 1, allocator) || !make_room(spans, groups, allocator)) {
            search_ran_out_of_memory = true;
            break;
        }
        if (text_copy == nullptr) {
            const auto bytes = static_cast<std::size_t>(utf16.byte_length);
            text_copy = static_cast<char*>(allocator.realloc(nullptr, bytes + 1));
            if (text_copy == nullptr) {
                search_ran_out_of_memory = true;
                break;
            }
            std::memcpy(text_copy, text, bytes + 1);
        }
        const AdapterMatch record{offset_of(walker, ascii, s), offset_of(walker, ascii, e)};
        // A match that splits a surrogate pair has no UTF-8 form, though its
        // byte offsets may bound a whole character: its text is "".
        if (!ascii && e > s && record.end > record.start &&
            (U16_IS_TRAIL(utf16.units[s]) || U16_IS_LEAD(utf16.units[e - 1]))) {
            if (!make_room(split_pairs, 1, allocator)) {
                search_ran_out_of_memory = true;
                break;
            }
            items<int32_t>(split_pairs)[split_pairs.used++] = static_cast<int32_t>(records.used);
        }
        GroupSpan* span = items<GroupSpan>(spans) + spans.used;
        for (int32_t k = 1; k <= group_count; ++k, ++span) {
            UErrorCode group_status = U_ZERO_ERROR;
            const int32_t gs = uregex_start(handle, k, &group_status);
            const int32_t ge = uregex_end(handle, k, &group_status);
            if (U_FAILURE(group_status) || gs < 0 || ge < 0) {
                *span = {-1, -1};
            } else {
                *span = {offset_of(walker, ascii, gs), offset_of(walker, ascii, ge)};
            }
        }
        spans.used += groups;
        items<AdapterMatch>(records)[records.used++] = record;
    }
    detach_text(handle);
    std::free(utf16.units);
    release(walker);

    if (records.used == 0) {
        std::free(records.block);
        std::free(spans.block);
        std::free(split_pairs.block);
        std::free(text_copy);
        return nullptr;
    }
    shrink(records, allocator);
    shrink(spans, allocator);
    auto* header = reinterpret_cast<ArrayHeader*>(records.block);
    *header = ArrayHeader{};
    header->count = static_cast<int32_t>(records.used);
    header->group_count = group_count;
    header->spans = group_count > 0 ? items<GroupSpan>(spans) : nullptr;
    if (group_count == 0) std::free(spans.block);
    header->text = text_copy;
    header->split_pairs = items<int32_t>(split_pairs);
    header->split_pair_count = static_cast<int32_t>(split_pairs.used);
    *count = header->count;
    return items<AdapterMatch>(records);
}
}  // namespace brindlecap::mysql_adapter

extern "C" {

AdapterMatch* mysql_regex_matches(URegularExpression* handle, const char* text, int32_t* count) {
    static constexpr Allocator SYSTEM_ALLOCATOR{std::realloc};
    return find_all_matches(handle, text, count, SYSTEM_ALLOCATOR);
}

char* mysql_regex_replace(URegularExpression* handle, const char* text, const char* replacement) {
    if (text == nullptr) return copy_of("");
    if (handle == nullptr || replacement == nullptr) return copy_of(text);
    Utf16 subject = utf8_to_utf16(text);
    if (subject.units == nullptr) return copy_of(text);
    Utf16 templ = utf8_to_utf16(replacement);
    if (templ.units == nullptr) {
        std::free(subject.units);
        return copy_of(text);
    }
    UErrorCode status = U_ZERO_ERROR;
    uregex_setText(handle, subject.units, subject.length, &status);
    if (U_FAILURE(status)) {
        std::free(subject.units);
        std::free(templ.units);
        return copy_of(text);
    }

    const int32_t capacity = replace_capacity(subject.length, templ.length);
    auto* out =
        static_cast<UChar*>(std::malloc(sizeof(UChar) * static_cast<std::size_t>(capacity)));
    status = U_ZERO_ERROR;
    int32_t n = uregex_replaceAll(handle, templ.units, templ.length, out, capacity, &status);
    bool usable = U_SUCCESS(status);
    if (status == U_BUFFER_OVERFLOW_ERROR && n >= 0 && n < INT32_MAX) {
        std::free(out);
        out = static_cast<UChar*>(std::malloc(sizeof(UChar) * (static_cast<std::size_t>(n) + 1)));
        status = U_ZERO_ERROR;
        uregex_replaceAll(handle, templ.units, templ.length, out, n + 1, &status);
        // The same handle, text and template give the same n units; should the
        // call fail anyway, the buffer holds nothing worth converting.
        usable = U_SUCCESS(status);
    }
    // A template can write a lone surrogate (\ud800), which has no UTF-8
    // form, or U+0000 (\u0000), which a NUL-terminated result cannot carry:
    // both are failed replacements, not a result cut short.
    if (usable && n > 0 && u_memchr(out, 0, n) != nullptr) usable = false;
    char* result = usable ? utf16_to_utf8_or_null(out, n) : nullptr;
    if (result == nullptr) result = copy_of(text);
    detach_text(handle);
    std::free(out);
    std::free(subject.units);
    std::free(templ.units);
    return result;
}

void mysql_regex_free(URegularExpression* handle) {
    if (handle != nullptr) uregex_close(handle);
}

void mysql_match_result_free(AdapterMatch* matches, int32_t /*count: the array keeps its own*/) {
    if (matches == nullptr) return;
    ArrayHeader* header = header_of(matches);
    if (header->texts != nullptr) {
        for (int32_t i = 0; i < header->count; ++i) std::free(header->texts[i]);
        std::free(header->texts);
    }
    std::free(header->spans);
    std::free(header->text);
    std::free(header->split_pairs);
    std::free(header);
}

int32_t mysql_match_get_start(const AdapterMatch* matches, int32_t i) {
    return matches == nullptr ? -1 : matches[i].start;
}

int32_t mysql_match_get_end(const AdapterMatch* matches, int32_t i) {
    return matches == nullptr ? -1 : matches[i].end;
}

// Made the first time it is asked for and kept until the array is released:
// a copy of every match that nobody reads would cost more than the search.
const char* mysql_match_get_text(const AdapterMatch* matches, int32_t i) {
    static const char EMPTY_TEXT[] = "";
    if (matches == nullptr) return nullptr;
    ArrayHeader* header = header_of(matches);
    const AdapterMatch& match = matches[i];
    if (match.end <= match.start) return EMPTY_TEXT;
    const int32_t* const splits = header->split_pairs;
    if (std::binary_search(splits, splits + header->split_pair_count, i)) return EMPTY_TEXT;
    if (header->texts == nullptr) {
        header->texts = static_cast<char**>(
            std::calloc(static_cast<std::size_t>(header->count), sizeof(char*)));
        if (header->texts == nullptr) return EMPTY_TEXT;
    }
    char*& copy = header->texts[i];
    if (copy == nullptr) {
        const auto length = static_cast<std::size_t>(match.end - match.start);
        copy = static_cast<char*>(std::malloc(length + 1));
        if (copy == nullptr) return EMPTY_TEXT;
        std::memcpy(copy, header->text + match.start, length);
        copy[length] = '\0';
    }
    return copy;
}

int32_t mysql_match_get_group_count(const AdapterMatch* matches, int32_t /*i*/) {
    return matches == nullptr ? 0 : header_of(matches)->group_count;
}

int32_t mysql_match_get_group_start(const AdapterMatch* matches, int32_t i, int32_t g) {
    const GroupSpan* span = group_span(matches, i, g);
    return span == nullptr ? -1 : span->start;
}

int32_t mysql_match_get_group_end(const AdapterMatch* matches, int32_t i, int32_t g) {
    const GroupSpan* span = group_span(matches, i, g);
    return span == nullptr ? -1 : span->end;
}

}  // extern "C"
