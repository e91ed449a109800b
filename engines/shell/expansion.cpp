#include "expansion.h"

#include "limits.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cwchar>
#include <cwctype>
#include <optional>
#include <string>
#include <vector>

namespace brindlecap::shell {

namespace {

using Count = std::uint64_t;

// Far above every limit, and small enough that a sum or a product of two
// saturated counts cannot wrap.
constexpr Count SATURATED = Count{1} << 40;

Count add(Count a, Count b) { return std::min(a + b, SATURATED); }
Count mul(Count a, Count b) {
    if (a == 0 || b == 0) return 0;
    if (a >= SATURATED || b >= SATURATED) return SATURATED;
    return std::min(a * b, SATURATED);
}

// One sub-expression after expansion. A state reached through k bracket
// items sits k times in each position set, and each entry gets its own
// transitions; `last_weight` sums k * k over the states of the last set,
// `last_degree` sums k * k times the transitions the state already has, so
// that `slot_scans` can follow what later transitions add to those states.
struct Cost {
    Count nodes = 0;
    Count scans = 0;
    Count first = 0;         // entries of the first set
    Count first_states = 0;  // distinct states among `first`
    Count last = 0;          // entries of the last set
    Count last_weight = 0;
    Count last_degree = 0;
    bool nullable = true;
    // Nodes that TRE's walk for the empty match visits in this piece (when
    // it is nullable), and the visits of all such walks inside it.
    Count walk = 1;
    Count walks = 0;
    // TRE's tags: those its walk for the empty match collects (copies share
    // them, so this is an upper bound), the tags the entries of the first
    // and last sets carry in all (TRE appends without removing duplicates),
    // and the tags it has written into the arrays of set entries and
    // transitions inside.
    Count walk_tags = 0;
    Count first_tags = 0;
    Count first_state_tags = 0;  // over the first entry of each state only
    Count last_tags = 0;
    Count set_tags = 0;
    Count transition_tags = 0;
    bool approximate = false;         // holds a bound with approximate-matching settings
    bool copies_approximate = false;  // a repetition copies such a bound
};

// What a combination of two pieces holds of approximate bounds.
void merge_approximate(Cost& c, const Cost& left, const Cost& right) {
    c.approximate = left.approximate || right.approximate;
    c.copies_approximate = left.copies_approximate || right.copies_approximate;
}

Cost empty_cost() {
    Cost c;
    c.nodes = 1;
    return c;
}

// The tag TRE puts where a group begins; the group's end takes the tag of
// whatever follows it.
Cost tag_cost() {
    Cost c = empty_cost();
    c.walk_tags = 1;
    return c;
}

// A copy TRE makes with the tags turned into empty nodes.
Cost without_tags(Cost c) {
    c.walk_tags = c.first_tags = c.first_state_tags = c.last_tags = c.set_tags = c.transition_tags =
        0;
    return c;
}

// A state matched through `items` character ranges (one for a literal).
Cost state_cost(Count items) {
    Cost c;
    c.nodes = mul(2, items);
    c.first = c.last = items;
    c.first_states = 1;
    c.last_weight = mul(items, items);
    c.nullable = false;
    c.walk = 0;
    return c;
}

// Every entry of `from`'s last set gets a transition to every entry of a
// first set in `count` states. TRE fills one slot per state (it skips an
// entry of the state it has just joined), and each slot it fills costs a
// scan over the state's filled ones.
void join_last(Cost& from, Count count, Count state_tags) {
    // A filled transition holds the tags of both entries it joins.
    from.transition_tags =
        add(from.transition_tags, add(mul(from.last_tags, count), mul(from.last, state_tags)));
    from.scans = add(from.scans, add(mul(mul(2, count), from.last_degree),
                                     mul(mul(count, count), from.last_weight)));
    from.last_degree = add(from.last_degree, mul(count, from.last_weight));
}

Cost catenation(Cost left, const Cost& right) {
    join_last(left, right.first_states, right.first_state_tags);
    Cost c;
    c.nodes = add(add(left.nodes, right.nodes), 1);
    c.scans = add(left.scans, right.scans);
    c.first = left.nullable ? add(left.first, right.first) : left.first;
    c.first_states = left.nullable ? add(left.first_states, right.first_states) : left.first_states;
    c.last = right.nullable ? add(left.last, right.last) : right.last;
    c.last_weight = right.nullable ? add(left.last_weight, right.last_weight) : right.last_weight;
    c.last_degree = right.nullable ? add(left.last_degree, right.last_degree) : right.last_degree;
    c.nullable = left.nullable && right.nullable;
    // TRE walks a nullable side twice (to count its tags, then to collect
    // them) each time it joins it to the other side.
    c.walks = add(add(left.walks, right.walks),
                  mul(2, add(left.nullable ? left.walk : 0, right.nullable ? right.walk : 0)));
    c.walk = c.nullable ? add(add(left.walk, right.walk), 1) : 0;
    c.walk_tags = c.nullable ? add(left.walk_tags, right.walk_tags) : 0;
    // Past a nullable side, each entry of the other side's set gets a new
    // array with that side's tags appended.
    c.first_tags = left.nullable ? add(add(left.first_tags, right.first_tags),
                                       mul(right.first, left.walk_tags))
                                 : left.first_tags;
    c.first_state_tags = left.nullable ? add(add(left.first_state_tags, right.first_state_tags),
                                             mul(right.first_states, left.walk_tags))
                                       : left.first_state_tags;
    c.last_tags = right.nullable
                      ? add(add(left.last_tags, right.last_tags), mul(left.last, right.walk_tags))
                      : right.last_tags;
    c.transition_tags = add(left.transition_tags, right.transition_tags);
    c.set_tags = add(add(left.set_tags, right.set_tags),
                     add(left.nullable ? c.first_tags : 0, right.nullable ? c.last_tags : 0));
    merge_approximate(c, left, right);
    return c;
}

Cost alternation(const Cost& left, const Cost& right) {
    Cost c;
    c.nodes = add(add(left.nodes, right.nodes), 1);
    c.scans = add(left.scans, right.scans);
    c.first = add(left.first, right.first);
    c.first_states = add(left.first_states, right.first_states);
    c.last = add(left.last, right.last);
    c.last_weight = add(left.last_weight, right.last_weight);
    c.last_degree = add(left.last_degree, right.last_degree);
    c.nullable = left.nullable || right.nullable;
    // The walk takes the first nullable alternative only.
    c.walks = add(left.walks, right.walks);
    c.walk = c.nullable ? add(left.nullable ? left.walk : right.walk, 1) : 0;
    c.walk_tags = c.nullable ? (left.nullable ? left.walk_tags : right.walk_tags) : 0;
    c.first_tags = add(left.first_tags, right.first_tags);
    c.first_state_tags = add(left.first_state_tags, right.first_state_tags);
    c.last_tags = add(left.last_tags, right.last_tags);
    c.transition_tags = add(left.transition_tags, right.transition_tags);
    c.set_tags = add(add(left.set_tags, right.set_tags), add(c.first_tags, c.last_tags));
    merge_approximate(c, left, right);
    return c;
}

// An iteration TRE keeps as a node (counts of at most 1): a loop back from
// the last positions to the first ones when the maximum is open.
Cost loop(Cost arg, int min, int max) {
    if (max < 0) join_last(arg, arg.first_states, arg.first_state_tags);
    arg.nodes = add(arg.nodes, 1);
    arg.walk = arg.nullable ? add(arg.walk, 1) : 1;
    if (!arg.nullable) arg.walk_tags = 0;
    arg.nullable = min == 0 || arg.nullable;
    return arg;
}

// TRE's expansion of a bounded repetition: `min` copies in a row, then
// either one copy under a loop or `max - min` nested optional copies. With
// approximate-matching settings the optional copies cost as one (measured:
// `(||||){255}{128,255~1}` takes as long as `(||||){255}{128~1}`, and
// `((a*){64}){0,255~1}` 20 ms where `((a*){64}){0,255}` takes a minute).
Cost expanded(const Cost& arg, int min, int max, bool approximate) {
    std::optional<Cost> mandatory;
    // All but the last of the copies in a row lose their tags.
    const Cost stripped = without_tags(arg);
    for (int j = 0; j < min; ++j) {
        const Cost& copy = j + 1 < min ? stripped : arg;
        mandatory = mandatory ? catenation(*mandatory, copy) : copy;
    }
    std::optional<Cost> optional;
    if (max < 0) {
        optional = loop(arg, 0, -1);
    } else if (approximate) {
        if (max > min) optional = loop(arg, 0, 1);
    } else {
        for (int j = min; j < max; ++j) {
            Cost tail = optional ? catenation(arg, *optional) : arg;
            optional = alternation(empty_cost(), tail);
        }
    }
    if (!mandatory) return optional ? *optional : empty_cost();
    return optional ? catenation(*mandatory, *optional) : *mandatory;
}

// A repetition: counts of at most 1 stay a node, others are expanded.
Cost repetition(const Cost& arg, int min, int max, bool approximate) {
    if (min <= 1 && max <= 1) return loop(arg, min, max);
    Cost copied = expanded(arg, min, max, approximate);
    // TRE's copy of an approximate bound crashes its compiler.
    copied.copies_approximate = copied.copies_approximate || arg.approximate;
    return copied;
}

// The nodes TRE puts around a group that reports its position.
Cost capture(const Cost& arg) { return catenation(catenation(tag_cost(), arg), empty_cost()); }

struct Text {
    std::vector<wint_t> chars;
    bool byte_mode = true;

