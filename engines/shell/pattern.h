// POSIX pattern compilation over TRE: flag letters, basic-to-extended
// translation and the compile error messages.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <variant>

namespace brindlecap::shell {

struct RegexFlags {
    bool extended = false;  // "E": the pattern is already in the extended syntax
    bool icase = false;     // "i": REG_ICASE
};

RegexFlags parse_flags(std::string_view flags);

// TRE's compiled pattern, kept out of this header: TRE's regex_t clashes with
// the C library's <regex.h>, which other headers (GoogleTest's) include.
struct TrePattern;

struct TreFree {
    void operator()(TrePattern* pattern) const;
};

// A pattern that compiled; released with tre_regfree when it goes out of scope.
using CompiledPattern = std::unique_ptr<TrePattern, TreFree>;

// The compiled pattern, or the complete message
// "compile error: <inner> (pattern=<pattern as sent>)".
std::variant<CompiledPattern, std::string> compile_regex(std::string_view pattern,
                                                         std::string_view flags);

// Rewrites a basic-syntax pattern into the extended syntax. Never fails.
std::string translate_bre(std::string_view pattern);

// Debian's TRE 0.8.0 answers REG_BADBR (10) both for a bound whose minimum
// exceeds its maximum and for one above RE_DUP_MAX (255), where callers
// expect REG_BADMAX (14) for the latter. Given the extended-syntax text that
// TRE rejected with 10, this finds the bound TRE rejected (the first one, in
// TRE's left-to-right reading: outside brackets, not escaped) and returns 14
// when its minimum or maximum exceeds 255, 10 otherwise. A bound that is not
// plain digits with an optional comma keeps 10.
int classify_bad_bound(std::string_view tre_text);

// The extended-syntax text as TRE is given it, where TRE would misread it:
// - TRE reads the numbers of a bound into an int without a check, so digits
//   beyond its range would wrap around (a{4294967296} would compile as a{0});
//   such numbers are carried as 256, which TRE refuses all the same.
// - TRE accepts a minimum above 255 when the maximum is left open ({300,})
//   and builds that many copies, which for large numbers takes gigabytes; the
//   open maximum is given as 256, so that TRE refuses the bound where it
//   reads it, as it refuses every other bound above 255.
// - After an escaped backslash, TRE's parser reads a ')' outside any group
//   as an empty expression without moving on, and allocates without end
//   (\\) in extended syntax); the backslash is given as \x5c, after which
//   TRE reads that ')' as the literal it is elsewhere (as in a)).
// `changed` tells whether the text differs from the one given.
struct TextForTre {
    std::string text;
    bool changed = false;
};
TextForTre text_for_tre(std::string_view tre_text);

// The extended-syntax text with every bound that TRE accepts cut down to
// counts of at most 1 ({5} and {2,9} become {1} and {1,1}, {3,} becomes
// {1,}), so that TRE expands nothing; every other character stays, so TRE
// finds the same faults in it, in the same order.
std::string text_without_counts(std::string_view tre_text);

// The back references (\0 to \9) of an extended-syntax text, read as TRE
// reads them: outside brackets, comments and \Q...\E runs.
struct BackReferences {
    bool any = false;
    // One refers to a group that has not closed before it: a later group, a
    // group that holds the reference, or \0 (the whole pattern). TRE accepts
    // these, and its matcher then crashes, loops, or reports matches that the
    // group's text cannot make; like a reference to a group that does not
    // exist, they are refused with REG_ESUBREG.
    bool to_unclosed_group = false;
    // A reference that can match the empty text (its group can, or may not
    // have taken part: (a*)\1, (a)?\1, (a)|\1) is repeated without bound
    // in something that can match the empty text as well (\1+, \1*, \1{2,},
    // (\1|b)+). TRE's backtracking matcher then loops without end or crashes
    // on what follows (()\1+(.)+$ on "ab"); such a pattern compiles, and is
    // answered with REG_ESPACE before any search.
    bool repeats_empty_reference = false;
};
BackReferences scan_back_references(std::string_view tre_text);

// Whether the extended-syntax text may hold \< \> \b or \B.
bool has_word_assertion(std::string_view tre_text);

}  // namespace brindlecap::shell
