#include "pattern.h"

#include "expansion.h"
#include "limits.h"
#include "resources.h"
#include "tre_pattern.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#ifdef BRINDLECAP_SANITIZE
// Under AddressSanitizer an allocation refused by the address-space budget
// must fail as it does in a plain build (a null result, which TRE answers
// with REG_ESPACE) rather than end the process.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }
#endif

namespace brindlecap::shell {

namespace {

// Hex digits TRE takes into its buffer for \x{...}, with room for the NUL.
constexpr std::size_t TRE_HEX_ROOM = 32;
constexpr int TRE_BADPAT = 2;
constexpr int TRE_ESUBREG = 6;
constexpr int TRE_BADBR = 10;
constexpr int TRE_ESPACE = 12;
constexpr int TRE_BADMAX = 14;
constexpr std::uint64_t DUP_MAX = 255;
constexpr std::uint64_t TRE_INT_MAX = 2147483647;

bool is_bre_special(char c) {
    switch (c) {
        case '(':
        case ')':
        case '+':
        case '?':
        case '{':
        case '|':
        case '}': return true;
        default: return false;
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

// Index just past the bracket expression that opens at `open` (a '['), read
// the way TRE reads one: a leading '^' and a first ']' are literal, a
// character followed by '-' and anything but ']' is a range of three, "[:"
// runs to the next ':' and one character more, and a backslash is an
// ordinary character. "[." and "[=" are refused by TRE, so where such a
// bracket ends does not matter. Working on bytes finds the same end as
// TRE's characters: every byte that lookahead compares with is ASCII.
std::size_t bracket_end(std::string_view text, std::size_t open) {
    std::size_t i = open + 1;
    if (i < text.size() && text[i] == '^') ++i;
    const std::size_t first = i;
    while (i < text.size()) {
        if (text[i] == ']' && i > first) return i + 1;
        if (i + 2 < text.size() && text[i + 1] == '-' && text[i + 2] != ']') {
            i += 3;
        } else if (i + 1 < text.size() && text[i] == '[' && text[i + 1] == ':') {
            std::size_t colon = text.find(':', i + 2);
            if (colon == std::string_view::npos) return text.size();
            i = colon + 2;
        } else {
            ++i;
        }
    }
    return text.size();
}

enum class Lexeme {
    other,
    open_brace,
    escaped_backslash,
    wide_hex,
    open_group,        // '(' of a group that counts for back references
    open_plain_group,  // "(?:" or "(?flags:", which does not
    close_group,       // ')', which closes a group when one is open
    back_reference,    // a backslash and a digit
};

struct Token {
    Lexeme kind = Lexeme::other;
    std::size_t end = 0;  // index just past the token
};

bool is_extension_flag(char c) { return c == 'i' || c == 'n' || c == 'r' || c == 'U' || c == '-'; }

// The unit of extended-syntax text at `i` as TRE's parser steps over it: an
// escape (\x{...} and a \Q...\E literal run taken whole), a bracket
// expression, a (?#...) comment, or a single byte. Only outside these does
// TRE read a '{' as the start of a bound.
Token next_token(std::string_view text, std::size_t i) {
    const std::size_t size = text.size();
    const char c = text[i];
    if (c == '\\') {
        if (i + 1 >= size) return {Lexeme::other, size};
        const char escaped = text[i + 1];
        if (escaped == 'x' && i + 2 < size && text[i + 2] == '{') {
            std::size_t close = text.find('}', i + 3);
            return {Lexeme::wide_hex, close == std::string_view::npos ? size : close + 1};
        }
        if (escaped == 'Q') {
            std::size_t stop = text.find("\\E", i + 2);
            return {Lexeme::other, stop == std::string_view::npos ? size : stop + 2};
        }
        if (is_digit(escaped)) return {Lexeme::back_reference, i + 2};
        return {escaped == '\\' ? Lexeme::escaped_backslash : Lexeme::other, i + 2};
    }
    if (c == '[') return {Lexeme::other, bracket_end(text, i)};
    if (c == '(' && i + 1 < size && text[i + 1] == '?') {
        std::size_t j = i + 2;
        while (j < size && is_extension_flag(text[j])) ++j;
        if (j < size && text[j] == '#') {
            std::size_t close = text.find(')', j);
            return {Lexeme::other, close == std::string_view::npos ? size : close + 1};
        }
        // "(?flags)" only sets flags; anything else after the flags TRE refuses.
        if (j < size && text[j] == ':') return {Lexeme::open_plain_group, j + 1};
        return {Lexeme::other, j < size && text[j] == ')' ? j + 1 : i + 1};
    }
    if (c == '(') return {Lexeme::open_group, i + 1};
    if (c == ')') return {Lexeme::close_group, i + 1};
    return {c == '{' ? Lexeme::open_brace : Lexeme::other, i + 1};
}

// Index of the next '{' at or after `i` that TRE reads as the start of a
// bound; npos when there is none.
std::size_t next_bound(std::string_view text, std::size_t i) {
    while (i < text.size()) {
        Token token = next_token(text, i);
        if (token.kind == Lexeme::open_brace) return i;
        i = token.end;
    }
    return std::string_view::npos;
}

}  // namespace

namespace {

// What the scan knows of one group (or of the whole pattern) while reading
// it, and of the last item read in it, to which a repetition may apply.
struct Level {
    std::size_t number = 0;             // group number; 0 for "(?:" and the whole pattern
    std::size_t id = 0;                 // index into the levels ever opened
    std::size_t branch = 0;             // branches started so far, less one
    bool any_branch_empty = false;      // a finished branch can match the empty text
    bool branch_empty = true;           // so can the items of this branch before the last
    bool last_empty = true;             // and the last item (true when there is none)
    bool last_empty_reference = false;  // the last item holds a reference that can match empty
    bool empty_reference = false;       // an earlier item of the level holds one
};

// A closed level, as a reference to a group inside it needs it.
struct ClosedLevel {
    std::size_t parent = 0;         // id of the enclosing level
    std::size_t parent_branch = 0;  // the enclosing level's branch that holds it
    bool optional = false;          // repeated with a minimum of 0
    bool alternatives = false;      // holds a '|'
};

struct Repetition {
    bool may_skip = false;  // minimum 0
    bool unbounded = false;
    std::size_t end = 0;
};

// The repetition operator at `i`, if one is there; a bound that is not plain
// digits (TRE's approximate ones) counts as {0,}.
std::optional<Repetition> repetition_at(std::string_view text, std::size_t i) {
    if (i >= text.size()) return std::nullopt;
    switch (text[i]) {
        case '*': return Repetition{true, true, i + 1};
        case '+': return Repetition{false, true, i + 1};
        case '?': return Repetition{true, false, i + 1};
        case '{': break;
        default: return std::nullopt;
    }
    std::size_t j = i + 1;
    const std::optional<std::uint64_t> min = read_number(text, j);
    std::optional<std::uint64_t> max = min;
    if (j < text.size() && text[j] == ',') {
        ++j;
        max = read_number(text, j);
    }
    if (j < text.size() && text[j] == '}' && (min || max))
        return Repetition{min.value_or(0) == 0, !max, j + 1};
    std::size_t close = text.find('}', i);
    return Repetition{true, true, close == std::string_view::npos ? text.size() : close + 1};
}

// An escape that matches at a position without reading a character.
bool is_assertion_escape(char c) {
    return c == 'b' || c == 'B' || c == '<' || c == '>' || c == '`' || c == '\'';
}

}  // namespace

BackReferences scan_back_references(std::string_view text) {
    BackReferences result;
    // By group number (0 is the whole pattern): whether it has closed, the
    // level it was, and whether its text can be empty.
    std::vector<bool> closed(1, false);
    std::vector<std::size_t> level_of(1, 0);
    std::vector<bool> can_be_empty(1, false);
    std::vector<ClosedLevel> closed_levels(1);  // by level id
    std::vector<Level> open(1);                 // the whole pattern, then the open groups
    std::vector<std::size_t> open_index(1, 0);  // by level id: where in `open`, npos once closed
    // By group number, how far up its enclosing levels a reference has looked
    // (the highest closed one reached) and whether one of them may be left
    // out; levels that have closed do not change, so no level is looked at
    // twice for a group, however deep the nesting.
    std::vector<std::size_t> reached(1, 0);
    std::vector<bool> skippable(1, false);
    auto finish_item = [](Level& level) {
        level.branch_empty = level.branch_empty && level.last_empty;
        level.empty_reference = level.empty_reference || level.last_empty_reference;
        level.last_empty = true;
        level.last_empty_reference = false;
    };
    // Whether a reference to `group` (closed) from here may compare the
    // empty text: the group can match it, or may not have taken part.
    auto may_be_empty = [&](std::size_t group) {
        if (can_be_empty[group] || closed_levels[level_of[group]].optional) return true;
        std::size_t& top = reached[group];
        while (open_index[closed_levels[top].parent] == std::string_view::npos) {
            top = closed_levels[top].parent;
            if (closed_levels[top].optional || closed_levels[top].alternatives)
                skippable[group] = true;
        }
        const ClosedLevel& highest = closed_levels[top];
        return skippable[group] || open[open_index[highest.parent]].branch != highest.parent_branch;
    };
    for (std::size_t i = 0; i < text.size();) {
        const Token token = next_token(text, i);
        Level& level = open.back();
        switch (token.kind) {
            case Lexeme::open_group:
            case Lexeme::open_plain_group: {
                finish_item(level);
                Level inner;
                inner.id = closed_levels.size();
                closed_levels.push_back({level.id, level.branch, false, false});
                open_index.push_back(open.size());
                if (token.kind == Lexeme::open_group) {
                    inner.number = closed.size();
                    closed.push_back(false);
                    level_of.push_back(inner.id);
                    can_be_empty.push_back(false);
                    reached.push_back(inner.id);
                    skippable.push_back(false);
                }
                open.push_back(inner);
                break;
            }
            case Lexeme::close_group: {
                // Outside every group TRE reads ')' as a literal.
                if (open.size() == 1) {
                    finish_item(level);
                    level.last_empty = false;
                    break;
                }
                finish_item(level);
                Level inner = level;
                open.pop_back();
                open_index[inner.id] = std::string_view::npos;
                const bool empty = inner.any_branch_empty || inner.branch_empty;
                closed_levels[inner.id].alternatives = inner.branch > 0;
                if (inner.number != 0) {
                    closed[inner.number] = true;
                    can_be_empty[inner.number] = empty;
                }
                Level& outer = open.back();
                outer.last_empty = empty;
                outer.last_empty_reference = inner.empty_reference;
                for (std::optional<Repetition> repeat = repetition_at(text, token.end); repeat;
                     repeat = repetition_at(text, repeat->end)) {
                    if (repeat->may_skip) closed_levels[inner.id].optional = true;
                }
                break;
            }
            case Lexeme::back_reference: {
                finish_item(level);
                result.any = true;
                const auto group = static_cast<std::size_t>(text[i + 1] - '0');
                if (group >= closed.size() || !closed[group]) {
                    result.to_unclosed_group = true;
                    level.last_empty = false;
                } else {
                    level.last_empty = level.last_empty_reference = may_be_empty(group);
                }
                break;
            }
            default: {
                const char c = text[i];
                if (c == '|') {
                    finish_item(level);
                    level.any_branch_empty = level.any_branch_empty || level.branch_empty;
                    level.branch_empty = true;
                    ++level.branch;
                    break;
                }
                std::optional<Repetition> repeat = repetition_at(text, i);
                if (repeat) {
                    // Repeating without bound what can match the empty text
                    // and holds a reference that can: TRE's backtracking
                    // matcher then loops or crashes.
                    if (repeat->unbounded && level.last_empty && level.last_empty_reference)
                        result.repeats_empty_reference = true;
                    if (repeat->may_skip) level.last_empty = true;
                    i = repeat->end;
                    continue;
                }
                finish_item(level);
                const bool assertion =
                    c == '^' || c == '$' ||
                    (c == '\\' && token.end == i + 2 && is_assertion_escape(text[i + 1])) ||
                    text.substr(i, token.end - i) == "\\Q\\E" ||
                    (c == '(' && token.end > i + 1);  // (?#...) and (?flags)
                level.last_empty = assertion;
                break;
            }
        }
        i = token.end;
    }
    return result;
}

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
    for (std::size_t i = next_bound(text, 0); i != std::string_view::npos;
         i = next_bound(text, i)) {
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

TextForTre text_for_tre(std::string_view text) {
    TextForTre result;
    std::size_t copied = 0;
    auto replace = [&](std::size_t from, std::size_t to, std::string_view with) {
        result.text.append(text, copied, from - copied);
        result.text += with;
        copied = to;
    };
    auto clamp_number = [&](std::size_t& j) {
        std::size_t digits = j;
        std::optional<std::uint64_t> value = read_number(text, j);
        if (value && *value > TRE_INT_MAX) replace(digits, j, "256");
        return value;
    };
    std::size_t i = 0;
    while (i < text.size()) {
        Token token = next_token(text, i);
        if (token.kind == Lexeme::escaped_backslash && token.end < text.size() &&
            text[token.end] == ')') {
            replace(i, token.end, "\\x5c");
        } else if (token.kind == Lexeme::wide_hex) {
            // TRE copies the digits of \x{...} into a buffer of 32 bytes
            // without a bound; a longer run smashes its stack. The same value
            // in fewer digits: leading zeros go, and more significant digits
            // than fit become the largest long, where TRE's strtol stops.
            const std::size_t from = i + 3;
            std::size_t to = from;
            while (to < text.size() && std::isxdigit(static_cast<unsigned char>(text[to]))) ++to;
            if (to - from >= TRE_HEX_ROOM) {
                std::size_t first = from;
                while (first + 1 < to && text[first] == '0') ++first;
                if (to - first >= TRE_HEX_ROOM)
                    replace(from, to, "7fffffffffffffff");
                else
                    replace(from, to, text.substr(first, to - first));
            }
        } else if (token.kind == Lexeme::open_brace) {
            std::size_t j = i + 1;
            std::optional<std::uint64_t> min = clamp_number(j);
            if (j < text.size() && text[j] == ',') {
                ++j;
                std::size_t max_at = j;
                if (!clamp_number(j) && min && *min > DUP_MAX) replace(max_at, max_at, "256");
            }
            token.end = j;
        }
        i = token.end;
    }
    result.changed = copied != 0;
    if (result.changed) result.text.append(text, copied, std::string_view::npos);
    return result;
}

std::string text_without_counts(std::string_view text) {
    std::string result;
    std::size_t copied = 0;
    auto cut = [&](std::size_t from, std::size_t to, std::optional<std::uint64_t> count) {
        if (!count || *count <= 1) return;
        result.append(text, copied, from - copied);
        result += '1';
        copied = to;
    };
    for (std::size_t i = next_bound(text, 0); i != std::string_view::npos;
         i = next_bound(text, i)) {
        std::size_t j = i + 1;
        const std::size_t min_at = j;
        std::optional<std::uint64_t> min = read_number(text, j);
        const std::size_t min_end = j;
        std::optional<std::uint64_t> max = min;
        const bool comma = j < text.size() && text[j] == ',';
        const std::size_t max_at = comma ? j + 1 : j;
        if (comma) {
            j = max_at;
            max = read_number(text, j);
        }
        // The checks TRE makes of the counts; a bound it refuses stays as it is.
        const bool refused = (max && min.value_or(0) > *max) || (max && *max > DUP_MAX);
        if (!refused) {
            cut(min_at, min_end, min);
            if (comma) cut(max_at, j, max);
        }
        i = j;
    }
    if (copied == 0) return std::string(text);
    result.append(text, copied, std::string_view::npos);
    return result;
}

namespace {

// TRE's compile with the address space held to what the engine uses plus
// the compile budget: where TRE would take more, its allocations fail and it
// answers REG_ESPACE itself.
int compile_within_budget(regex_t& re, const std::string& tre_text, int cflags) {
    AddressSpaceBudget budget(COMPILE_BUDGET_BYTES);
    return tre_regcomp(&re, tre_text.c_str(), cflags);
}

// The leading fields of TRE 0.8.0's compiled automaton (its struct tnfa),
// whose counts of states and tags size the block its matchers take from the
// stack.
struct TreAutomatonHead {
    void* transitions;
    unsigned int num_transitions;
    void* initial;
    void* final_state;
    void* submatch_data;
    char* firstpos_chars;
    int first_char;
    unsigned int num_submatches;
    void* tag_directions;
    int* minimal_tags;
    int num_tags;
    int num_minimals;
    int end_tag;
    int num_states;
    int cflags;
    int have_backrefs;
    int have_approx;
};

// Stack that TRE's matcher takes for one search with the compiled pattern
// (the block it allocates with alloca before reading the text, and the tag
// array of the call around it); nullopt where the automaton does not read
// as TRE 0.8.0's.
std::optional<std::uint64_t> matcher_stack_bytes(const regex_t& re, int cflags) {
    const auto* head = static_cast<const TreAutomatonHead*>(re.value);
    if (head == nullptr || head->have_backrefs != tre_have_backrefs(&re) ||
        head->have_approx != tre_have_approx(&re) || head->num_states < 0 || head->num_tags < 0 ||
        (head->cflags & (REG_EXTENDED | REG_ICASE)) != cflags) {
        return std::nullopt;
    }
    const std::uint64_t states = static_cast<std::uint64_t>(head->num_states);
    const std::uint64_t tags = static_cast<std::uint64_t>(head->num_tags);
    const std::uint64_t tag_array = 4 * tags;
    std::uint64_t block = 0;
    if (head->have_backrefs) {
        // The backtracking matcher's fixed arrays; its backtracking stack
        // grows with the text, in blocks of about a KiB.
        block = tag_array + 8 * std::uint64_t{head->num_submatches} + 4 * states + 2048;
    } else if (head->have_approx) {
        // Two reach tables of 144-byte entries, two tag arrays per state.
        block = 2 * 144 * states + (2 * states + 1) * tag_array + 24;
    } else {
        // Two reach tables of 16-byte entries (one more than the states), a
        // position table, two tag arrays per state.
        block = 2 * 16 * (states + 1) + 16 * states + 2 * states * tag_array + tag_array + 32;
    }
    return block + tag_array;
}

// Whether the TRE text, compiled as it is, would expand its bounds beyond
// what a request may take, or copy an approximate bound (which crashes TRE's
// compiler); then TRE compiles the text without its counts, to report a
// fault that it finds there as it would have, and the answer is otherwise
// out of memory, or a bad pattern for the approximate copies. A text whose
// counts are all 1 or less is too large in itself (a long pattern), not
// through its bounds, and goes to TRE.
std::optional<int> refuse_expansion(const std::string& tre_text, int cflags) {
    const ExpansionEstimate estimate = estimate_expansion(tre_text, (cflags & REG_ICASE) != 0);
    int refusal = TRE_ESPACE;
    if (estimate.copies_approximate)
        refusal = TRE_BADPAT;
    else if (!expansion_too_large(estimate))
        return std::nullopt;
    const std::string probe = text_without_counts(tre_text);
    if (probe == tre_text) return refusal == TRE_BADPAT ? std::optional(refusal) : std::nullopt;
    auto compiled = std::make_unique<TrePattern>();
    int result = compile_within_budget(compiled->re, probe, cflags);
    if (result == 0) {
        CompiledPattern released_at_return(compiled.release());
        return refusal;
    }
    return result == TRE_BADBR ? classify_bad_bound(probe) : result;
}

// The answer to a text that refers to a group not closed before the
// reference: TRE checks its references once it has read the whole pattern,
// so a fault it finds while reading keeps TRE's own code. The text without
// its counts holds the same faults and costs TRE nothing to read.
int refuse_back_reference(const std::string& tre_text, int cflags) {
    const std::string probe = text_without_counts(tre_text);
    auto compiled = std::make_unique<TrePattern>();
    int result = compile_within_budget(compiled->re, probe, cflags);
    if (result == 0) {
        CompiledPattern released_at_return(compiled.release());
        return TRE_ESUBREG;
    }
    return result == TRE_BADBR ? classify_bad_bound(probe) : result;
}

}  // namespace

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
    TextForTre rewritten = text_for_tre(text);
    const std::string& tre_text = rewritten.changed ? rewritten.text : text;
    const BackReferences references = scan_back_references(tre_text);
    if (references.to_unclosed_group)
        return failure("TRE compile error code " +
                       std::to_string(refuse_back_reference(tre_text, cflags)));
    if (std::optional<int> refused = refuse_expansion(tre_text, cflags))
        return failure("TRE compile error code " + std::to_string(*refused));
    auto compiled = std::make_unique<TrePattern>();
    // `tre_text` is NUL-terminated by std::string and holds no other NUL.
    int result = compile_within_budget(compiled->re, tre_text, cflags);
    if (result != 0) {
        // A pattern that failed to compile holds nothing to release.
        if (result == TRE_BADBR) result = classify_bad_bound(tre_text);
        return failure("TRE compile error code " + std::to_string(result));
    }
    CompiledPattern pattern_compiled(compiled.release());
    // TRE's backtracking matcher has no bound on such a search; like a
    // pattern TRE cannot build within bounds, it is out of space.
    if (references.repeats_empty_reference)
        return failure("TRE compile error code " + std::to_string(TRE_ESPACE));
    // TRE's matchers take their working space from the stack without a
    // check; a search that would need more than this thread has left is out
    // of memory just as a compile is.
    const std::optional<std::uint64_t> stack = matcher_stack_bytes(pattern_compiled->re, cflags);
    if (stack && *stack + STACK_RESERVE_BYTES > stack_left())
        return failure("TRE compile error code " + std::to_string(TRE_ESPACE));
    pattern_compiled->reads_before_start = has_word_assertion(text);
    pattern_compiled->back_references = references.any;
    pattern_compiled->ascii = std::all_of(tre_text.begin(), tre_text.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x80;
    });
    return pattern_compiled;
}

}  // namespace brindlecap::shell