    std::size_t size() const { return chars.size(); }
    // TRE reads one character past the end in places; it finds its NUL there.
    wint_t at(std::size_t i) const { return i < chars.size() ? chars[i] : 0; }
};

// The characters TRE compiles, as its own conversion makes them: bytes when
// the locale's characters are one byte, else the locale's characters.
std::optional<Text> decode(std::string_view bytes) {
    Text text;
    text.byte_mode = MB_CUR_MAX == 1;
    text.chars.reserve(bytes.size());
    if (text.byte_mode) {
        for (char c : bytes) text.chars.push_back(static_cast<unsigned char>(c));
        return text;
    }
    std::mbstate_t state{};
    std::size_t i = 0;
    while (i < bytes.size()) {
        wchar_t wc = 0;
        std::size_t used = std::mbrtowc(&wc, bytes.data() + i, bytes.size() - i, &state);
        if (used == static_cast<std::size_t>(-1) || used == 0) return std::nullopt;
        if (used == static_cast<std::size_t>(-2)) used = bytes.size() - i;
        text.chars.push_back(static_cast<wint_t>(wc));
        i += used;
    }
    return text;
}

bool is_digit(wint_t c) { return c >= L'0' && c <= L'9'; }

bool has_case(wint_t c) { return std::iswupper(c) || std::iswlower(c); }

constexpr Count MAX_BRACKET_ITEMS = 2048;  // TRE gives up beyond this many

// The ranges TRE adds for the other case of [min, max].
Count case_ranges(wint_t min, wint_t max) {
    Count ranges = 0;
    while (min <= max && ranges < MAX_BRACKET_ITEMS) {
        if (std::iswlower(min)) {
            wint_t current = std::towupper(min++);
            while (std::iswlower(min) && std::towupper(min) == current + 1 && min <= max)
                current = std::towupper(min++);
            ++ranges;
        } else if (std::iswupper(min)) {
            wint_t current = std::towlower(min++);
            while (std::iswupper(min) && std::towlower(min) == current + 1 && min <= max)
                current = std::towlower(min++);
            ++ranges;
        } else {
            ++min;
        }
    }
    return ranges;
}

// The ranges TRE makes of a character class in byte mode.
Count class_ranges(std::wctype_t type, bool icase) {
    Count ranges = 0;
    bool inside = false;
    for (wint_t c = 0; c < 256; ++c) {
        bool member = std::iswctype(c, type) || (icase && (std::iswctype(std::towlower(c), type) ||
                                                           std::iswctype(std::towupper(c), type)));
        if (member && !inside) ++ranges;
        inside = member;
    }
    return ranges;
}

struct Bracket {
    Count items = 0;
    std::size_t end = 0;
};

// The items of the bracket expression whose body starts at `i` (after the
// '['), read as TRE reads them; nullopt where TRE refuses the bracket.
std::optional<Bracket> read_bracket(const Text& text, std::size_t i, bool icase) {
    bool negate = text.at(i) == L'^';
    if (negate) ++i;
    const std::size_t start = i;
    Count items = 0;
    while (true) {
        if (i >= text.size()) return std::nullopt;
        const wint_t c = text.at(i);
        if (c == L']' && i > start) {
            ++i;
            break;
        }
        wint_t min = c;
        wint_t max = c;
        if (i + 2 < text.size() && text.at(i + 1) == L'-' && text.at(i + 2) != L']') {
            max = text.at(i + 2);
            i += 3;
        } else if (c == L'[' && (text.at(i + 1) == L'.' || text.at(i + 1) == L'=')) {
            return std::nullopt;
        } else if (c == L'[' && text.at(i + 1) == L':') {
            std::size_t colon = i + 2;
            while (colon < text.size() && text.at(colon) != L':') ++colon;
            if (colon >= text.size()) return std::nullopt;
            std::string name;
            for (std::size_t k = i + 2; k < colon && name.size() < 63; ++k)
                name += text.at(k) < 0x80 ? static_cast<char>(text.at(k)) : '?';
            i = colon + 2;
            std::wctype_t type = std::wctype(name.c_str());
            if (type == 0) return std::nullopt;
            if (text.byte_mode) {
                items = add(items, class_ranges(type, icase));
            } else if (!negate) {
                items = add(items, 1);
            }
            continue;
        } else {
            ++i;
        }
        items = add(items, 1);
        if (icase) items = add(items, case_ranges(min, max));
    }
    if (negate) items = add(items, 1);
    return Bracket{std::clamp<Count>(items, 1, MAX_BRACKET_ITEMS), i};
}

std::optional<Cost> bracket_cost(std::wstring_view body, bool icase, bool byte_mode) {
    Text text;
    text.byte_mode = byte_mode;
    for (wchar_t c : body) text.chars.push_back(static_cast<wint_t>(c));
    std::optional<Bracket> bracket = read_bracket(text, 0, icase);
    if (!bracket) return std::nullopt;
    return state_cost(bracket->items);
}

// The bracket body that TRE puts in place of \w \W \s \S \d \D.
std::optional<std::wstring_view> class_escape(wint_t c) {
    switch (c) {
        case L'w': return L"[:alnum:]_]";
        case L'W': return L"^[:alnum:]_]";
        case L's': return L"[:space:]]";
        case L'S': return L"^[:space:]]";
        case L'd': return L"[:digit:]]";
        case L'D': return L"^[:digit:]]";
        default: return std::nullopt;
    }
}

struct Flags {
    bool icase = false;
    bool newline = false;
};

// A group being read: the alternatives finished so far and the branch
// being read.
struct Frame {
    std::optional<Cost> alternatives;
    std::optional<Cost> branch;
    bool capturing = false;
    Flags saved;
};

Cost frame_result(const Frame& frame) {
    Cost branch = frame.branch ? *frame.branch : empty_cost();
    return frame.alternatives ? alternation(*frame.alternatives, branch) : branch;
}

void append(Frame& frame, const Cost& piece) {
    frame.branch = frame.branch ? catenation(*frame.branch, piece) : piece;
}

struct Bound {
    int min = -1;
    int max = -1;
    bool approximate = false;  // carries approximate-matching settings
    std::size_t end = 0;
};

// Digits as TRE reads them; the bound scanner has already put 256 for
// numbers TRE would read wrongly, so more than three digits is above 255.
int read_count(const Text& text, std::size_t& i) {
    if (!is_digit(text.at(i))) return -1;
    long value = 0;
    while (is_digit(text.at(i))) {
        if (value <= 256) value = value * 10 + static_cast<long>(text.at(i) - L'0');
        ++i;
    }
    return static_cast<int>(std::min(value, 256L));
}

// The bound whose contents start at `i` (after the '{'); nullopt where TRE
// refuses it. Only the characters of TRE's approximate-matching settings may
// stand between the counts and the '}'.
std::optional<Bound> read_bound(const Text& text, std::size_t i) {
    Bound bound;
    bound.min = read_count(text, i);
    bound.max = bound.min;
    if (text.at(i) == L',') {
        ++i;
        bound.max = read_count(text, i);
    }
    if ((bound.max >= 0 && bound.min > bound.max) || bound.max > 255) return std::nullopt;
    while (i < text.size() &&
           std::wcschr(L"+-#~, <0123456789ids", static_cast<wchar_t>(text.at(i)))) {
        // Blanks, commas and digits alone set no cost; TRE skips them.
        if (std::wcschr(L"+-#~<ids", static_cast<wchar_t>(text.at(i)))) bound.approximate = true;
        ++i;
    }
    if (i >= text.size() || text.at(i) != L'}') return std::nullopt;
    ++i;
    if (text.at(i) == L'*' || text.at(i) == L'+') return std::nullopt;
    if (text.at(i) == L'?') ++i;
    bound.end = i;
    return bound;
}

struct Parser {
    const Text& text;
    std::size_t i = 0;
    int depth = 0;
    bool literal = false;  // inside \Q...\E
    Flags flags;
    std::vector<Frame> frames;
    bool too_deep = false;  // more open groups than the estimate keeps

