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
#include <string_view>

namespace brindlecap::mysql_adapter {

namespace {

// Sits in front of the match records, in the same block: the array pointer
// handed out points just past it.
struct ArrayHeader {
    int32_t count;
    int32_t group_count;
    GroupSpan* spans;      // group_count per record, record by record; null without groups
    char* text;            // a copy of the searched text (flat interface only), or null
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

Utf16 utf8_to_utf16(std::string_view text) {
    const std::optional<int32_t> capacity = utf16_capacity(text.size());
    if (!capacity) return {};
    auto* units =
        static_cast<UChar*>(std::malloc(sizeof(UChar) * static_cast<std::size_t>(*capacity)));
    if (units == nullptr) return {.out_of_memory = true};
    int32_t length = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strFromUTF8(units, *capacity, &length, text.data(), static_cast<int32_t>(text.size()),
                  &status);
    if (U_FAILURE(status)) {
        std::free(units);
        return {};
    }
    return {units, length, static_cast<int32_t>(text.size())};
}

char* utf16_to_utf8_or_null(const UChar* units, int32_t length, bool* out_of_memory) {
    const int32_t capacity = units == nullptr || length <= 0 ? 1 : utf8_capacity(length);
    auto* bytes = static_cast<char*>(std::malloc(static_cast<std::size_t>(capacity)));
    if (bytes == nullptr) {
        if (out_of_memory != nullptr) *out_of_memory = true;
        return nullptr;
    }
    if (capacity == 1) {
        bytes[0] = '\0';
        return bytes;
    }
    UErrorCode status = U_ZERO_ERROR;
    u_strToUTF8(bytes, capacity, nullptr, units, length, &status);
    // An unterminated result can only come from a clamped capacity.
    if (U_FAILURE(status) || status == U_STRING_NOT_TERMINATED_WARNING) {
        std::free(bytes);
        return nullptr;
    }
    return bytes;
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

}  // namespace

Search search_all(URegularExpression* handle, std::string_view text, const Allocator& allocator) {
    Search found;
    if (handle == nullptr) return found;
    Utf16 utf16 = utf8_to_utf16(text);
    if (utf16.units == nullptr) {
        // A text too long for the interface has no matches; one that could
        // not be converted for want of memory was never searched.
        found.out_of_memory = utf16.out_of_memory;
        return found;
    }
    UErrorCode status = U_ZERO_ERROR;
    uregex_setText(handle, utf16.units, utf16.length, &status);
    if (U_FAILURE(status)) {
        std::free(utf16.units);
        return found;
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
    for (;;) {
        status = U_ZERO_ERROR;
        const bool more = uregex_findNext(handle, &status);
        int32_t s = -1;
        int32_t e = -1;
        if (more && U_SUCCESS(status)) {
            s = uregex_start(handle, 0, &status);
            e = uregex_end(handle, 0, &status);
        }
        if (U_FAILURE(status)) {
            // ICU gave up: its backtracking stack (or its heap) ran out, or
            // another limit was reached. A failed allocation is told apart,
            // as for the adapter's own.
            if (status == U_MEMORY_ALLOCATION_ERROR) {
                found.out_of_memory = true;
            } else {
                found.matcher_error = status;
            }
            break;
        }
        if (!more || s < 0 || e < s) break;

        if (!make_room(records, 1, allocator) || !make_room(spans, groups, allocator)) {
            found.out_of_memory = true;
            break;
        }
        const AdapterMatch record{offset_of(walker, ascii, s), offset_of(walker, ascii, e)};
        // A match that splits a surrogate pair has no UTF-8 form, though its
        // byte offsets may bound a whole character: its text is "".
        if (!ascii && e > s && record.end > record.start &&
            (U16_IS_TRAIL(utf16.units[s]) || U16_IS_LEAD(utf16.units[e - 1]))) {
            if (!make_room(split_pairs, 1, allocator)) {
                found.out_of_memory = true;
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
        return found;
    }
    shrink(records, allocator);
    shrink(spans, allocator);
    auto* header = reinterpret_cast<ArrayHeader*>(records.block);
    *header = ArrayHeader{};
    header->count = static_cast<int32_t>(records.used);
    header->group_count = group_count;
    header->spans = group_count > 0 ? items<GroupSpan>(spans) : nullptr;
    if (group_count == 0) std::free(spans.block);
    header->split_pairs = items<int32_t>(split_pairs);
    header->split_pair_count = static_cast<int32_t>(split_pairs.used);
    found.matches.reset(items<AdapterMatch>(records));
    found.count = header->count;
    found.group_count = group_count;
    found.spans = header->spans;
    return found;
}

Search search_all(URegularExpression* handle, std::string_view text) {
    static constexpr Allocator SYSTEM_ALLOCATOR{std::realloc};
    return search_all(handle, text, SYSTEM_ALLOCATOR);
}

namespace {

// What uregex_replaceAll does, with the status of the search kept apart from
// that of the template: every match replaced into `out`, and the length of
// the whole result, also when it does not fit.
int32_t replace_into(URegularExpression* handle, const Utf16& templ, UChar* out, int32_t capacity,
                     UErrorCode& find_status, UErrorCode& status) {
    find_status = U_ZERO_ERROR;
    status = U_ZERO_ERROR;
    uregex_reset(handle, 0, &status);
    int32_t length = 0;
    // An overflow of `out` leaves the appends counting the length on; a
    // refused template stops them, and the search goes on so that a search
    // ICU gives up on is told whatever the template.
    while (uregex_findNext(handle, &find_status)) {
        if (U_FAILURE(status) && status != U_BUFFER_OVERFLOW_ERROR) continue;
        length +=
            uregex_appendReplacement(handle, templ.units, templ.length, &out, &capacity, &status);
    }
    length += uregex_appendTail(handle, &out, &capacity, &status);
    return length;
}

}  // namespace

Replacement replace_all(URegularExpression* handle, std::string_view text,
                        std::string_view replacement) {
    Replacement replaced;
    if (handle == nullptr) return replaced;
    Utf16 subject = utf8_to_utf16(text);
    Utf16 templ = subject.units == nullptr ? Utf16{} : utf8_to_utf16(replacement);
    const auto release_all = [&](UChar* out) {
        detach_text(handle);
        std::free(out);
        std::free(subject.units);
        std::free(templ.units);
    };
    if (subject.units == nullptr || templ.units == nullptr) {
        replaced.out_of_memory = subject.out_of_memory || templ.out_of_memory;
        release_all(nullptr);
        return replaced;
    }
    UErrorCode status = U_ZERO_ERROR;
    uregex_setText(handle, subject.units, subject.length, &status);
    if (U_FAILURE(status)) {
        release_all(nullptr);
        return replaced;
    }

    int32_t capacity = replace_capacity(subject.length, templ.length);
    auto* out =
        static_cast<UChar*>(std::malloc(sizeof(UChar) * static_cast<std::size_t>(capacity)));
    UErrorCode find_status = U_ZERO_ERROR;
    int32_t n = 0;
    if (out != nullptr) n = replace_into(handle, templ, out, capacity, find_status, status);
    if (out != nullptr && U_SUCCESS(find_status) && status == U_BUFFER_OVERFLOW_ERROR && n >= 0 &&
        n < INT32_MAX) {
        std::free(out);
        capacity = n + 1;
        out = static_cast<UChar*>(std::malloc(sizeof(UChar) * static_cast<std::size_t>(capacity)));
        // The same handle, text and template give the same n units.
        if (out != nullptr) n = replace_into(handle, templ, out, capacity, find_status, status);
    }
    if (out == nullptr) {
        replaced.out_of_memory = true;
    } else if (U_FAILURE(find_status)) {
        if (find_status == U_MEMORY_ALLOCATION_ERROR) {
            replaced.out_of_memory = true;
        } else {
            replaced.matcher_error = find_status;
        }
    } else if (U_SUCCESS(status) && n >= 0 && n <= capacity && u_memchr(out, 0, n) == nullptr) {
        // A template can write a lone surrogate (\ud800), which has no UTF-8
        // form, or U+0000 (\u0000), which a NUL-terminated result cannot
        // carry: both are failed replacements, not a result cut short.
        replaced.text.reset(utf16_to_utf8_or_null(out, n, &replaced.out_of_memory));
    }
    release_all(out);
    return replaced;
}

}  // namespace brindlecap::mysql_adapter

extern "C" {

// The flat interface promises matched texts that outlive the caller's text,
// so the array keeps a copy of it; made after the search has released its
// UTF-16 text, the copy adds nothing to the call's peak. Without memory for
// it, every matched text reads "".
AdapterMatch* mysql_regex_matches(URegularExpression* handle, const char* text, int32_t* count) {
    *count = 0;
    if (handle == nullptr || text == nullptr) return nullptr;
    const std::size_t length = std::strlen(text);
    Search found = search_all(handle, std::string_view(text, length));
    if (!found.matches) return nullptr;
    header_of(found.matches.get())->text = static_cast<char*>(std::malloc(length + 1));
    if (char* copy = header_of(found.matches.get())->text) std::memcpy(copy, text, length + 1);
    *count = found.count;
    return found.matches.release();
}

char* mysql_regex_replace(URegularExpression* handle, const char* text, const char* replacement) {
    if (text == nullptr) return copy_of("");
    if (handle == nullptr || replacement == nullptr) return copy_of(text);
    Replacement replaced = replace_all(handle, text, replacement);
    return replaced.text ? replaced.text.release() : copy_of(text);
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
    if (match.end <= match.start || header->text == nullptr) return EMPTY_TEXT;
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
