#include "search.h"

#include "tre_pattern.h"

#include <locale.h>
#include <algorithm>
#include <climits>
#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <new>
#include <string>

namespace brindlecap::shell {

namespace {

// Bytes from `position` to the next character boundary of the locale. In a
// multibyte locale TRE finds nothing in a string that starts inside a
// character, so stepping a single byte after an empty match would silently
// end the search of the line.
std::size_t step_after_empty(std::string_view line, std::size_t position) {
    if (MB_CUR_MAX == 1 || position >= line.size()) return 1;
    std::mbstate_t state{};
    std::size_t length = std::mbrlen(line.data() + position, line.size() - position, &state);
    if (length == 0 || length == static_cast<std::size_t>(-1) ||
        length == static_cast<std::size_t>(-2)) {
        return 1;
    }
    return length;
}

bool is_ascii(std::string_view line) {
    constexpr std::uint64_t HIGH_BITS = 0x8080808080808080u;
    std::size_t i = 0;
    std::uint64_t seen = 0;
    for (; i + 8 <= line.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, line.data() + i, sizeof word);
        seen |= word;
    }
    for (; i < line.size(); ++i) seen |= static_cast<unsigned char>(line[i]);
    return (seen & HIGH_BITS) == 0;
}

// The C locale, in which TRE works on bytes, when searching an ASCII line
// there finds what a search in the process's multibyte locale finds for an
// ASCII pattern: the pattern was compiled in the process's locale (its
// literals, case counterparts and class tables are fixed then), and TRE's
// multibyte mode must decode each ASCII byte to the same code, which not
// every multibyte locale does (Shift_JIS reads 0x5C as U+00A5 and 0x7E as
// U+203E). What the matcher still asks the locale while it runs (case
// mapping for classes under REG_ICASE, alphanumerics for word assertions)
// must give the same answers for every ASCII character in both; otherwise,
// and in a locale whose characters are single bytes anyway, there is no byte
// path (null).
bool decodes_to_itself(char byte) {
    std::mbstate_t state{};
    wchar_t decoded = 0;
    return std::mbrtowc(&decoded, &byte, 1, &state) == 1 &&
           decoded == static_cast<wchar_t>(static_cast<unsigned char>(byte));
}

class ByteLocale {
public:
    ByteLocale() {
        if (MB_CUR_MAX == 1) return;
        locale_t c = newlocale(LC_ALL_MASK, "C", locale_t{});
        if (c == locale_t{}) return;
        for (wint_t ch = 0; ch < 0x80; ++ch) {
            if ((ch != 0 && !decodes_to_itself(static_cast<char>(ch))) ||
                std::towlower(ch) != towlower_l(ch, c) || std::towupper(ch) != towupper_l(ch, c) ||
                (std::iswalnum(ch) != 0) != (iswalnum_l(ch, c) != 0)) {
                freelocale(c);
                return;
            }
        }
        locale_ = c;
    }
    ~ByteLocale() {
        if (locale_ != locale_t{}) freelocale(locale_);
    }
    ByteLocale(const ByteLocale&) = delete;
    ByteLocale& operator=(const ByteLocale&) = delete;
    locale_t get() const { return locale_; }

private:
    locale_t locale_{};
};

// Puts this thread in the byte locale for ASCII lines and back in its own for
// the others, switching only when that changes; its own is restored at the end.
class ThreadLocaleSwitch {
public:
    explicit ThreadLocaleSwitch(locale_t bytes) : bytes_(bytes) {}
    ~ThreadLocaleSwitch() { use_bytes(false); }
    ThreadLocaleSwitch(const ThreadLocaleSwitch&) = delete;
    ThreadLocaleSwitch& operator=(const ThreadLocaleSwitch&) = delete;
    void use_bytes(bool on) {
        if (on == (own_ != locale_t{})) return;
        if (on) {
            own_ = uselocale(bytes_);
        } else {
            uselocale(own_);
            own_ = locale_t{};
        }
    }

private:
    locale_t bytes_;
    locale_t own_{};  // set while the byte locale is in use
};

// The search of one line in positions of its own (bytes, or the wide
// characters of a decoded line): `search(from, slot, eflags)` runs TRE on
// the rest of the line from a position, `step(position)` is how far to go
// after an empty match there, and `to_byte(position)` gives a position's
// byte offset in the line, asked for in ascending order.
template <typename Search, typename Step, typename ToByte>
void search_line(const TrePattern& pattern, std::size_t length, Search search, Step step,
                 ToByte to_byte, std::size_t line_offset, std::vector<MatchSpan>& spans) {
    std::size_t position = 0;
    int eflags = 0;
    while (position <= length) {
        std::size_t rest = length - position;
        regmatch_t slot[1] = {{-1, -1}};
        if (search(position, slot, eflags) != 0) break;
        // TRE's offsets are signed 32-bit; anything outside the searched
        // string ends the line rather than producing a bogus span.
        if (slot[0].rm_so < 0 || slot[0].rm_eo < slot[0].rm_so ||
            static_cast<std::size_t>(slot[0].rm_eo) > rest) {
            break;
        }
        std::size_t s = position + static_cast<std::size_t>(slot[0].rm_so);
        std::size_t e = position + static_cast<std::size_t>(slot[0].rm_eo);
        if (e > s) {
            const std::size_t start = to_byte(s);
            spans.push_back({line_offset + start, line_offset + to_byte(e)});
            position = e;
        } else {
            // No match starts between `position` and the empty match at s, so
            // every later search up to s would find that same empty match
            // again, each scanning to the line's end. Unless the pattern reads
            // the character before its start, go straight to s.
            if (!pattern.reads_before_start && s > position) position = s;
            position += step(position);
        }
        eflags = REG_NOTBOL;
    }
}

void search_bytes(const TrePattern& pattern, std::string_view line, std::size_t line_offset,
                  std::vector<MatchSpan>& spans) {
    search_line(
        pattern, line.size(),
        [&](std::size_t from, regmatch_t* slot, int eflags) {
            return tre_regnexec(&pattern.re, line.data() + from, line.size() - from, 1, slot,
                                eflags);
        },
        [&](std::size_t position) { return step_after_empty(line, position); },
        [](std::size_t position) { return position; }, line_offset, spans);
}

// A line as the locale's wide characters, with the length in bytes of each.
struct WideLine {
    std::wstring characters;
    std::string lengths;  // one byte per character
};

// Room after the characters for the C library's vector comparisons of
// back references, which load whole registers (up to 64 bytes) and may reach
// past the last character compared; within the buffer, memory checkers have
// nothing to report.
constexpr std::size_t WIDE_SLACK = 16;

// False when some bytes of the line are not a character of the locale.
bool decode(std::string_view line, WideLine& wide) {
    wide.characters.reserve(line.size() + WIDE_SLACK);
    wide.lengths.reserve(line.size());
    std::mbstate_t state{};
    for (std::size_t i = 0; i < line.size();) {
        wchar_t character = 0;
        std::size_t length = std::mbrtowc(&character, line.data() + i, line.size() - i, &state);
        if (length == static_cast<std::size_t>(-1) || length == static_cast<std::size_t>(-2))
            return false;
        if (length == 0) length = 1;  // a NUL byte
        wide.characters += character;
        wide.lengths += static_cast<char>(length);
        i += length;
    }
    return true;
}

// Byte offsets of character positions of a decoded line, walked forward.
struct ByteCursor {
    std::size_t position = 0;
    std::size_t offset = 0;
    std::size_t offset_of(const WideLine& wide, std::size_t target) {
        for (; position < target; ++position)
            offset += static_cast<unsigned char>(wide.lengths[position]);
        return offset;
    }
};

}  // namespace

