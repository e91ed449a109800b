#include "replacement.h"

#include "base/utf8.h"

#include <unicode/ucasemap.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>
#include <unicode/utypes.h>

#include <algorithm>
#include <cstdint>
#include <tuple>
#include <utility>
#include <vector>

namespace brindlecap::shell {

namespace {

// The root locale: no language-specific rules (no Turkish dotless i, no
// Lithuanian dot handling), final sigma applied by the string mapping.
const UCaseMap* root_case_map() {
    static const icu::LocalUCaseMapPointer map = [] {
        UErrorCode status = U_ZERO_ERROR;
        icu::LocalUCaseMapPointer handle(ucasemap_open("", 0, &status));
        if (U_FAILURE(status)) handle.adoptInstead(nullptr);
        return handle;
    }();
    return map.getAlias();
}

// Appends the mapping of `piece` (valid UTF-8, at most MAP_PIECE_LIMIT
// bytes, so that ICU's int32_t lengths hold it and its mapping) to `out`.
void map_piece(std::string_view piece, CaseMode mode, std::string& out) {
    if (piece.empty()) return;
    // Every ASCII character's full mapping in the root locale is its ASCII
    // counterpart (the special and conditional mappings are all beyond
    // ASCII), so an ASCII piece needs no call into ICU.
    if (std::all_of(piece.begin(), piece.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
        const std::size_t at = out.size();
        out += piece;
        for (std::size_t i = at; i < out.size(); ++i) {
            char& c = out[i];
            if (mode == CaseMode::lower && c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
            if (mode == CaseMode::upper && c >= 'a' && c <= 'z')
                c = static_cast<char>(c - 'a' + 'A');
        }
        return;
    }
    const UCaseMap* map = root_case_map();
    if (map == nullptr) {
        out += piece;
        return;
    }
    const std::size_t at = out.size();
    auto run = [&](std::size_t room) {
        out.resize(at + room);
        UErrorCode status = U_ZERO_ERROR;
        char* into = out.data() + at;
        auto capacity = static_cast<int32_t>(room);
        auto length = static_cast<int32_t>(piece.size());
        int32_t written =
            mode == CaseMode::lower
                ? ucasemap_utf8ToLower(map, into, capacity, piece.data(), length, &status)
                : ucasemap_utf8ToUpper(map, into, capacity, piece.data(), length, &status);
        return std::pair{written, status};
    };
    // Full mappings grow a character to at most three, each of at most as
    // many bytes, so this first buffer is nearly always enough.
    auto [written, status] = run(piece.size() * 3);
    if (status == U_BUFFER_OVERFLOW_ERROR && written > 0) {
        std::tie(written, status) = run(static_cast<std::size_t>(written));
    }
    if (U_FAILURE(status) || written < 0) {
        out.resize(at);
        out += piece;
        return;
    }
    out.resize(at + static_cast<std::size_t>(written));
}

// Whether lower-case mapping can look across a cut next to this character:
// the final-sigma rule reads past case-ignorable characters to the next
// cased one, and applies to capital sigma itself.
bool sigma_context(UChar32 c) {
    return c == 0x03A3 || c < 0 || u_hasBinaryProperty(c, UCHAR_CASE_IGNORABLE);
}

// Where to end a piece that starts at `start` and should run to `limit`: the
// last character boundary at or before `limit` (after `start`) at which no
// rule looks across, for lower case one between two characters that are
// neither case-ignorable nor capital sigma. Without one, the piece runs on to
// the first such place after `limit`, or to the end of the text, as long as
// ICU can still take it whole.
std::size_t piece_end(std::string_view text, std::size_t start, std::size_t limit, CaseMode mode) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    auto is_boundary = [&](std::size_t p) { return p == text.size() || (bytes[p] & 0xC0) != 0x80; };
    auto is_cut = [&](std::size_t p) {
        if (!is_boundary(p)) return false;
        if (mode == CaseMode::upper || p == text.size()) return true;
        UChar32 before = 0, after = 0;
        auto before_at = static_cast<int32_t>(p - start);
        U8_PREV(bytes + start, 0, before_at, before);
        int32_t after_at = 0;
        U8_NEXT(bytes + p, after_at,
                static_cast<int32_t>(std::min<std::size_t>(4, text.size() - p)), after);
        return !sigma_context(before) && !sigma_context(after);
    };
    for (std::size_t p = limit; p > start; --p)
        if (is_cut(p)) return p;
    const std::size_t most = std::min(text.size(), start + static_cast<std::size_t>(INT32_MAX / 3));
    for (std::size_t p = limit + 1; p <= most; ++p)
        if (is_cut(p)) return p;
    std::size_t p = most;
    while (!is_boundary(p)) --p;
    return p;
}

// What stopped a flat run of the template: the end of its range, or a \L or
// \U at `at`.
struct FlatStop {
    std::size_t at = 0;
    bool segment = false;
    CaseMode mode = CaseMode::lower;
};

std::size_t character_length(std::string_view text, std::size_t at) {
    std::size_t subpart = 1;
    std::size_t length = utf8_sequence_length(text.substr(at), &subpart);
    return length == 0 ? subpart : length;
}

// Expands template_text[i, end) into `out` until `end` or the next \L / \U.
FlatStop expand_flat(std::string_view t, std::size_t i, std::size_t end, std::string_view matched,
                     std::string& out) {
    while (i < end) {
        char c = t[i];
        if (c == '&') {
            out += matched;
            i += 1;
            continue;
        }
        if (c != '\\' || i + 1 >= end) {
            std::size_t length = c == '\\' ? 1 : character_length(t.substr(0, end), i);
            out.append(t, i, length);
            i += length;
            continue;
        }
        char next = t[i + 1];
        switch (next) {
            case '\\':
            case 'n':
            case 't':
            case 'r':
                out += next == 'n' ? '\n' : next == 't' ? '\t' : next == 'r' ? '\r' : '\\';
                i += 2;
                break;
            case 'l':
            case 'u':
                if (i + 2 >= end) {
                    out += '\\';
                    i += 1;
                } else {
                    std::size_t length = character_length(t.substr(0, end), i + 2);
                    out += map_case(t.substr(i + 2, length),
                                    next == 'l' ? CaseMode::lower : CaseMode::upper);
                    i += 2 + length;
                }
                break;
            case 'L':
            case 'U': return {i, true, next == 'L' ? CaseMode::lower : CaseMode::upper};
            default:
                if (next >= '1' && next <= '9') {
                    i += 2;  // no groups are captured, so every reference is empty
                } else {
                    out += '\\';
                    i += 1;
                }
                break;
        }
    }
    return {end, false, CaseMode::lower};
}

}  // namespace

std::size_t find_case_end(std::string_view template_text, std::size_t length, std::size_t from) {
    for (std::size_t i = from; i + 1 < length; ++i) {
        if (template_text[i] == '\\' && template_text[i + 1] == 'E') return i;
    }
    return length;
}

std::string map_case(std::string_view text, CaseMode mode) {
    if (text.empty()) return {};
    if (is_valid_utf8(text)) return map_case_in_pieces(text, mode, MAP_PIECE_LIMIT);
    return map_case_in_pieces(decode_with_replacement(text), mode, MAP_PIECE_LIMIT);
}

std::string map_case_in_pieces(std::string_view text, CaseMode mode, std::size_t limit) {
    std::string out;
    std::size_t start = 0;
    while (text.size() - start > limit) {
        std::size_t cut = piece_end(text, start, start + limit, mode);
        map_piece(text.substr(start, cut - start), mode, out);
        start = cut;
    }
    map_piece(text.substr(start), mode, out);
    return out;
}

std::optional<std::string> expand_replacement(std::string_view t, std::string_view matched) {
    std::string out;
    std::size_t i = 0;
    const std::size_t length = t.size();
    struct Level {
        CaseMode mode;
        std::string text;
    };
    std::vector<Level> levels;
    std::size_t remapped = 0;
    while (true) {
        FlatStop stop = expand_flat(t, i, length, matched, out);
        if (!stop.segment) break;
        // A segment runs to the first \E; every \L or \U inside it runs to the
        // end of that same segment, so the nesting is a chain of levels that
        // share one end. Each level's own text is expanded first, and the
        // levels are then folded from the innermost outwards:
        // mode0(text0 + mode1(text1 + ... modeN(textN))).
        std::size_t end = find_case_end(t, length, stop.at + 2);
        levels.clear();
        CaseMode mode = stop.mode;
        std::size_t j = stop.at + 2;
        while (true) {
            std::string text;
            FlatStop inner = expand_flat(t, j, end, matched, text);
            levels.push_back({mode, std::move(text)});
            if (!inner.segment) break;
            mode = inner.mode;
            j = inner.at + 2;
        }
        std::string folded;
        auto charge = [&](std::size_t work) {
            remapped += work;
            return remapped <=
                   REMAP_FACTOR * (length + out.size() + folded.size()) + REMAP_ALLOWANCE;
        };
        bool run_tried = false;
        for (std::size_t k = levels.size(); k-- > 0;) {
            Level& level = levels[k];
            if (!charge(folded.size())) return std::nullopt;
            if (!level.text.empty()) run_tried = false;
            if (folded.empty()) {
                folded = map_case(level.text, level.mode);
            } else if (level.text.empty()) {
                folded = map_case(folded, level.mode);
            } else {
                level.text += folded;
                folded = map_case(level.text, level.mode);
            }
            // Levels without text of their own only map what is inside them
            // again. Once the text is settled under both mappings (x = m(x),
            // y = o(x), y = o(y), x = m(y) for this level's mode m and the
            // other one o), each of them gives x or y by its mode alone, so a
            // run of any length costs four mappings instead of one per level.
            if (run_tried || folded.empty() || k < 2 || !levels[k - 1].text.empty() ||
                !levels[k - 2].text.empty()) {
                continue;
            }
            run_tried = true;
            if (!charge(4 * folded.size())) return std::nullopt;
            const CaseMode other =
                level.mode == CaseMode::lower ? CaseMode::upper : CaseMode::lower;
            std::string settled = map_case(folded, other);
            if (map_case(folded, level.mode) != folded || map_case(settled, other) != settled ||
                map_case(settled, level.mode) != folded) {
                continue;
            }
            std::size_t outermost = k - 1;
            while (outermost > 0 && levels[outermost - 1].text.empty()) --outermost;
            if (levels[outermost].mode != level.mode) folded = std::move(settled);
            k = outermost;
        }
        out += folded;
        i = end;
        if (end + 1 < length && t[end] == '\\' && t[end + 1] == 'E') i = end + 2;
    }
    return out;
}

}  // namespace brindlecap::shell
