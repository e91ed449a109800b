// The baseline for the engine's "test" benchmark: the bare ICU loop that the
// engine's search stands on. Reads a UTF-8 text file, compiles the pattern and
// walks every match, keeping its start and end, and prints the match count.
#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s PATTERN TEXT_FILE\n", argv[0]);
        return 2;
    }
    std::ifstream file(argv[2], std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const icu::UnicodeString text = icu::UnicodeString::fromUTF8(bytes);
    UErrorCode status = U_ZERO_ERROR;
    UParseError where{};
    const std::unique_ptr<icu::RegexPattern> pattern(
        icu::RegexPattern::compile(icu::UnicodeString::fromUTF8(argv[1]), 0, where, status));
    if (U_FAILURE(status)) return 1;
    const std::unique_ptr<icu::RegexMatcher> matcher(pattern->matcher(text, status));
    std::vector<std::int64_t> spans;
    while (matcher->find(status) && U_SUCCESS(status)) {
        spans.push_back(matcher->start64(status));
        spans.push_back(matcher->end64(status));
    }
    std::printf("%zu\n", spans.size() / 2);
    return 0;
}