std::vector<MatchSpan> find_text_matches(const TrePattern& pattern, std::string_view text,
                                         bool byte_path) {
    static const ByteLocale byte_locale;
    const bool bytes_possible = byte_path && pattern.ascii && byte_locale.get() != locale_t{};
    ThreadLocaleSwitch locale_switch(byte_locale.get());
    // Growing the list step by step would copy it and leave the old copies'
    // pages behind; once a sample of the text is searched, room for the whole
    // text at the same rate is reserved in one step.
    constexpr std::size_t SAMPLE = std::size_t{1} << 16;
    std::vector<MatchSpan> spans;
    bool estimated = false;
    for_each_line(text, [&](std::string_view line, std::size_t offset) {
        if (bytes_possible) locale_switch.use_bytes(is_ascii(line));
        append_line_matches(pattern, line, offset, spans);
        std::size_t searched = offset + line.size() + 1;
        if (!estimated && searched >= SAMPLE && searched < text.size()) {
            estimated = true;
            std::size_t rest = text.size() - searched;
            // At most a span per four bytes of the rest is reserved, and a
            // reservation that cannot be had is left to the ordinary growth.
            std::size_t more =
                std::min(spans.size() * (rest / searched + 1) * 9 / 8, rest / 4) + 16;
            try {
                spans.reserve(spans.size() + more);
            } catch (const std::bad_alloc&) {
            }
        }
    });
    return spans;
}

void append_line_matches(const TrePattern& pattern, std::string_view line, std::size_t line_offset,
                         std::vector<MatchSpan>& spans) {
    if (pattern.back_references && MB_CUR_MAX > 1) {
        // Decoding multibyte characters itself, TRE's matcher for back
        // references loses count of where it is in the string: it compares a
        // reference's text from the wrong byte, so it misses matches (it
        // finds no "(.)\1" in "ééé"), and reads on past the string's end, so
        // answers depend on whatever lies there. Given the line's wide
        // characters it keeps count.
        WideLine wide;
        if (decode(line, wide)) {
            ByteCursor bytes;
            search_line(
                pattern, wide.characters.size(),
                [&](std::size_t from, regmatch_t* slot, int eflags) {
                    return tre_regwnexec(&pattern.re, wide.characters.data() + from,
                                         wide.characters.size() - from, 1, slot, eflags);
                },
                [](std::size_t) -> std::size_t { return 1; },
                [&](std::size_t position) { return bytes.offset_of(wide, position); }, line_offset,
                spans);
            return;
        }
        // A line that is not all characters of the locale is searched as
        // bytes, as TRE is given it elsewhere, in a copy followed by NULs:
        // the reads past its end then stay in the engine's memory, at most
        // as many bytes again as the line, and see the same bytes every run.
        std::string padded;
        padded.reserve(2 * line.size() + MB_LEN_MAX);
        padded.assign(line);
        padded.append(line.size() + MB_LEN_MAX, '\0');
        search_bytes(pattern, std::string_view(padded.data(), line.size()), line_offset, spans);
        return;
    }
    search_bytes(pattern, line, line_offset, spans);
}

}  // namespace brindlecap::shell
