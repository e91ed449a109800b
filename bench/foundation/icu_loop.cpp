// The baseline for the engine's benchmarks: the bare work a process must do
// with ICU, without JSON. Reads a UTF-8 text file, converts it to UTF-16,
// compiles the pattern and walks every match, keeping its start and end, and
// prints the match count. With --per-line, each line of the file is one
// text: the pattern is compiled, the line searched and its count printed
// line by line, as a stream of small requests needs.
#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

std::size_t count_matches(const icu::UnicodeString& pattern_text, const icu::UnicodeString& text,
                          std::vector<std::int64_t>& spans) {
    UErrorCode status = U_ZERO_ERROR;
    UParseError where{};
    const std::unique_ptr<icu::RegexPattern> pattern(
        icu::RegexPattern::compile(pattern_text, 0, where, status));
    if (U_FAILURE(status)) return 0;
    const std::unique_ptr<icu::RegexMatcher> matcher(pattern->matcher(text, status));
    spans.clear();
    while (matcher->find(status) && U_SUCCESS(status)) {
        spans.push_back(matcher->start64(status));
        spans.push_back(matcher->end64(status));
    }
    return spans.size() / 2;
}

}  // namespace

int main(int argc, char** argv) {
    const bool per_line = argc == 4 && std::strcmp(argv[1], "--per-line") == 0;
    if (argc != 3 && !per_line) {
        std::fprintf(stderr, "usage: %s [--per-line] PATTERN TEXT_FILE\n", argv[0]);
        return 2;
    }
    const char* pattern = argv[argc - 2];
    std::ifstream file(argv[argc - 1], std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)),
                            std::istreambuf_iterator<char>());
    const icu::UnicodeString pattern_text = icu::UnicodeString::fromUTF8(pattern);
    std::vector<std::int64_t> spans;
    if (!per_line) {
        std::printf("%zu\n",
                    count_matches(pattern_text, icu::UnicodeString::fromUTF8(bytes), spans));
        return 0;
    }
    std::string_view rest = bytes;
    while (!rest.empty()) {
        const std::size_t end = std::min(rest.find('\n'), rest.size());
        const icu::UnicodeString line = icu::UnicodeString::fromUTF8(
            icu::StringPiece(rest.data(), static_cast<std::int32_t>(end)));
        std::printf("%zu\n", count_matches(icu::UnicodeString::fromUTF8(pattern), line, spans));
        std::fflush(stdout);
        rest.remove_prefix(std::min(end + 1, rest.size()));
    }
    return 0;
}
