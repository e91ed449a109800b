// brindlecap-r-engine end to end: against the real Rscript, and against
// stand-ins for it laid out in a scratch directory.
#include "engines/r/r_programs.h"
#include "protocol/protocol.h"
#include "tests/support/e2e.h"
#include "tests/support/tables.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <tuple>

namespace {

namespace fs = std::filesystem;
using brindlecap::test::Case;

BRINDLECAP_CASE_FILE_TESTS(RealRCases, PROGRAM, REAL_R_CASES);

// One scratch directory per test process; each case lays it out anew, since
// a stand-in may remove itself.
const brindlecap::test::TempDir scratch;

void lay_out_fixtures(const std::string& dir) {
    for (const auto& entry : fs::directory_iterator(dir)) {
        fs::remove_all(entry.path());
    }
    for (const char* name :
         {"fake-r", "echo-program", "remove-self", "kill-self", "r-on-file", "r-then-line"}) {
        fs::copy_file(fs::path(FIXTURES) / name, fs::path(dir) / name);
        fs::permissions(fs::path(dir) / name, fs::perms(0755));
    }
    fs::create_directories(fs::path(dir) / "path");
    fs::copy_file(fs::path(FIXTURES) / "fake-r", fs::path(dir) / "path" / "Rscript");
    fs::permissions(fs::path(dir) / "path" / "Rscript", fs::perms(0755));
    fs::copy_file(fs::path(FIXTURES) / "fake-r", fs::path(dir) / "noexec-r");
    fs::permissions(fs::path(dir) / "noexec-r", fs::perms(0644));
    fs::create_directories(fs::path(dir) / "empty");
}

bool rscript_at_a_fixed_path() {
    return fs::exists("/opt/homebrew/bin/Rscript") || fs::exists("/usr/local/bin/Rscript");
}

class FakeRCases : public ::testing::TestWithParam<Case> {};

TEST_P(FakeRCases, Case) {
    const Case& c = GetParam();
    if (c.name.starts_with("not found") && rscript_at_a_fixed_path()) {
        GTEST_SKIP() << "Rscript is installed at a fixed path";
    }
    lay_out_fixtures(scratch.path());
    brindlecap::test::expect_case(PROGRAM, c);
}

INSTANTIATE_TEST_SUITE_P(
    File, FakeRCases,
    ::testing::ValuesIn(brindlecap::test::load_cases(FAKE_R_CASES, {{"DIR", scratch.path()}})),
    [](const ::testing::TestParamInfo<Case>& info) {
        return brindlecap::test::case_test_name(info.param);
    });

// Positions of a round size must come out as integers, not as 1e+05.
TEST(RealR, ReportsMatchesAtRoundPositions) {
    brindlecap::test::RunOptions options;
    options.env_unset.push_back("BRINDLECAP_R_BIN");
    const std::string text = std::string(100000, 'x') + "ab" + std::string(99998, 'x') + "ab";
    options.stdin_bytes = R"({"op":"test","pattern":"ab","text":")" + text + "\"}\n";
    const auto result = brindlecap::test::run_program(PROGRAM, options);
    EXPECT_EQ(result.out,
              R"({"matches":[{"captures":[],"groups":{},"index":100000,"match":"ab"},)"
              R"({"captures":[],"groups":{},"index":200000,"match":"ab"}],"status":"ok"})"
              "\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exit_status, 0);
}

// R reads its input in pieces of 4095 bytes and drops the rest of a piece
// after two NULs in a row. Values built to end a piece just after the
// backslash of an escaped quotation mark, were they written as one literal,
// must reach R as data, at every offset around the end of the first piece.
TEST(RealR, ValuesAroundRsInputPiecesStayData) {
    // Prints a forged match line, were it ever run as code.
    const std::string payload = ";cat(intToUtf8(c(35,10,48,9,49,9,80,87,78,69,68,10)));q();#";
    brindlecap::test::RunOptions options;
    options.env_unset.push_back("BRINDLECAP_R_BIN");
    std::string expected;
    for (int k = 4082; k < 4092; ++k) {
        for (const char* lead : {R"(\u0000\u0000)", R"(\\)", "y"}) {
            options.stdin_bytes += std::string(R"({"op":"test","pattern":"zzz","text":")") + lead +
                                   std::string(static_cast<std::size_t>(k), 'y') + "\\\"" +
                                   payload + "\"}\n";
            expected += R"({"matches":[],"status":"ok"})"
                        "\n";
        }
    }
    const auto result = brindlecap::test::run_program(PROGRAM, options);
    EXPECT_EQ(result.out, expected);
    EXPECT_EQ(result.err, "");
}

// R marks a long value as it marks the one literal of it: UTF-8 in a UTF-8
// locale (where an unmarked text makes R's regmatches several times slower),
// nothing in the C locale (where a mark would make R count characters, not
// bytes). Each value is long and begins with its only non-ASCII characters,
// so that R also reads the one-literal program of them.
TEST(RealR, LongValuesTakeTheMarkOfTheirLiteral) {
    const std::string pattern = "\xc3\xa9(" + std::string(5000, 'b') + ")?";
    const std::string replacement = "\xe2\x82\xac;" + std::string(5000, 'c');
    std::string text = "\xf0\x9f\x98\x80\xc3\xa9";
    for (int i = 0; i < 3000; ++i) {
        text += "a;b\r\n";
    }
    const std::string then_line = R"(cat("|", Encoding(p), Encoding(r), Encoding(t), sep = " "))";
    const std::string request = brindlecap::write_json({{"op", "replace"},
                                                        {"pattern", pattern},
                                                        {"replacement", replacement},
                                                        {"text", text}}) +
                                "\n";
    lay_out_fixtures(scratch.path());
    const std::string program_path = scratch / "reference.R";
    std::ofstream(program_path, std::ios::binary)
        << "p <- \"" << brindlecap::r::escape_r_string(pattern) << "\"\nr <- \""
        << brindlecap::r::escape_r_string(replacement) << "\"\nt <- \""
        << brindlecap::r::escape_r_string(text)
        << "\"\ncat(gsub(p, r, t, perl = TRUE, ignore.case = FALSE))\n"
        << then_line << "\n";
    for (const char* locale : {"C.UTF-8", "C"}) {
        brindlecap::test::RunOptions engine;
        engine.env_set = {{"BRINDLECAP_R_BIN", scratch / "r-then-line"},
                          {"THEN_LINE", then_line},
                          {"LC_ALL", locale}};
        engine.stdin_bytes = request;
        brindlecap::test::RunOptions reference = engine;
        reference.env_set = {{"BRINDLECAP_R_BIN", scratch / "r-on-file"},
                             {"REFERENCE_PROGRAM", program_path},
                             {"LC_ALL", locale}};
        const auto expected = brindlecap::test::run_program(PROGRAM, reference);
        const std::string mark = std::string_view(locale) == "C" ? "unknown" : "UTF-8";
        const std::string expected_marks = "| " + mark + " " + mark + " " + mark +
                                           R"(","status":"ok_replace"})"
                                           "\n";
        ASSERT_TRUE(expected.out.ends_with(expected_marks))
            << locale << ": " << expected.out.substr(expected.out.size() - 100);
        const std::string answer = brindlecap::test::run_program(PROGRAM, engine).out;
        EXPECT_EQ(answer.substr(answer.rfind('|')), expected_marks) << locale;
        // Whole, without printing megabytes of either.
        EXPECT_TRUE(answer == expected.out) << locale << ": the replaced texts differ";
    }
}

