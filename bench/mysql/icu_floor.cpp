// The floor for the MySQL-flavour engine's "test": the whole job a process
// must do at the least — read the text, convert it to UTF-16, run ICU's
// search loop over it, write the number of matches — and nothing per match
// but reading its bounds. Timed from outside, like the engine.
#include <unicode/uregex.h>
#include <unicode/ustring.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: icu_floor PATTERN TEXT_FILE\n");
        return 2;
    }
    std::ifstream file(argv[2], std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(file)),
                           std::istreambuf_iterator<char>());
    UErrorCode status = U_ZERO_ERROR;
    int32_t units = 0;
    std::vector<UChar> utf16(text.size() + 1);
    u_strFromUTF8(utf16.data(), static_cast<int32_t>(utf16.size()), &units, text.c_str(),
                  static_cast<int32_t>(text.size()), &status);
    std::vector<UChar> pattern(std::string(argv[1]).size() * 2 + 1);
    int32_t pattern_units = 0;
    u_strFromUTF8(pattern.data(), static_cast<int32_t>(pattern.size()), &pattern_units, argv[1], -1,
                  &status);
    URegularExpression* re = uregex_open(pattern.data(), pattern_units, 0, nullptr, &status);
    if (U_FAILURE(status)) {
        std::fprintf(stderr, "icu_floor: %s\n", u_errorName(status));
        return 1;
    }
    uregex_setText(re, utf16.data(), units, &status);
    long matches = 0;
    long long checksum = 0;
    while (uregex_findNext(re, &status)) {
        checksum += uregex_start(re, 0, &status) + uregex_end(re, 0, &status);
        ++matches;
    }
    uregex_close(re);
    std::printf("%ld %lld\n", matches, checksum);
    return 0;
}
