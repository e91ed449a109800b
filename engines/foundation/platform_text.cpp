// Texts: the UTF-16 form the platform's string type
// holds, and the division of a text into characters.
#include "platform.h"
#include "platform_internal.h"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/utext.h>
#include <unicode/utf16.h>
#include <unicode/utf8.h>
#include <unicode/utypes.h>

#include <algorithm>
#include <cstdint>

namespace brindlecap::foundation::platform {

namespace internal {

// Writes the units as UTF-8 at `out`, which has room for three bytes a unit
// (a pair of units makes four), and returns how many bytes it wrote.
std::size_t utf16_to_utf8(char* out, const char16_t* units, std::size_t count) {
    auto* const begin = reinterpret_cast<std::uint8_t*>(out);
    const auto* s = reinterpret_cast<const UChar*>(units);
    const auto n = static_cast<std::int64_t>(count);
    std::int64_t i = 0;
    std::int64_t written = 0;
    while (i < n) {
        if (s[i] < 0x80) {
            begin[written++] = static_cast<std::uint8_t>(s[i++]);
            continue;
        }
        UChar32 c = 0;
        U16_NEXT(s, i, n, c);
        if (U_IS_SURROGATE(c)) c = 0xFFFD;
        U8_APPEND_UNSAFE(begin, written, c);
    }
    return static_cast<std::size_t>(written);
}

namespace {

void append_utf16_as_utf8(std::string& out, const char16_t* units, std::size_t count) {
    const std::size_t old_size = out.size();
    out.resize(old_size + 3 * count);
    out.resize(old_size + utf16_to_utf8(out.data() + old_size, units, count));
}

}  // namespace

// Writes the units of `utf8` to `out`, which has room for one unit per byte,
// and returns how many it wrote.
std::size_t utf8_to_utf16(char16_t* out, std::string_view utf8) {
    char16_t* p = out;
    const auto* s = reinterpret_cast<const std::uint8_t*>(utf8.data());
    const auto n = static_cast<std::int64_t>(utf8.size());
    std::int64_t i = 0;
    while (i < n) {
        if (s[i] < 0x80) {
            *p++ = static_cast<char16_t>(s[i++]);
            continue;
        }
        UChar32 c = 0;
        U8_NEXT_OR_FFFD(s, i, n, c);
        if (U_IS_BMP(c)) {
            *p++ = static_cast<char16_t>(c);
        } else {
            *p++ = static_cast<char16_t>(U16_LEAD(c));
            *p++ = static_cast<char16_t>(U16_TRAIL(c));
        }
    }
    return static_cast<std::size_t>(p - out);
}

std::u16string to_utf16(std::string_view utf8) {
    std::u16string out(utf8.size(), u'\0');
    out.resize(utf8_to_utf16(out.data(), utf8));
    return out;
}

std::string to_utf8(std::u16string_view units) {
    std::string out;
    append_utf16_as_utf8(out, units.data(), units.size());
    return out;
}

}  // namespace internal

using namespace internal;

void set_text(Text& text, std::string_view utf8) {
    // Never more units than bytes; the units past the text's end are left
    // unwritten, so their pages are never touched.
    if (text.capacity < utf8.size()) {
        text.units.reset();
        text.size = text.capacity = 0;
        text.units.reset(new char16_t[utf8.size()]);
        text.capacity = utf8.size();
    }
    text.size = utf8_to_utf16(text.units.get(), utf8);
}

std::size_t length(const Text& text) { return text.size; }

std::u16string_view units_in(const Text& text, Range range) {
    if (range.location >= text.size) return {};
    return {text.units.get() + range.location, std::min(range.length, text.size - range.location)};
}

std::vector<std::string_view> characters(std::string_view utf8) {
    std::vector<std::string_view> result;
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> breaks;
    icu::LocalUTextPointer text;
    if (utf8.size() <= static_cast<std::size_t>(INT32_MAX)) {
        breaks.reset(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        text.adoptInstead(
            utext_openUTF8(nullptr, utf8.data(), static_cast<std::int64_t>(utf8.size()), &status));
        if (U_SUCCESS(status)) breaks->setText(text.getAlias(), status);
    } else {
        status = U_INDEX_OUTOFBOUNDS_ERROR;
    }
    if (U_FAILURE(status)) {
        // Without a break iterator every code point stands alone.
        const auto* s = reinterpret_cast<const std::uint8_t*>(utf8.data());
        const auto n = static_cast<std::int64_t>(utf8.size());
        std::int64_t i = 0;
        while (i < n) {
            const std::int64_t start = i;
            UChar32 c = 0;
            U8_NEXT(s, i, n, c);
            result.emplace_back(
                utf8.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(i - start)));
        }
        return result;
    }
    std::int32_t start = breaks->first();
    for (std::int32_t end = breaks->next(); end != icu::BreakIterator::DONE;
         start = end, end = breaks->next()) {
        result.emplace_back(
            utf8.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start)));
    }
    return result;
}

}  // namespace brindlecap::foundation::platform
