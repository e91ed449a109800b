#include "mysql_adapter.h"

#include "adapter_internal.h"

#include <unicode/uregex.h>
#include <unicode/utf16.h>
#include <unicode/ustring.h>

#include <climits>
#include <cstdlib>
#include <cstring>

namespace brindlecap::mysql_adapter {

namespace {

constexpr int64_t kMaxCapacity = INT32_MAX;

int32_t clamp_capacity(int64_t wanted) {
    return wanted > kMaxCapacity ? static_cast<int32_t>(kMaxCapacity)
                                 : static_cast<int32_t>(wanted);
}

char* copy_of(const char* text) { return strdup(text); }

// Leaves the handle pointing at a text that outlives every call, so that no
// freed buffer stays attached between calls.
void detach_text(URegularExpression* handle) {
    static const UChar empty[1] = {0};
    UErrorCode status = U_ZERO_ERROR;
    uregex_setText(handle, empty, 0, &status);
}

// The match records as they are found. Grown with realloc, which moves a
// large block by remapping it rather than copying, and shrunk to its exact
// size at the end, so that the caller frees the list itself.
struct MatchList {
    AdapterMatch* records = nullptr;
    std::size_t used = 0;
    std::size_t room = 0;
};

// False when the list cannot grow; it keeps what it holds.
bool append(MatchList& list, const AdapterMatch& record, const Allocator& allocator) {
    if (list.used == list.room) {
        const std::size_t room = list.room == 0 ? 64 : 2 * list.room;
        auto* grown = static_cast<AdapterMatch*>(allocator.realloc(list.records, room * sizeof(AdapterMatch)));
        if (grown == nullptr) return false;
        list.records = grown;
        list.room = room;
    }
    list.records[list.used++] = record;
    return true;
}

// The text of the match of UTF-16 units s to e, which the byte offsets start
// and end bound in the UTF-8 text: the text's own bytes, the same as the
// units converted back. Only a match that splits a surrogate pair has no UTF-8
// form; it gets "", as its conversion would.
char* matched_text(const char* text, const UChar* units, int32_t s, int32_t e, int32_t start,
                   int32_t end) {
    if (e <= s || end <= start || U16_IS_TRAIL(units[s]) || U16_IS_LEAD(units[e - 1])) {
        return copy_of("");
    }
    const auto length = static_cast<std::size_t>(end - start);
    auto* bytes = static_cast<char*>(std::malloc(length + 1));
    if (bytes == nullptr) return copy_of("");
    std::memcpy(bytes, text + start, length);
    bytes[length] = '\0';
    return bytes;
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
    if (byte_length > static_cast<std::size_t>(kMaxCapacity)) return std::nullopt;
    const int64_t wanted = 2 * static_cast<int64_t>(byte_length) + 1;
    if (wanted > kMaxCapacity) return std::nullopt;
    return static_cast<int32_t>(wanted);
}

int32_t utf8_capacity(int32_t units) {
    return clamp_capacity(3 * static_cast<int64_t>(units) + 1);
}

int32_t replace_capacity(int32_t text_units, int32_t replacement_units) {
    return clamp_capacity(3 * static_cast<int64_t>(text_units) +
                          static_cast<int64_t>(replacement_units) + 1);
}

Utf16 utf8_to_utf16(const char* text) {
    const std::optional<int32_t> capacity = utf16_capacity(std::strlen(text));
    if (!capacity) return {};
    auto* units = static_cast<UChar*>(std::malloc(sizeof(UChar) * static_cast<std::size_t>(*capacity)));
    int32_t length = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strFromUTF8(units, *capacity, &length, text, -1, &status);
    if (U_FAILURE(status)) {
        std::free(units);
        return {};
    }
    return {units, length};
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

std::vector<int32_t> byte_offset_map(const char* text, int32_t utf16_length) {
    const std::size_t units = utf16_length > 0 ? static_cast<std::size_t>(utf16_length) : 0;
    // This runs over every byte of the text, so it has no branch that depends
    // on the bytes and no checked append: each byte writes its character's
    // offset into the next two slots (hence one spare), and only a lead byte
    // moves past them, by one slot or, for a surrogate pair, two.
    std::vector<int32_t> map(units + 2);
    int32_t* const out = map.data();
    const auto* const bytes = reinterpret_cast<const unsigned char*>(text);
    std::size_t next = 0;
    std::size_t i = 0;
    int32_t lead_offset = 0;
    for (; bytes[i] != 0; ++i) {
        const unsigned char byte = bytes[i];
        // Bytes 0x80-0xBF continue a sequence; 0xF0-0xF7 lead one of four
        // bytes, which takes two UTF-16 units that both map to its first byte.
        const bool continues = (byte & 0xC0) == 0x80;
        const bool pair = byte >= 0xF0 && byte <= 0xF7;
        lead_offset = continues ? lead_offset : static_cast<int32_t>(i);
        out[next] = lead_offset;
        out[next + 1] = lead_offset;
        next += static_cast<std::size_t>(!continues) + static_cast<std::size_t>(pair);
        // Only a text that is not well-formed could give more entries.
        next = next < units ? next : units;
    }
    out[next] = static_cast<int32_t>(i);  // the end entry: the byte length
    map.resize(next + 1);
    return map;
}

int32_t map_lookup(const std::vector<int32_t>& map, int32_t k) {
    if (k < 0) return -1;
    if (static_cast<std::size_t>(k) < map.size()) return map[static_cast<std::size_t>(k)];
    return map.back();
}

}  // namespace brindlecap::mysql_adapter

using namespace brindlecap::mysql_adapter;

extern "C" {

URegularExpression* mysql_regex_compile(const char* pattern, const char* flags,
                                        char** error) {
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

AdapterMatch* find_all_matches(URegularExpression* handle, const char* text, int32_t* count,
                               const Allocator& allocator) {
    *count = 0;
    if (handle == nullptr || text == nullptr) return nullptr;
    Utf16 utf16 = utf8_to_utf16(text);
    if (utf16.units == nullptr) return nullptr;
    UErrorCode status = U_ZERO_ERROR;
    uregex_setText(handle, utf16.units, utf16.length, &status);
    if (U_FAILURE(status)) {
        std::free(utf16.units);
        return nullptr;
    }
    status = U_ZERO_ERROR;
    int32_t group_count = uregex_groupCount(handle, &status);
    if (U_FAILURE(status) || group_count < 0) group_count = 0;
    const std::vector<int32_t> map = byte_offset_map(text, utf16.length);

    MatchList found;
    for (;;) {
        status = U_ZERO_ERROR;
        if (!uregex_findNext(handle, &status) || U_FAILURE(status)) break;
        status = U_ZERO_ERROR;
        const int32_t s = uregex_start(handle, 0, &status);
        const int32_t e = uregex_end(handle, 0, &status);
        if (U_FAILURE(status) || s < 0 || e < s) break;

        AdapterMatch record{};
        record.start = map_lookup(map, s);
        record.end = map_lookup(map, e);
        record.match_text = matched_text(text, utf16.units, s, e, record.start, record.end);

        record.group_count = group_count;
        if (group_count > 0) {
            record.group_spans = static_cast<GroupSpan*>(
                allocator.calloc(static_cast<std::size_t>(group_count), sizeof(GroupSpan)));
            // Like a list that cannot grow: the search ends with what it has.
            if (record.group_spans == nullptr) {
                std::free(record.match_text);
                break;
            }
            for (int32_t k = 1; k <= group_count; ++k) {
                UErrorCode group_status = U_ZERO_ERROR;
                const int32_t gs = uregex_start(handle, k, &group_status);
                const int32_t ge = uregex_end(handle, k, &group_status);
                GroupSpan& span = record.group_spans[k - 1];
                if (U_FAILURE(group_status) || gs < 0 || ge < 0) {
                    span = {-1, -1, 0};
                } else {
                    span = {map_lookup(map, gs), map_lookup(map, ge), 1};
                }
            }
        }
        if (!append(found, record, allocator)) {
            std::free(record.match_text);
            std::free(record.group_spans);
            break;
        }
    }
    detach_text(handle);
    std::free(utf16.units);

    if (found.used == 0) {
        std::free(found.records);
        return nullptr;
    }
    // Exactly as many records as matches; shrinking in place copies nothing.
    auto* matches = static_cast<AdapterMatch*>(
        allocator.realloc(found.records, found.used * sizeof(AdapterMatch)));
    if (matches == nullptr) matches = found.records;
    *count = static_cast<int32_t>(found.used);
    return matches;
}

}  // namespace brindlecap::mysql_adapter

extern "C" {

AdapterMatch* mysql_regex_matches(URegularExpression* handle, const char* text,
                                  int32_t* count) {
    static constexpr Allocator system{std::calloc, std::realloc};
    return find_all_matches(handle, text, count, system);
}

char* mysql_regex_replace(URegularExpression* handle, const char* text,
                          const char* replacement) {
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
    auto* out = static_cast<UChar*>(std::malloc(sizeof(UChar) * static_cast<std::size_t>(capacity)));
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

void mysql_match_result_free(AdapterMatch* matches, int32_t count) {
    if (matches == nullptr) return;
    for (int32_t i = 0; i < count; ++i) {
        std::free(matches[i].match_text);
        std::free(matches[i].group_spans);
    }
    std::free(matches);
}

int32_t mysql_match_get_start(const AdapterMatch* matches, int32_t i) {
    return matches == nullptr ? -1 : matches[i].start;
}

int32_t mysql_match_get_end(const AdapterMatch* matches, int32_t i) {
    return matches == nullptr ? -1 : matches[i].end;
}

const char* mysql_match_get_text(const AdapterMatch* matches, int32_t i) {
    return matches == nullptr ? nullptr : matches[i].match_text;
}

int32_t mysql_match_get_group_count(const AdapterMatch* matches, int32_t i) {
    return matches == nullptr ? 0 : matches[i].group_count;
}

int32_t mysql_match_get_group_start(const AdapterMatch* matches, int32_t i, int32_t g) {
    if (matches == nullptr || g < 0 || g >= matches[i].group_count) return -1;
    const GroupSpan& span = matches[i].group_spans[g];
    return span.matched ? span.start : -1;
}

int32_t mysql_match_get_group_end(const AdapterMatch* matches, int32_t i, int32_t g) {
    if (matches == nullptr || g < 0 || g >= matches[i].group_count) return -1;
    const GroupSpan& span = matches[i].group_spans[g];
    return span.matched ? span.end : -1;
}

}  // extern "C"