// Long values through all three ops, against the same request answered by a
// reference program (long_value_cases.txt says which).
struct LongValueRequest {
    std::string op, flags, pattern, replacement, text;
};

// One unit of each kind of character that R's reader could trip over; the
// second without line ends, so that a literal of it is one long line.
constexpr std::string_view UNIT = "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\"\\\r\n;xy";
constexpr std::string_view ONE_LINE_UNIT = "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\"\\;wxyz";

std::string repeated(std::string_view unit, std::size_t times) {
    std::string out;
    out.reserve(unit.size() * times);
    for (std::size_t i = 0; i < times; ++i) {
        out += unit;
    }
    return out;
}

// ${PAD} stands for 4096 a's; ${TEXT} for the text, quoted for a pattern
// (every ASCII character that is not a letter or digit behind a backslash) or
// for a replacement (backslashes doubled).
std::string expand(std::string field, const std::string& text, bool as_pattern) {
    for (std::size_t at; (at = field.find("${PAD}")) != std::string::npos;) {
        field.replace(at, 6, std::string(4096, 'a'));
    }
    const std::size_t at = field.find("${TEXT}");
    if (at == std::string::npos) {
        return field;
    }
    std::string quoted;
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (as_pattern ? (u < 0x80 && !std::isalnum(u)) : c == '\\') {
            quoted += '\\';
        }
        quoted += c;
    }
    return field.replace(at, 7, quoted);
}

bool generated_kind(const std::string& kind) {
    return kind == "boundary" || kind == "unbroken" || kind == "megabyte" || kind == "ascii" ||
           kind == "csv" || kind == "csource" || kind == "standins";
}

