// The floor for the MySQL-flavour engine's "test": ICU's own search loop over
// a UTF-16 text already in memory, with nothing done per match but reading
// its bounds. Prints the number of matches and the seconds the loop took.
#include <unicode/uregex.h>
#include <unicode/ustring.h>

#include <chrono>
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
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    UErrorCode status = U_ZERO_ERROR;
    int32_t units = 0;
    u_strFromUTF8(nullptr, 0, &units, text.c_str(), static_cast<int32_t>(text.size()), &status);
    std::vector<UChar> utf16(static_cast<std::size_t>(units) + 1);
    status = U_ZERO_ERROR;
    u_strFromUTF8(utf16.data(), units + 1, &units, text.c_str(), static_cast<int32_t>(text.size()), &status);
    std::vector<UChar> pattern(std::string(argv[1]).size() * 2 + 1);
    int32_t pattern_units = 0;
    u_strFromUTF8(pattern.data(), static_cast<int32_t>(pattern.size()), &pattern_units, argv[1], -1, &status);
    URegularExpression* re = uregex_open(pattern.data(), pattern_units, 0, nullptr, &status);
    if (U_FAILURE(status)) {
        std::fprintf(stderr, "icu_floor: %s\n", u_errorName(status));
        return 1;
    }
    const auto begin = std::chrono::steady_clock::now();
    uregex_setText(re, utf16.data(), units, &status);
    long matches = 0;
    long long checksum = 0;
    while (uregex_findNext(re, &status)) {
        checksum += uregex_start(re, 0, &status) + uregex_end(re, 0, &status);
        ++matches;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    uregex_close(re);
    std::printf("%ld %.6f %lld\n", matches, seconds, checksum);
    return 0;
}
