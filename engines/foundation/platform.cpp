#include "platform.h"

#include <nlohmann/json.hpp>
#include <simdjson.h>
#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/regex.h>
#include <unicode/utext.h>
#include <unicode/utf16.h>
#include <unicode/utf8.h>
#include <unicode/utypes.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <new>

namespace brindlecap::foundation::platform {

namespace {

constexpr std::string_view replacement_character = "\xEF\xBF\xBD";

// Deep enough for any real request; a deeper line is refused as soon as the
// parser reaches the level past it, so no line can exhaust stack or memory.
constexpr std::size_t json_max_depth = 512;

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

void append_utf16_as_utf8(std::string& out, const char16_t* units, std::size_t count) {
    const std::size_t old_size = out.size();
    out.resize(old_size + 3 * count);
    out.resize(old_size + utf16_to_utf8(out.data() + old_size, units, count));
}

// The length of the well-formed prefix of `bytes`.
std::size_t well_formed_prefix(std::string_view bytes) {
    const auto* s = reinterpret_cast<const std::uint8_t*>(bytes.data());
    const auto n = static_cast<std::int64_t>(bytes.size());
    std::int64_t i = 0;
    while (i < n) {
        if (s[i] < 0x80) {
            ++i;
            continue;
        }
        const std::int64_t start = i;
        UChar32 c = 0;
        U8_NEXT(s, i, n, c);
        if (c < 0) return static_cast<std::size_t>(start);
    }
    return bytes.size();
}

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

struct UTextClose {
    void operator()(UText* text) const { utext_close(text); }
};
using UTextPtr = std::unique_ptr<UText, UTextClose>;

// One piece of a parsed replacement template: literal units, or a group.
struct TemplatePiece {
    std::u16string literal;
    std::size_t group = 0;
    bool is_group = false;
};

std::size_t decimal_digits(std::size_t value) {
    std::size_t digits = 1;
    while (value >= 10) {
        value /= 10;
        ++digits;
    }
    return digits;
}

std::vector<TemplatePiece> parse_template(std::u16string_view t, std::size_t group_count) {
    const std::size_t max_digits = decimal_digits(group_count);
    std::vector<TemplatePiece> pieces;
    std::u16string literal;
    auto flush_literal = [&] {
        if (!literal.empty()) {
            pieces.push_back({std::move(literal), 0, false});
            literal.clear();
        }
    };
    std::size_t i = 0;
    while (i < t.size()) {
        const char16_t c = t[i];
        if (c == u'\\') {
            // A backslash at the very end has nothing to make literal and is dropped.
            if (i + 1 < t.size()) literal.push_back(t[i + 1]);
            i += 2;
            continue;
        }
        if (c == u'$') {
            std::size_t j = i + 1;
            std::size_t number = 0;
            while (j < t.size() && j - (i + 1) < max_digits && t[j] >= u'0' && t[j] <= u'9') {
                number = number * 10 + static_cast<std::size_t>(t[j] - u'0');
                ++j;
            }
            if (j > i + 1) {
                flush_literal();
                pieces.push_back({{}, number, true});
                i = j;
                continue;
            }
        }
        literal.push_back(c);
        ++i;
    }
    flush_literal();
    return pieces;
}

}  // namespace

// ---- line reader ----------------------------------------------------------

namespace {

void append_decoded(std::string& out, std::string_view bytes) {
    const auto* s = reinterpret_cast<const std::uint8_t*>(bytes.data());
    const auto n = static_cast<std::int64_t>(bytes.size());
    std::int64_t i = 0;
    while (i < n) {
        const std::int64_t start = i;
        if (s[i] < 0x80) {
            while (i < n && s[i] < 0x80) ++i;
            out.append(bytes.data() + start, static_cast<std::size_t>(i - start));
            continue;
        }
        UChar32 c = 0;
        U8_NEXT(s, i, n, c);
        if (c < 0) {
            out.append(replacement_character);
        } else {
            out.append(bytes.data() + start, static_cast<std::size_t>(i - start));
        }
    }
}

}  // namespace

std::string decode_utf8(std::string_view bytes) {
    std::string out;
    const std::size_t valid = well_formed_prefix(bytes);
    out.reserve(bytes.size());
    out.append(bytes.substr(0, valid));
    if (valid < bytes.size()) append_decoded(out, bytes.substr(valid));
    return out;
}

std::string_view strip_line_terminator(std::string_view line) {
    if (!line.empty() && line.back() == '\n') {
        line.remove_suffix(1);
        // CR LF is one character: it goes as a whole.
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    } else if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    return line;
}

void FreeDelete::operator()(char* bytes) const { std::free(bytes); }

namespace {

constexpr std::size_t line_buffer_size = 1 << 16;

// Makes room for more bytes after the unread ones: moves them to the front
// and, when the buffer is full of them, doubles it (large blocks are grown
// by the allocator without copying). False when there is no memory for more.
bool make_room(LineReader& reader) {
    if (reader.begin > 0) {
        std::memmove(reader.buffer.get(), reader.buffer.get() + reader.begin, reader.end - reader.begin);
        reader.end -= reader.begin;
        reader.begin = 0;
    }
    if (reader.end < reader.capacity) return true;
    const std::size_t capacity = reader.capacity == 0 ? line_buffer_size : 2 * reader.capacity;
    char* grown = static_cast<char*>(std::realloc(reader.buffer.get(), capacity));
    if (grown == nullptr) return false;
    (void)reader.buffer.release();
    reader.buffer.reset(grown);
    reader.capacity = capacity;
    return true;
}

// After a very long line, gives the memory back and starts again small; a
// buffer of ordinary size is kept for the next long line.
void shrink(LineReader& reader) {
    if (reader.capacity <= kKeptBufferBytes || reader.end - reader.begin > line_buffer_size / 2) return;
    std::memmove(reader.buffer.get(), reader.buffer.get() + reader.begin, reader.end - reader.begin);
    reader.end -= reader.begin;
    reader.begin = 0;
    char* smaller = static_cast<char*>(std::realloc(reader.buffer.get(), line_buffer_size));
    if (smaller == nullptr) return;
    (void)reader.buffer.release();
    reader.buffer.reset(smaller);
    reader.capacity = line_buffer_size;
}

}  // namespace

namespace {

// Drops the rest of a line that could not be held: bytes up to and including
// its line feed, or to the end of input.
void discard_rest_of_line(LineReader& reader) {
    reader.begin = reader.end = 0;
    while (!reader.finished) {
        const ssize_t got = ::read(reader.fd, reader.buffer.get(), reader.capacity);
        if (got > 0) {
            const auto* data = reader.buffer.get();
            const void* newline = std::memchr(data, '\n', static_cast<std::size_t>(got));
            if (newline != nullptr) {
                reader.begin = static_cast<std::size_t>(static_cast<const char*>(newline) - data) + 1;
                reader.end = static_cast<std::size_t>(got);
                return;
            }
        } else if (!(got < 0 && errno == EINTR)) {
            reader.finished = true;
        }
    }
}

}  // namespace

std::optional<std::string_view> read_line(LineReader& reader) {
    reader.line_lost = false;
    shrink(reader);
    std::size_t scanned = reader.begin;  // no line feed in [begin, scanned)
    std::string_view line;
    while (true) {
        const char* data = reader.buffer.get();
        const void* newline =
            reader.end > scanned ? std::memchr(data + scanned, '\n', reader.end - scanned) : nullptr;
        if (newline != nullptr) {
            const std::size_t stop = static_cast<std::size_t>(static_cast<const char*>(newline) - data) + 1;
            line = std::string_view(data + reader.begin, stop - reader.begin);
            reader.begin = stop;
            break;
        }
        if (reader.finished) {
            if (reader.begin == reader.end) return std::nullopt;
            line = std::string_view(data + reader.begin, reader.end - reader.begin);
            reader.begin = reader.end;
            break;
        }
        scanned = reader.end - reader.begin;
        if (!make_room(reader)) {
            discard_rest_of_line(reader);
            reader.line_lost = true;
            return std::string_view();
        }
        const ssize_t got = ::read(reader.fd, reader.buffer.get() + reader.end, reader.capacity - reader.end);
        if (got > 0) {
            reader.end += static_cast<std::size_t>(got);
        } else if (!(got < 0 && errno == EINTR)) {
            reader.finished = true;
        }
    }
    return strip_line_terminator(line);
}

// ---- JSON reader -----------------------------------------------------------

struct JsonObject {
    // The top-level members whose values are JSON strings; nothing else of
    // the request is kept. Either views into the reader's parser (a line that
    // the fast parser accepts) or strings of their own (every other line).
    std::vector<std::pair<std::string_view, std::string_view>> views;
    std::map<std::string, std::string, std::less<>> strings;
};

struct JsonReaderState {
    simdjson::dom::parser parser;
};

void JsonReaderStateDelete::operator()(JsonReaderState* state) const { delete state; }

void JsonObjectDelete::operator()(JsonObject* object) const { delete object; }

namespace {

using Json = nlohmann::json;

// Reads the request through the parser's events rather than building a value
// tree: string values are moved out of the parser, the rest is dropped as it
// goes, and a line nested too deep stops the parse at once.
struct TopLevelStrings {
    JsonObject& object;
    std::size_t depth = 0;  // containers open, the top-level object counted
    std::string member;  // the key of the top-level member being read