// A CSV export: a semicolon every few bytes, umlauts, line feeds and now and
// then a carriage return before one.
std::string csv_text() {
    constexpr std::string_view names[] = {"M\xc3\xbcller", "Wei\xc3\x9f",
                                          "Sch\xc3\xa4"
                                          "fer",
                                          "Bauer"};
    constexpr std::string_view streets[] = {
        "Stra\xc3\x9f"
        "e 5",
        "Am B\xc3\xbchl 7",
        "Hauptstra\xc3\x9f"
        "e 12"};
    constexpr std::string_view cities[] = {"80331;M\xc3\xbcnchen", "50667;K\xc3\xb6ln",
                                           "20095;Hamburg"};
    std::string text;
    for (int i = 1; text.size() < 60'000; ++i) {
        text += std::to_string(i) + ";" + std::string(names[i % 4]) + ";" +
                std::string(streets[i % 3]) + ";" + std::string(cities[i % 5 % 3]) + ";" +
                std::to_string(i % 9) + "." + std::to_string(10 + i % 89) + ";" +
                (i % 2 ? "ja" : "nein") + (i % 7 ? "\n" : "\r\n");
    }
    return text;
}

// C source: semicolons, tabs, string literals with escaped quotation marks
// and backslashes, comments.
std::string c_source_text() {
    std::string text = "#include <string.h>\n\n";
    for (int i = 0; text.size() < 60'000; ++i) {
        const std::string n = std::to_string(i);
        text += "static int f" + n + "(char *buf, int n) {\n\tif (n > " + n +
                ") { memcpy(buf, \"a;b\\\"c\\\\\", n); }\n\tfor (int i = 0; i < n; ++i) "
                "buf[i] ^= ';'; // \xe2\x82\xac;\n\treturn n;\n}\n";
    }
    return text;
}

std::vector<std::string> texts_of_kind(const std::string& kind) {
    if (kind == "boundary" || kind == "unbroken") {
        std::vector<std::string> texts;
        for (const auto& row : brindlecap::test::load_tab_rows(BOUNDARY_OFFSETS, 1)) {
            texts.push_back(std::string(std::stoul(row.fields[0]), 'a') +
                            repeated(kind == "boundary" ? UNIT : ONE_LINE_UNIT, 600));
        }
        return texts;
    }
    if (kind == "megabyte") {
        std::string text;
        for (int i = 0; text.size() < 1'000'000; ++i) {
            text += repeated(UNIT, 256) + "MARK" + std::to_string(i);
        }
        return {text};
    }
    if (kind == "csv") {
        return {csv_text()};
    }
    if (kind == "csource") {
        return {c_source_text()};
    }
    if (kind == "standins") {
        // Every byte that could stand in for a line end, so that the text
        // goes in as literal pieces.
        std::string text;
        for (char c = 1; c < 0x20; ++c) {
            if (c != '\t' && c != '\n' && c != '\r') {
                text += c;
            }
        }
        return {text + "\x7f" + repeated(UNIT, 600) + csv_text()};
    }
    if (kind == "ascii") {
        return {std::string(5000, 'x') + "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80;\"\\\n" +
                std::string(100, 'y')};
    }
    return {expand(kind, "", false)};
}

std::string request_line(const LongValueRequest& r) {
    brindlecap::Json request = {
        {"op", r.op}, {"flags", r.flags}, {"pattern", r.pattern}, {"text", r.text}};
    if (r.op == "replace") {
        request["replacement"] = r.replacement;
    }
    return brindlecap::write_json(request) + "\n";
}

std::string replaced(std::string_view text, std::string_view from, std::string_view to) {
    const std::size_t at = text.find(from);
    return std::string(text.substr(0, at)) + std::string(to) +
           std::string(text.substr(at + from.size()));
}

// The program with each value as one literal, only backslashes and quotation
// marks escaped.
std::string one_line_program(const LongValueRequest& r) {
    auto literal = [](std::string_view value) {
        std::string out = "\"";
        for (char c : value) {
            if (c == '\\' || c == '"') {
                out += '\\';
            }
            out += c;
        }
        return out + "\"";
    };
    const std::string ic(brindlecap::r::r_ignore_case_literal(r.flags));
    if (r.op == "test") {
        std::string program(brindlecap::r::match_script_template);
        program = replaced(program, "\"__P__\"", literal(r.pattern));
        program = replaced(program, "\"__T__\"", literal(r.text));
        return replaced(program, "__IC__", ic);
    }
    if (r.op == "replace") {
        return "cat(gsub(" + literal(r.pattern) + "," + literal(r.replacement) + "," +
               literal(r.text) + ",perl=TRUE,ignore.case=" + ic + "))\n";
    }
    return "cat(as.integer(grepl(" + literal(r.pattern) + "," + literal(r.text) +
           ",perl=TRUE,ignore.case=" + ic + ")))\n";
}

