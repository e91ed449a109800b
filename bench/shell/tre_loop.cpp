// The floor for the shell engine: the whole job of a process that answers
// one request, with TRE called the way the engine calls it on the same
// lines, but with no JSON and no line protocol.
//   tre_loop search PATTERN < TEXT              every non-empty match of every
//                                               line; writes the count
//   tre_loop replace PATTERN REPLACEMENT < TEXT the text with every match
//                                               replaced; writes it and the count
//   tre_loop requests N PATTERN TEXT            N times: compile, search TEXT,
//                                               release; writes the count
#include <tre/tre.h>

#include <unistd.h>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <iostream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace {

struct Span {
    std::size_t start, end;
};

void search_line(const regex_t& re, std::string_view line, std::size_t offset,
                 std::vector<Span>& spans) {
    std::size_t position = 0;
    int eflags = 0;
    while (position <= line.size()) {
        regmatch_t slot[1] = {{-1, -1}};
        if (tre_regnexec(&re, line.data() + position, line.size() - position, 1, slot, eflags) != 0)
            break;
        std::size_t s = position + slot[0].rm_so, e = position + slot[0].rm_eo;
        if (e > s) {
            spans.push_back({offset + s, offset + e});
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
}

std::vector<Span> search_text(const regex_t& re, std::string_view text) {
    std::vector<Span> spans;
    std::size_t offset = 0;
    while (true) {
        std::size_t feed = text.find('\n', offset);
        std::string_view line =
            text.substr(offset, feed == std::string_view::npos ? text.npos : feed - offset);
        search_line(re, line, offset, spans);
        if (feed == std::string_view::npos) return spans;
        offset = feed + 1;
    }
}

std::string read_stdin() {
    std::string text;
    char buffer[1 << 16];
    ssize_t got;
    while ((got = read(0, buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<std::size_t>(got));
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    const std::string_view mode = argc > 1 ? argv[1] : "";
    if ((argc == 3 && mode == "search") || (argc == 4 && mode == "replace")) {
        std::string text = read_stdin();
        regex_t re;
        if (tre_regcomp(&re, argv[2], REG_EXTENDED) != 0) return 2;
        std::vector<Span> spans = search_text(re, text);
        tre_regfree(&re);
        if (mode == "replace") {
            std::string result;
            result.reserve(text.size() + spans.size() * std::string_view(argv[3]).size());
            std::size_t copied = 0;
            for (const Span& span : spans) {
                result.append(text, copied, span.start - copied);
                result += argv[3];
                copied = span.end;
            }
            result.append(text, copied);
            std::fwrite(result.data(), 1, result.size(), stdout);
        }
        std::printf("%zu\n", spans.size());
        return 0;
    }
    if (argc == 5 && mode == "requests") {
        long n = std::atol(argv[2]);
        std::size_t count = 0;
        for (long i = 0; i < n; ++i) {
            regex_t re;
            if (tre_regcomp(&re, argv[3], REG_EXTENDED) != 0) return 2;
            count += search_text(re, argv[4]).size();
            tre_regfree(&re);
        }
        std::printf("%zu\n", count);
        return 0;
    }
    std::fprintf(stderr,
                 "usage: tre_loop search PATTERN < TEXT | replace PATTERN REPLACEMENT < TEXT"
                 " | requests N PATTERN TEXT\n");
    return 2;
}