    // A value that is not a string; at the top level it is not an object.
    bool other_value() {
        if (depth == 1) object.strings.erase(member);
        return depth > 0;
    }
    bool open(bool is_object) {
        if (depth == 0 && !is_object) return false;
        other_value();
        return ++depth <= json_max_depth;
    }

    bool null() { return other_value(); }
    bool boolean(bool) { return other_value(); }
    bool number_integer(Json::number_integer_t) { return other_value(); }
    bool number_unsigned(Json::number_unsigned_t) { return other_value(); }
    bool number_float(Json::number_float_t, const Json::string_t&) { return other_value(); }
    bool binary(Json::binary_t&) { return other_value(); }
    bool string(Json::string_t& value) {
        if (depth == 0) return false;
        // A key given twice: the later value counts.
        if (depth == 1) object.strings.insert_or_assign(member, std::move(value));
        return true;
    }
    bool start_object(std::size_t) { return open(true); }
    bool start_array(std::size_t) { return open(false); }
    bool end_object() { return --depth, true; }
    bool end_array() { return --depth, true; }
    bool key(Json::string_t& name) {
        if (depth == 1) member = std::move(name);
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) { return false; }
};

JsonObjectPtr parse_object(std::string_view utf8) {
    JsonObjectPtr object(new JsonObject);
    TopLevelStrings reader{*object, 0, {}};
    if (!Json::sax_parse(utf8.begin(), utf8.end(), &reader)) return nullptr;
    return object;
}

}  // namespace

namespace {

enum class FastParse { refused, not_an_object, object };

// The fast parser's reading of the line. It accepts no line that the event
// parser refuses (it is the stricter of the two: it also refuses numbers
// beyond a double and a byte-order mark), and reads every line it accepts
// alike, so its refusal only sends the line on to the event parser, which
// has the last word.
FastParse fast_parse_object(JsonReaderState& state, std::string_view line, JsonObject& object) {
    // As deep as the event parser goes, the top-level object counted. A new
    // parser goes deeper: without this depth the line goes to the event parser.
    if (state.parser.max_depth() != json_max_depth &&
        (state.parser.allocate(0, json_max_depth) != simdjson::SUCCESS ||
         state.parser.max_depth() != json_max_depth)) {
        return FastParse::refused;
    }
    simdjson::dom::element root;
    if (state.parser.parse(line.data(), line.size(), true).get(root) != simdjson::SUCCESS) {
        return FastParse::refused;
    }
    simdjson::dom::object members;
    if (root.get_object().get(members) != simdjson::SUCCESS) return FastParse::not_an_object;
    for (const simdjson::dom::key_value_pair member : members) {
        // A key given twice: the later value counts, string or not.
        std::erase_if(object.views, [&](const auto& kept) { return kept.first == member.key; });
        std::string_view value;
        if (member.value.get_string().get(value) == simdjson::SUCCESS) object.views.emplace_back(member.key, value);
    }
    return FastParse::object;
}

}  // namespace

JsonReader make_json_reader() {
    JsonReader reader;
    reader.state.reset(new JsonReaderState);
    return reader;
}

void release_large_buffers(JsonReader& reader) {
    // The parser holds several buffers, together some bytes for every byte
    // of the longest line it has read.
    if (reader.state->parser.capacity() <= kKeptBufferBytes / 8) return;
    reader.state->parser = simdjson::dom::parser();
}

JsonObjectPtr json_object_with_line_by_events(std::string_view line) {
    // The parser refuses every ill-formed UTF-8 sequence, inside a string or
    // out, so a line it accepts is its own text; only a line it refuses can
    // read differently once decoded.
    JsonObjectPtr object = parse_object(line);
    if (object || well_formed_prefix(line) == line.size()) return object;
    return parse_object(decode_utf8(line));
}

JsonObjectPtr json_object_with_line(JsonReader& reader, std::string_view line) {
    // A raw NUL byte is never part of one JSON value (inside a string it must
    // be escaped), but the event parser takes it for the end of its input and
    // would accept a line that goes on after it.
    if (line.find('\0') != std::string_view::npos) return nullptr;
    JsonObjectPtr object(new JsonObject);
    switch (fast_parse_object(*reader.state, line, *object)) {
        case FastParse::object: return object;
        case FastParse::not_an_object: return nullptr;
        case FastParse::refused: break;
    }
    return json_object_with_line_by_events(line);
}

std::optional<std::string_view> string_member(const JsonObject& object, std::string_view key) {
    for (const auto& [name, value] : object.views) {
        if (name == key) return value;
    }
    const auto it = object.strings.find(key);
    if (it == object.strings.end()) return std::nullopt;
    return it->second;
}

// ---- texts -----------------------------------------------------------------

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

Text make_text(std::string_view utf8) {
    Text text;
    set_text(text, utf8);
    return text;
}

void release_large_buffers(Text& text, MatchList& matches) {
    if (text.capacity * sizeof(char16_t) > kKeptBufferBytes) text = Text{};
    std::size_t kept = 0;
    for (const std::vector<Range>& block : matches.blocks) kept += block.capacity() * sizeof(Range);
    if (kept > kKeptBufferBytes) matches = MatchList{};
}

std::size_t length(const Text& text) { return text.size; }

namespace {

// The units of `range` that lie inside the text.
std::u16string_view units_in(const Text& text, Range range) {
    if (range.location >= text.size) return {};
    return {text.units.get() + range.location, std::min(range.length, text.size - range.location)};
}

}  // namespace

void append_substring(std::string& out, const Text& text, Range range) {
    const std::u16string_view units = units_in(text, range);
    append_utf16_as_utf8(out, units.data(), units.size());
}

std::size_t write_substring(char* out, const Text& text, Range range) {
    const std::u16string_view units = units_in(text, range);
    return utf16_to_utf8(out, units.data(), units.size());
}

std::string substring(const Text& text, Range range) {
    std::string out;
    append_substring(out, text, range);
    return out;
}

std::vector<std::string_view> characters(std::string_view utf8) {
    std::vector<std::string_view> result;
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> breaks;
    UTextPtr text;
    if (utf8.size() <= static_cast<std::size_t>(INT32_MAX)) {
        breaks.reset(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        text.reset(utext_openUTF8(nullptr, utf8.data(), static_cast<std::int64_t>(utf8.size()),
                                  &status));
        if (U_SUCCESS(status)) breaks->setText(text.get(), status);
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
            result.emplace_back(utf8.substr(static_cast<std::size_t>(start),
                                            static_cast<std::size_t>(i - start)));
        }
        return result;
    }
    std::int32_t start = breaks->first();
    for (std::int32_t end = breaks->next(); end != icu::BreakIterator::DONE;
         start = end, end = breaks->next()) {
        result.emplace_back(utf8.substr(static_cast<std::size_t>(start),
                                        static_cast<std::size_t>(end - start)));
    }
    return result;
}

// ---- regular expressions ---------------------------------------------------

struct Regex {
    std::unique_ptr<icu::RegexPattern> pattern;
};

void RegexDelete::operator()(Regex* regex) const { delete regex; }

CompileResult compile_regex(std::string_view pattern, std::uint32_t options) {
    std::uint32_t flags = 0;
    if (options & regex_case_insensitive) flags |= UREGEX_CASE_INSENSITIVE;
    if (options & regex_allow_comments_and_whitespace) flags |= UREGEX_COMMENTS;
    if (options & regex_dot_matches_line_separators) flags |= UREGEX_DOTALL;
    if (options & regex_anchors_match_lines) flags |= UREGEX_MULTILINE;

    UErrorCode status = U_ZERO_ERROR;
    UTextPtr text(utext_openUTF8(nullptr, pattern.data(), static_cast<std::int64_t>(pattern.size()),
                                 &status));
    UParseError where{};
    std::unique_ptr<icu::RegexPattern> compiled;
    if (U_SUCCESS(status)) compiled.reset(icu::RegexPattern::compile(text.get(), flags, where, status));
    if (U_FAILURE(status) || !compiled) {
        return {nullptr, u_errorName(U_FAILURE(status) ? status : U_MEMORY_ALLOCATION_ERROR)};
    }
    return {RegexPtr(new Regex{std::move(compiled)}), {}};
}

namespace {

struct Search {
    UTextPtr input;
    std::unique_ptr<icu::RegexMatcher> matcher;
    std::size_t group_count = 0;
};

// ICU reports a failed allocation by a status; the engine answers it as any
// other exhausted memory rather than with a list cut short. The search has
// no stack limit, so a stack overflow is a backtracking stack that could
// not grow.
void check_memory(UErrorCode status) {
    if (status == U_MEMORY_ALLOCATION_ERROR || status == U_REGEX_STACK_OVERFLOW) throw std::bad_alloc();
}

// A matcher over `range` of `text`, or nothing when ICU cannot set one up.
std::optional<Search> start_search(const Regex& regex, const Text& text, Range range) {
    UErrorCode status = U_ZERO_ERROR;
    Search search;
    search.input.reset(utext_openUChars(nullptr, reinterpret_cast<const UChar*>(text.units.get()),
                                        static_cast<std::int64_t>(text.size), &status));
    check_memory(status);
    if (U_FAILURE(status)) return std::nullopt;
    search.matcher.reset(regex.pattern->matcher(status));
    if (!search.matcher) throw std::bad_alloc();
    check_memory(status);
    if (U_FAILURE(status)) return std::nullopt;
    search.matcher->reset(search.input.get());
    const std::size_t begin = std::min(range.location, text.size);
    const std::size_t end = begin + std::min(range.length, text.size - begin);
    search.matcher->region(static_cast<std::int64_t>(begin), static_cast<std::int64_t>(end), status);
    // The search has no limits of its own: the backtracking stack may grow
    // as the text needs rather than stopping the search part way.
    search.matcher->setStackLimit(0, status);
    check_memory(status);
    if (U_FAILURE(status)) return std::nullopt;
    search.group_count = static_cast<std::size_t>(search.matcher->groupCount());
    return search;
}

Range group_range(icu::RegexMatcher& matcher, std::size_t group, UErrorCode& status) {
    const auto g = static_cast<std::int32_t>(group);
    const std::int64_t start = matcher.start64(g, status);
    const std::int64_t end = matcher.end64(g, status);
    if (U_FAILURE(status) || start < 0) return {not_found, 0};
    return {static_cast<std::size_t>(start), static_cast<std::size_t>(end - start)};
}

}  // namespace

std::size_t match_count(const MatchList& matches) { return matches.count; }

TextCheckingResult match_at(const MatchList& matches, std::size_t index) {
    const std::vector<Range>& block = matches.blocks[index / matches.matches_per_block];
    return TextCheckingResult(block).subspan((index % matches.matches_per_block) * matches.number_of_ranges,
                                             matches.number_of_ranges);
}

void find_matches(MatchList& result, const Regex& regex, const Text& text, Range range) {
    constexpr std::size_t block_ranges = 1 << 16;
    result.count = 0;
    for (std::vector<Range>& block : result.blocks) block.clear();
    std::size_t used_blocks = 0;
    result.number_of_ranges = 1;
    auto search = start_search(regex, text, range);
    if (!search) return;
    result.number_of_ranges = search->group_count + 1;
    result.matches_per_block = std::max<std::size_t>(1, block_ranges / result.number_of_ranges);
    const std::size_t full_block = result.matches_per_block * result.number_of_ranges;
    UErrorCode status = U_ZERO_ERROR;
    while (search->matcher->find(status) && U_SUCCESS(status)) {
        if (used_blocks == 0 || result.blocks[used_blocks - 1].size() == full_block) {
            if (used_blocks == result.blocks.size()) {
                result.blocks.emplace_back();
                // The first block grows as needed, for the many short lists.
                if (used_blocks > 0) result.blocks.back().reserve(full_block);
            }
            ++used_blocks;
        }
        std::vector<Range>& block = result.blocks[used_blocks - 1];
        for (std::size_t g = 0; g < result.number_of_ranges; ++g) {
            block.push_back(group_range(*search->matcher, g, status));
        }
        ++result.count;
    }
    check_memory(status);
}

MatchList matches_in_string(const Regex& regex, const Text& text, Range range) {
    MatchList result;
    find_matches(result, regex, text, range);
    return result;
}

std::string replace_matches(const Regex& regex, const Text& text, Range range,
                            std::string_view template_text) {
    auto search = start_search(regex, text, range);
    const std::u16string_view units(text.units.get(), text.size);
    if (!search) return to_utf8(units);
    const std::vector<TemplatePiece> pieces = parse_template(to_utf16(template_text), search->group_count);
    std::u16string out;
    out.reserve(units.size());
    std::size_t copied = 0;
    UErrorCode status = U_ZERO_ERROR;
    while (search->matcher->find(status) && U_SUCCESS(status)) {
        const Range whole = group_range(*search->matcher, 0, status);
        if (whole.location == not_found) break;
        out.append(units.substr(copied, whole.location - copied));
        for (const TemplatePiece& piece : pieces) {
            if (!piece.is_group) {
                out.append(piece.literal);
            } else if (piece.group <= search->group_count) {
                const Range r = group_range(*search->matcher, piece.group, status);
                if (r.location != not_found) out.append(units.substr(r.location, r.length));
            }
        }
        copied = whole.location + whole.length;
    }
    check_memory(status);
    out.append(units.substr(copied));
    return to_utf8(out);
}

std::string expand_template(std::string_view template_text,
                            const std::vector<std::optional<std::string>>& groups) {
    const std::size_t group_count = groups.empty() ? 0 : groups.size() - 1;
    std::string out;
    for (const TemplatePiece& piece : parse_template(to_utf16(template_text), group_count)) {
        if (!piece.is_group) {
            out += to_utf8(piece.literal);
        } else if (piece.group < groups.size() && groups[piece.group]) {
            out += *groups[piece.group];
        }
    }
    return out;
}

}  // namespace brindlecap::foundation::platform