    Cost literal_cost(wint_t c) const { return state_cost(flags.icase && has_case(c) ? 2 : 1); }

    // Applies the repetition operators at `i` to `atom`; false where TRE
    // refuses one.
    bool postfix(Cost& atom) {
        while (i < text.size()) {
            const wint_t c = text.at(i);
            if (c == L'*' || c == L'+' || c == L'?') {
                const wint_t next = text.at(i + 1);
                if (next == L'*' || next == L'+') return false;
                i += next == L'?' ? 2 : 1;
                atom = loop(atom, c == L'+' ? 1 : 0, c == L'?' ? 1 : -1);
            } else if (c == L'{') {
                std::optional<Bound> bound = read_bound(text, i + 1);
                if (!bound) return false;
                i = bound->end;
                if (bound->min == 0 && bound->max == 0) {
                    atom = empty_cost();
                } else if (bound->approximate) {
                    // Settings without counts repeat once.
                    const bool counted = bound->min >= 0 || bound->max >= 0;
                    atom = repetition(atom, counted ? std::max(bound->min, 0) : 1,
                                      counted ? bound->max : 1, true);
                    atom.approximate = true;
                } else if (bound->min >= 0 || bound->max >= 0) {
                    atom = repetition(atom, bound->min, bound->max, false);
                }
            } else {
                return true;
            }
        }
        return true;
    }

