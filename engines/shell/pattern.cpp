#include "pattern.h"

#include "tre_pattern.h"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace brindlecap::shell {

namespace {

constexpr int TRE_BADBR = 10;
constexpr int TRE_BADMAX = 14;
constexpr std::uint64_t DUP_MAX = 255;
constexpr std::uint64_t TRE_INT_MAX = 2147483647;

bool is_bre_special(char c) {
    switch (c) {
        case '(': case ')': case '+': case '?': case '{': case '|': case '}':
            return true;
        default:
            return false;
    }
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Digits at `i`, saturating above TRE_INT_MAX so huge bounds stay "above".
std::optional<std::uint64_t> read_number(std::string_view text, std::size_t& i) {
    if (i >= text.size() || !is_digit(text[i])) return std::nullopt;
    std::uint64_t value = 0;
    while (i < text.size() && is_digit(text[i])) {
        if (value <= TRE_INT_MAX) value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
        ++i;
    }
    return value;
}

// Index just past the bracket expression that opens at `open` (a '['),
// reading it as POSIX does: a leading '^' and ']' are literal, [: :], [. .]
// and [= =] hide their contents, and a backslash is an ordinary character.
std::size_t skip_bracket(std::string_view text, std::size_t open) {
    std::size_t i = open + 1;
    if (i < text.size() && text[i] == '^') ++i;
    if (i < text.size() && text[i] == ']') ++i;
    while (i < text.size()) {
        char c = text[i];
        if (c == ']') return i + 1;
        if (c == '[' && i + 1 < text.size() &&
            (text[i + 1] == ':' || text[i + 1] == '.' || text[i + 1] == '=')) {
            char kind = text[i + 1];
            std::size_t close = i + 2;
            while (close + 1 < text.size() && !(text[close] == kind && text[close + 1] == ']')) {
                ++close;
            }
            if (close + 1 >= text.size()) return text.size();
            i = close + 2;
            continue;
        }
        ++i;
    }
    return text.size();
}

// Index of the next '{' at or after `i` that TRE reads as the start of a
// bound: outside brackets and not escaped (the braces of TRE's hexadecimal
// escape \x{...} are no bound); npos when there is none.
std::size_t next_bound(std::string_view text, std::size_t i) {
    while (i < text.size()) {
        char c = text[i];
        if (c == '\\') {
            if (i + 2 < text.size() && text[i + 1] == 'x' && text[i + 2] == '{') {
                std::size_t close = text.find('}', i + 3);
                if (close == std::string_view::npos) return std::string_view::npos;
                i = close + 1;
            } else {
                i += 2;
            }
        } else if (c == '[') {
            i = skip_bracket(text, i);
        } else if (c == '{') {
            return i;
        } else {
            ++i;
        }
    }
    return std::string_view::npos;
}

}  // namespace

// Errs on the safe side: an escaped backslash before the letter still counts.
bool has_word_assertion(std::string_view tre_text) {
    for (std::string_view assertion : {"\\<", "\\>", "\\b", "\\B"})
        if (tre_text.find(assertion) != std::string_view::npos) return true;
    return false;
}

void TreFree::operator()(TrePattern* pattern) const {
    tre_regfree(&pattern->re);
    delete pattern;
}

RegexFlags parse_flags(std::string_view flags) {
    RegexFlags result;
    result.extended = flags.find('E') != std::string_view::npos;
    result.icase = flags.find('i') != std::string_view::npos;
    return result;
}

std::string translate_bre(std::string_view pattern) {
    std::string out;
    out.reserve(pattern.size() + pattern.size() / 4 + 1);
    std::size_t i = 0;
    while (i < pattern.size()) {
        char c = pattern[i];
        if (c == '\\') {
            if (i + 1 >= pattern.size()) {
                out += '\\';
                i += 1;
            } else if (is_bre_special(pattern[i + 1])) {
                out += pattern[i + 1];
                i += 2;
            } else {
                // Every byte that is not ASCII belongs to a multi-byte character and
                // is copied unchanged, so taking the pair byte-wise keeps characters whole.
                out += '\\';
                out += pattern[i + 1];
                i += 2;
            }
        } else if (is_bre_special(c)) {
            out += '\\';
            out += c;
            i += 1;
        } else {
            out += c;
            i += 1;
        }
    }
    return out;
}

int classify_bad_bound(std::string_view text) {
    for (std::size_t i = next_bound(text, 0); i != std::string_view::npos; i = next_bound(text, i)) {
        std::size_t j = i + 1;
        std::optional<std::uint64_t> min = read_number(text, j);
        std::optional<std::uint64_t> max = min;
        bool comma = j < text.size() && text[j] == ',';
        if (!min && !comma) return TRE_BADBR;  // {} and TRE's own extensions
        if (comma) {
            ++j;
            max = read_number(text, j);
        }
        // TRE checks the numbers before it looks for the closing brace; a
        // missing maximum after the comma means no upper limit.
        std::uint64_t low = min.value_or(0);
        bool rejected = (max && low > *max) || (max && *max > DUP_MAX);
        if (rejected) {
            bool above = low > DUP_MAX || (max && *max > DUP_MAX);
            return above ? TRE_BADMAX : TRE_BADBR;
        }
        if (j >= text.size() || text[j] != '}') return TRE_BADBR;
        i = j + 1;
    }
    return TRE_BADBR;
}

BoundsForTre bounds_for_tre(std::string_view text) {
    BoundsForTre result;
    std::size_t copied = 0;
    auto clamp_number = [&](std::size_t& j) {
        std::size_t digits = j;
        std::optional<std::uint64_t> value = read_number(text, j);
        if (!value || *value <= TRE_INT_MAX) return false;
        result.text.append(text, copied, digits - copied);
        result.text += "256";
        copied = j;
        return true;
    };
    for (std::size_t i = next_bound(text, 0); i != std::string_view::npos; i = next_bound(text, i)) {
        std::size_t j = i + 1;
        bool clamped_min = clamp_number(j);
        if (j < text.size() && text[j] == ',') {
            ++j;
            std::size_t max_at = j;
            clamp_number(j);
            if (clamped_min && j == max_at) result.open_minimum_clamped = true;
        }
        i = j;
    }
    if (copied == 0) {
        result.text.clear();
        result.changed = false;
    } else {
        result.text.append(text, copied, std::string_view::npos);
        result.changed = true;
    }
    return result;
}

std::variant<CompiledPattern, std::string> compile_regex(std::string_view pattern,
                                                         std::string_view flags) {
    RegexFlags f = parse_flags(flags);
    std::string text = f.extended ? std::string(pattern) : translate_bre(pattern);
    auto failure = [&](const std::string& inner) {
        std::string message = "compile error: ";
        message += inner;
        message += " (pattern=";
        message += pattern;
        message += ')';
        return message;
    };
    std::size_t nul = text.find('\0');
    if (nul != std::string::npos) {
        return failure("NUL in pattern: nul byte found in provided data at position: " +
                       std::to_string(nul));
    }
    int cflags = REG_EXTENDED | (f.icase ? REG_ICASE : 0);
    BoundsForTre bounds = bounds_for_tre(text);
    const std::string& tre_text = bounds.changed ? bounds.text : text;
    auto compiled = std::make_unique<TrePattern>();
    // `tre_text` is NUL-terminated by std::string and holds no other NUL.
    int result = tre_regcomp(&compiled->re, tre_text.c_str(), cflags);
    if (result == 0 && bounds.open_minimum_clamped) {
        // A minimum beyond TRE's reach is a bound above 255 all the same.
        tre_regfree(&compiled->re);
        result = TRE_BADMAX;
    }
    if (result != 0) {
        // A pattern that failed to compile holds nothing to release.
        if (result == TRE_BADBR) result = classify_bad_bound(tre_text);
        return failure("TRE compile error code " + std::to_string(result));
    }
    compiled->reads_before_start = has_word_assertion(text);
    return CompiledPattern(compiled.release());
}

}  // namespace brindlecap::shell
