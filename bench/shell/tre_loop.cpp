// The floor for the shell engine's search: TRE called the way the engine
// calls it, on the same lines, with no JSON and no process protocol.
//   tre_loop search PATTERN FILE      every non-empty match of every line
//   tre_loop requests N PATTERN TEXT  N times: compile, search TEXT, release
#include <tre/tre.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

namespace {

std::size_t search_line(const regex_t& re, std::string_view line, unsigned long long& sum) {
    std::size_t count = 0, position = 0;
    int eflags = 0;
    while (position <= line.size()) {
        regmatch_t slot[1] = {{-1, -1}};
        if (tre_regnexec(&re, line.data() + position, line.size() - position, 1, slot, eflags) != 0)
            break;
        std::size_t s = position + slot[0].rm_so, e = position + slot[0].rm_eo;
        if (e > s) {
            ++count;
            sum += s;
            position = e;
        } else {
            std::size_t step = 1;
            if (MB_CUR_MAX > 1 && position < line.size()) {
                std::mbstate_t state{};
                std::size_t n = std::mbrlen(line.data() + position, line.size() - position, &state);
                if (n != 0 && n < static_cast<std::size_t>(-2)) step = n;
            }
            position += step;
        }
        eflags = REG_NOTBOL;
    }
    return count;
}

std::size_t search_text(const regex_t& re, std::string_view text, unsigned long long& sum) {
    std::size_t count = 0, offset = 0;
    while (true) {
        std::size_t feed = text.find('\n', offset);
        std::string_view line = text.substr(offset, feed == std::string_view::npos ? text.npos : feed - offset);
        count += search_line(re, line, sum);
        if (feed == std::string_view::npos) return count;
        offset = feed + 1;
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    if (argc == 4 && std::string_view(argv[1]) == "search") {
        std::ifstream in(argv[3], std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        regex_t re;
        if (tre_regcomp(&re, argv[2], REG_EXTENDED) != 0) return 2;
        unsigned long long sum = 0;
        std::size_t count = search_text(re, text, sum);
        tre_regfree(&re);
        std::printf("%zu %llu\n", count, sum);
        return 0;
    }
    if (argc == 5 && std::string_view(argv[1]) == "requests") {
        long n = std::atol(argv[2]);
        std::size_t count = 0;
        unsigned long long sum = 0;
        for (long i = 0; i < n; ++i) {
            regex_t re;
            if (tre_regcomp(&re, argv[3], REG_EXTENDED) != 0) return 2;
            count += search_text(re, argv[4], sum);
            tre_regfree(&re);
        }
        std::printf("%zu %llu\n", count, sum);
        return 0;
    }
    std::fprintf(stderr, "usage: tre_loop search PATTERN FILE | requests N PATTERN TEXT\n");
    return 2;
}