    // Opens a group; `capturing` when it reports a position.
    void open(bool capturing, Flags inside) {
        if (frames.size() >= MAX_OPEN_GROUPS) too_deep = true;
        frames.push_back(Frame{std::nullopt, std::nullopt, capturing, flags});
        flags = inside;
    }

    // The atom at `i`: a group opens a frame and yields nothing yet.
    // nullopt with `fault` set where TRE refuses the text.
    std::optional<Cost> atom(bool& fault) {
        const wint_t c = text.at(i);
        if (i >= text.size() || c == L'*' || c == L'|' || c == L'{' || c == L'+' || c == L'?')
            return empty_cost();
        switch (c) {
            case L'(':
                if (text.at(i + 1) == L'?') return extension(fault);
                ++depth;
                ++i;
                open(true, flags);
                return std::nullopt;
            case L')':
                if (depth > 0) return empty_cost();
                ++i;
                return literal_cost(c);
            case L'[': {
                std::optional<Bracket> bracket = read_bracket(text, i + 1, flags.icase);
                if (!bracket) {
                    fault = true;
                    return std::nullopt;
                }
                i = bracket->end;
                return state_cost(bracket->items);
            }
            case L'\\': return escape(fault);
            case L'.':
                ++i;
                return flags.newline ? alternation(state_cost(1), state_cost(1)) : state_cost(1);
            case L'^':
            case L'$': ++i; return empty_cost();
            default: ++i; return literal_cost(c);
        }
    }