// The same computation on the values read from files.
std::string files_program(const LongValueRequest& r, const std::string& dir) {
    for (const auto& [name, value] :
         {std::pair<std::string, const std::string&>{"pattern", r.pattern},
          {"text", r.text},
          {"replacement", r.replacement}}) {
        std::ofstream(dir + "/" + name, std::ios::binary) << value;
    }
    const std::string ic(brindlecap::r::r_ignore_case_literal(r.flags));
    std::string program =
        "value <- function(name) {\n  f <- file.path(\"" + dir +
        "\", name)\n  if (file.size(f) == 0) \"\" else readChar(f, file.size(f), useBytes = "
        "TRUE)\n}\n"
        "p <- value(\"pattern\")\nt <- value(\"text\")\nr <- value(\"replacement\")\n";
    if (r.op == "test") {
        std::string_view rest = brindlecap::r::match_script_template;
        rest.remove_prefix(rest.find("m <- gregexpr"));
        return program + replaced(rest, "__IC__", ic);
    }
    if (r.op == "replace") {
        return program + "cat(gsub(p, r, t, perl = TRUE, ignore.case = " + ic + "))\n";
    }
    return program + "cat(as.integer(grepl(p, t, perl = TRUE, ignore.case = " + ic + ")))\n";
}

}  // namespace

namespace brindlecap::test {
// How gtest shows a row: its place.
inline void PrintTo(const TabRow& row, std::ostream* os) { *os << row.where; }
}  // namespace brindlecap::test

namespace {

// Each row in a UTF-8 locale, where R marks a non-ASCII literal UTF-8 and
// counts characters, and in the C locale, where it marks nothing and counts
// bytes.
class LongValues
    : public ::testing::TestWithParam<std::tuple<brindlecap::test::TabRow, std::string>> {};

TEST_P(LongValues, ReachRIntact) {
    const auto& [row, locale] = GetParam();
    const auto& f = row.fields;
    const bool from_files = f[5] == "files";
    std::vector<LongValueRequest> requests;
    brindlecap::test::RunOptions real;
    real.env_unset.push_back("BRINDLECAP_R_BIN");
    real.env_set = {{"LC_ALL", locale}};
    for (const std::string& text : texts_of_kind(f[4])) {
        requests.push_back({f[0], f[1], expand(f[2], text, true), expand(f[3], text, false), text});
        real.stdin_bytes += request_line(requests.back());
    }
    const auto answers = brindlecap::test::run_program(PROGRAM, real);
    EXPECT_EQ(answers.err, "");
    std::istringstream lines(answers.out);
    lay_out_fixtures(scratch.path());
    for (const LongValueRequest& request : requests) {
        const std::string program_path = scratch / "reference.R";
        std::ofstream(program_path, std::ios::binary)
            << (from_files ? files_program(request, scratch.path()) : one_line_program(request));
        brindlecap::test::RunOptions reference;
        reference.env_set = {{"BRINDLECAP_R_BIN", scratch / "r-on-file"},
                             {"REFERENCE_PROGRAM", program_path},
                             {"LC_ALL", locale}};
        reference.stdin_bytes = request_line(request);
        const auto expected = brindlecap::test::run_program(PROGRAM, reference);
        std::string answer;
        std::getline(lines, answer);
        EXPECT_EQ(answer + "\n", expected.out)
            << row.where << ": text of " << request.text.size() << " bytes";
        // Guards against two equal failures of the setup.
        EXPECT_EQ(answer.find(R"("status":"error")") == std::string::npos, from_files)
            << answer.substr(0, 300);
    }
}

INSTANTIATE_TEST_SUITE_P(
    File, LongValues,
    ::testing::Combine(::testing::ValuesIn(brindlecap::test::load_tab_rows(LONG_VALUE_CASES, 6)),
                       ::testing::Values("C.UTF-8", "C")),
    [](const ::testing::TestParamInfo<LongValues::ParamType>& info) {
        const auto& f = std::get<0>(info.param).fields;
        const std::string& locale = std::get<1>(info.param);
        return f[0] + "_" + (generated_kind(f[4]) ? f[4] : "given") + "_" + f[5] + "_" +
               (locale == "C" ? "C" : "UTF8") + "_" + std::to_string(info.index);
    });

}  // namespace
