#include "mysql_adapter.h"

#include "adapter_internal.h"

#include <unicode/uregex.h>
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
    std::vector<int32_t> map;
    map.reserve(static_cast<std::size_t>(utf16_length) + 1);
    int32_t offset = 0;
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    while (*p != 0) {
        const unsigned char lead = *p;
        int32_t length = 1;
        map.push_back(offset);
        if (lead >= 0xC0 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
        } else if (lead >= 0xF0 && lead <= 0xF7) {
            length = 4;
            map.push_back(offset);  // both halves of the surrogate pair
        }
        // A well-formed text never ends inside a sequence; stop at its NUL anyway.
        for (int32_t n = 0; n < length && *p != 0; ++n) ++p;
        offset += length;
    }
    map.push_back(offset);
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

AdapterMatch* mysql_regex_matches(URegularExpression* handle, const char* text,
                                  int32_t* count) {
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

    std::vector<AdapterMatch> found;
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
        const int32_t length = e - s;
        auto* matched_units = static_cast<UChar*>(std::malloc(sizeof(UChar) * (static_cast<std::size_t>(length) + 1)));
        u_strncpy(matched_units, utf16.units + s, length);
        matched_units[length] = 0;
        record.match_text = utf16_to_utf8(matched_units, length);
        std::free(matched_units);

        record.group_count = group_count;
        if (group_count > 0) {
            record.group_spans = static_cast<GroupSpan*>(
                std::calloc(static_cast<std::size_t>(group_count), sizeof(GroupSpan)));
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
        found.push_back(record);
    }
    detach_text(handle);
    std::free(utf16.units);

    if (found.empty()) return nullptr;
    auto* matches = static_cast<AdapterMatch*>(std::calloc(found.size(), sizeof(AdapterMatch)));
    std::memcpy(matches, found.data(), found.size() * sizeof(AdapterMatch));
    *count = static_cast<int32_t>(found.size());
    return matches;
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
    // form: that is a failed replacement too, not an empty result.
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