    // (?flags) and (?flags:...) and (?#...): the flags hold for the rest
    // of the enclosing group, or for the group that the ':' opens.
    std::optional<Cost> extension(bool& fault) {
        Flags inside = flags;
        bool on = true;
        i += 2;
        while (true) {
            const wint_t c = text.at(i);
            if (c == L'i') {
                inside.icase = on;
            } else if (c == L'n') {
                inside.newline = on;
            } else if (c == L'r' || c == L'U') {
            } else if (c == L'-') {
                on = false;
            } else if (c == L':') {
                ++i;
                ++depth;
                break;
            } else if (c == L'#') {
                while (i < text.size() && text.at(i) != L')') ++i;
                if (i >= text.size()) {
                    fault = true;
                    return std::nullopt;
                }
                ++i;
                break;
            } else if (c == L')') {
                ++i;
                break;
            } else {
                fault = true;
                return std::nullopt;
            }
            ++i;
        }
        open(false, inside);
        return std::nullopt;
    }

    std::optional<Cost> escape(bool& fault) {
        const wint_t c = text.at(i + 1);
        if (i + 1 >= text.size()) {
            fault = true;
            return std::nullopt;
        }
        if (std::optional<std::wstring_view> body = class_escape(c)) {
            std::optional<Cost> cost = bracket_cost(*body, flags.icase, text.byte_mode);
            if (!cost) fault = true;
            i += 2;
            return cost;
        }
        if (c == L'Q') {
            literal = true;
            i += 2;
            return std::nullopt;
        }
        i += 2;
        switch (c) {
            case L't':
            case L'n':
            case L'r':
            case L'f':
            case L'a':
            case L'e': return state_cost(1);
            case L'b':
            case L'B':
            case L'<':
            case L'>': return empty_cost();
            case L'x':
                if (text.at(i) == L'{') {
                    ++i;
                    while (i < text.size() && std::iswxdigit(text.at(i))) ++i;
                    if (text.at(i) != L'}') {
                        fault = true;
                        return std::nullopt;
                    }
                    ++i;
                } else {
                    for (int k = 0; k < 2 && i < text.size() && std::iswxdigit(text.at(i)); ++k)
                        ++i;
                }
                return state_cost(1);
            default: return state_cost(1);
        }
    }

