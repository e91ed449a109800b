// Reading the Dart program's "test" output must stay linear in its size: the
// time per match line at 10x and 100x the baseline size, as ratios.
#include "engines/dart/dart_engine.h"
#include "protocol/protocol.h"

#include <chrono>
#include <cstdio>
#include <string>

namespace {

std::string match_lines(std::size_t count) {
    std::string output;
    for (std::size_t i = 0; i < count; ++i) {
        output += std::to_string(i * 8) + "\t7\tmatched\tgroup one\t\tgröup three\n";
    }
    return output;
}

// Seconds per line, best of a few runs.
double seconds_per_line(std::size_t count) {
    const std::string output = match_lines(count);
    double best = 1e9;
    for (int run = 0; run < 3; ++run) {
        const auto start = std::chrono::steady_clock::now();
        const std::string written =
            brindlecap::write_json(brindlecap::dart::read_test_output(output));
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        if (written.empty()) return 0;
        best = std::min(best, took.count());
    }
    return best / static_cast<double>(count);
}

}  // namespace

int main() {
    const double baseline = seconds_per_line(10'000);
    std::printf("read_test_output baseline (10k lines): %.0f ns/line\n", baseline * 1e9);
    for (const std::size_t count : {100'000u, 1'000'000u}) {
        std::printf("read_test_output %zu lines: %.2fx the baseline time per line\n", count,
                    seconds_per_line(count) / baseline);
    }
}
