// The platform services this engine is written against: the line reader, the
// JSON reader, regular expressions with UTF-16 ranges, template replacement
// and the division of a text into characters (extended grapheme clusters).
//
// On this machine they are provided by ICU, simdjson and nlohmann json, and
// this layer (platform_lines.cpp, platform_json.cpp, platform_text.cpp and
// platform_regex.cpp) is the only code that knows it; the engine's own code
// sees texts as well-formed UTF-8 (a line's bytes go only to the JSON reader,
// which reads them as text) and ranges as UTF-16 code units, as the platform
// reports them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace brindlecap::foundation::platform {

// ---- line reader ----------------------------------------------------------

struct FreeDelete {
    void operator()(char* bytes) const;
};

// Reads lines from a descriptor through a buffer of its own, which grows to
// hold a long line whole.
struct LineReader {
    int fd = 0;
    std::unique_ptr<char, FreeDelete> buffer;
    std::size_t capacity = 0;
    std::size_t begin = 0;  // unread bytes are buffer[begin, end)
    std::size_t end = 0;
    bool finished = false;  // end of input or a failed read
    // The last line was too long to hold in memory: read_line gave an empty
    // line in its place, its bytes dropped.
    bool line_lost = false;
};

// The next line's bytes, with its final line terminator removed: a CR LF
// pair, a LF, or a CR on a last line that has no LF. Nothing once the input
// has ended or a read has failed and no bytes of a line are left. The bytes
// stay valid until the next call.
//
// The line's text is these bytes with each maximal ill-formed subpart of
// UTF-8 replaced by one U+FFFD. The replacement is left to the JSON reader,
// the one reader of the text, which can tell a well-formed line by parsing it.
std::optional<std::string_view> read_line(LineReader& reader);

// Removes the final line terminator as read_line does.
std::string_view strip_line_terminator(std::string_view line);

// ---- JSON reader -----------------------------------------------------------

struct JsonObject;
struct JsonObjectDelete {
    void operator()(JsonObject* object) const;
};
using JsonObjectPtr = std::unique_ptr<JsonObject, JsonObjectDelete>;

// What the JSON reader keeps from one line to the next: its buffers, sized
// for the longest line so far, and nothing of the lines themselves.
struct JsonReaderState;
struct JsonReaderStateDelete {
    void operator()(JsonReaderState* state) const;
};
struct JsonReader {
    std::unique_ptr<JsonReaderState, JsonReaderStateDelete> state;
};

JsonReader make_json_reader();

// Gives back the reader's buffers when a long line has made them large.
void release_large_buffers(JsonReader& reader);

// The value tree of a line's text (read_line); null when it is not JSON or
// its top-level value is not an object. The tree may refer to the reader's
// buffers: it is read before the reader reads the next line.
JsonObjectPtr json_object_with_line(JsonReader& reader, std::string_view line);

// The reader that has the last word on every line the fast parser refuses
// (and that reads a line with a raw NUL byte as ending there); the tree is
// its own. For comparing the two.
JsonObjectPtr json_object_with_line_by_events(std::string_view line);

// The member's value when it is a JSON string; valid while the tree is.
std::optional<std::string_view> string_member(const JsonObject& object, std::string_view key);

// ---- texts -----------------------------------------------------------------

// A text as the platform's string type holds it: UTF-16 code units.
struct Text {
    std::unique_ptr<char16_t[]> units;
    std::size_t size = 0;
    std::size_t capacity = 0;  // units allocated
};

// A span of a Text in UTF-16 code units.
struct Range {
    std::size_t location = 0;
    std::size_t length = 0;
};

// The location of a group that did not take part in a match.
inline constexpr std::size_t NOT_FOUND = static_cast<std::size_t>(PTRDIFF_MAX);

// Makes `text` the UTF-16 of `utf8`, in the units it has when they are
// enough.
void set_text(Text& text, std::string_view utf8);
std::size_t length(const Text& text);

// The units of `range` that lie inside the text.
std::u16string_view units_in(const Text& text, Range range);

// The characters (extended grapheme clusters) of a text, in order, as views
// of the text.
std::vector<std::string_view> characters(std::string_view utf8);

// ---- regular expressions ---------------------------------------------------

// Compile options, with the platform's values.
inline constexpr std::uint32_t REGEX_CASE_INSENSITIVE = 1;
inline constexpr std::uint32_t REGEX_ALLOW_COMMENTS_AND_WHITESPACE = 2;
inline constexpr std::uint32_t REGEX_DOT_MATCHES_LINE_SEPARATORS = 8;
inline constexpr std::uint32_t REGEX_ANCHORS_MATCH_LINES = 16;

struct Regex;
struct RegexDelete {
    void operator()(Regex* regex) const;
};
using RegexPtr = std::unique_ptr<Regex, RegexDelete>;

struct CompileResult {
    RegexPtr regex;                 // null when the pattern was rejected
    std::string error_description;  // why, when it was
};

// A pattern that cannot be compiled for want of memory is not rejected:
// std::bad_alloc is thrown, as for any other allocation that fails.
CompileResult compile_regex(std::string_view pattern, std::uint32_t options);

// One match: range 0 is the whole match, range i the capturing group i.
using TextCheckingResult = std::span<const Range>;

// Every match in a searched range, in order of position, each with the same
// number of ranges (one more than the number of capturing groups).
struct MatchList {
    std::size_t number_of_ranges = 1;
    std::size_t count = 0;
    // number_of_ranges per match, match after match, in blocks of whole
    // matches, so that a long list grows without being copied.
    std::size_t matches_per_block = 1;
    std::vector<std::vector<Range>> blocks;  // those past the last match are spare
};

std::size_t match_count(const MatchList& matches);
TextCheckingResult match_at(const MatchList& matches, std::size_t index);

// How a search ended. The matcher can give up part way (its backtracking
// stack full, or another fault of its own): the platform then sets its
// "internal error" matching flag, and the matcher's name for the fault is
// given as a compile error's description is.
struct MatchingStatus {
    bool internal_error = false;
    std::string_view error_description;  // static text
};

// Every match in `range`, into `matches`, whose blocks are used again. After
// an internal error the list holds the matches found before it.
MatchingStatus find_matches(MatchList& matches, const Regex& regex, const Text& text, Range range);

// Bytes above which a buffer is given back after the request rather than
// kept for the next.
inline constexpr std::size_t KEPT_BUFFER_BYTES = std::size_t{64} << 20;

// Gives back the buffers of `text` and `matches` that are larger than kept.
void release_large_buffers(Text& text, MatchList& matches);

// Sets `result` to the text with every match in `range` replaced by
// `template_text` expanded: "$" and up to as many digits as the number of
// capturing groups has is that group's text (empty for a group that did not
// take part or does not exist); "$" without a digit is itself; a backslash
// makes the next character literal. After an internal error `result` is
// not the replaced text.
MatchingStatus replace_matches(std::string& result, const Regex& regex, const Text& text,
                               Range range, std::string_view template_text);

}  // namespace brindlecap::foundation::platform