    // After a piece: a '|' starts the next branch, a ')' closes the group
    // (when one is open), anything else is the next piece. False where TRE
    // refuses a repetition after a ')'.
    bool after_piece() {
        while (i < text.size()) {
            const wint_t c = text.at(i);
            if (c == L'|') {
                Frame& frame = frames.back();
                Cost branch = frame.branch ? *frame.branch : empty_cost();
                frame.alternatives =
                    frame.alternatives ? alternation(*frame.alternatives, branch) : branch;
                frame.branch.reset();
                ++i;
                return true;
            }
            if (c != L')' || depth == 0) return true;
            --depth;
            ++i;
            if (!close()) return false;
        }
        return true;
    }

    // Closes the innermost group and appends it, with the repetitions
    // after it, to the enclosing branch; false where TRE refuses one.
    bool close() {
        Frame frame = frames.back();
        frames.pop_back();
        Cost group = frame_result(frame);
        if (frame.capturing) group = capture(group);
        flags = frame.saved;
        if (!postfix(group)) return false;
        append(frames.back(), group);
        return true;
    }

    std::optional<Cost> run() {
        frames.push_back(Frame{});
        while (true) {
            if (literal) {
                if (text.at(i) == L'\\' && text.at(i + 1) == L'E') {
                    literal = false;
                    i += 2;
                    continue;
                }
                if (i >= text.size()) break;
                append(frames.back(), literal_cost(text.at(i)));
                ++i;
                continue;
            }
            bool fault = false;
            std::optional<Cost> piece = atom(fault);
            if (fault || too_deep) return std::nullopt;
            if (!piece) continue;  // a group opened, or \Q
            if (!postfix(*piece)) return std::nullopt;
            append(frames.back(), *piece);
            if (!after_piece()) return std::nullopt;
            if (i >= text.size()) break;
        }
        while (frames.size() > 1) {
            Frame frame = frames.back();
            frames.pop_back();
            Cost group = frame_result(frame);
            if (frame.capturing) group = capture(group);
            append(frames.back(), group);
        }
        return catenation(capture(frame_result(frames.back())), state_cost(1));
    }
};

}  // namespace

ExpansionEstimate estimate_expansion(std::string_view tre_text, bool icase) {
    std::optional<Text> text = decode(tre_text);
    if (!text) return {};
    Parser parser{*text, 0, 0, false, Flags{icase, false}, {}};
    std::optional<Cost> cost = parser.run();
    ExpansionEstimate estimate;
    if (parser.too_deep) {
        estimate.too_deep = true;
        return estimate;
    }
    if (!cost) return {};
    estimate.nodes = cost->nodes;
    estimate.slot_scans = cost->scans;
    estimate.empty_walks = cost->walks;
    estimate.tags = add(cost->set_tags, cost->transition_tags);
    estimate.copies_approximate = cost->copies_approximate;
    return estimate;
}

bool expansion_too_large(const ExpansionEstimate& estimate) {
    return estimate.too_deep || estimate.nodes > NODE_LIMIT || estimate.tags > TAG_LIMIT ||
           estimate.slot_scans > SLOT_SCAN_LIMIT || estimate.empty_walks > EMPTY_WALK_LIMIT;
}

}  // namespace brindlecap::shell
