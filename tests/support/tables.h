// Reads the data files that hold tables of test cases. Every format shares
// the same lines: empty lines, "#" alone and lines that begin with "# " are
// skipped; any other line that begins with '#' is data.
//   JSON-lines rows   one JSON array per line
//   a JSON document   the whole file one JSON value (no comments, read as is)
//   tab-separated     fields split at tabs, each unescaped (see unescape)
//   block cases       "=== NAME" starts a case; every later line is one of
//                     its directives, as written
// A file that cannot be read, or holds no row or case, is an error.
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace brindlecap::test {

// One line of a data file that is neither empty nor a comment.
struct DataLine {
    int line = 0;
    std::string text;
};

std::vector<DataLine> read_data_lines(const std::string& path);

// The harness escapes undone: \n \r \t \0 \\ and \xHH; any other backslash
// stays as written.
std::string unescape(std::string_view text);

// ${NAME} replaced by the value of NAME; a name not among the variables is
// an error.
std::string expand_variables(std::string_view text,
                             const std::map<std::string, std::string>& variables);

struct JsonRow {
    int line = 0;
    nlohmann::json fields;
};

std::vector<JsonRow> load_json_rows(const std::string& path);

nlohmann::json load_json_document(const std::string& path);

struct TabRow {
    std::string where;  // file:line, for failure messages
    int line = 0;
    std::vector<std::string> fields;
};

// With a field count, a row of any other count is an error.
std::vector<TabRow> load_tab_rows(const std::string& path,
                                  std::optional<std::size_t> field_count = std::nullopt);

struct BlockCase {
    std::string name;
    std::string file;
    int line = 0;  // of the "===" line
    std::vector<DataLine> directives;
};

std::vector<BlockCase> load_block_cases(const std::string& path);

// A directive split into its first word and the rest after one space.
struct Directive {
    std::string word;
    std::string value;
};

Directive split_directive(const std::string& text);

// The place of a case or row, file:line, for failure messages.
std::string where(const std::string& file, int line);

// A gtest-safe test name for the case at `line` named `name`.
std::string case_test_name(int line, std::string_view name);

// How gtest shows a block case: its place and name rather than its bytes.
inline void PrintTo(const BlockCase& c, std::ostream* os) {
    *os << c.file << ":" << c.line << ": " << c.name;
}

}  // namespace brindlecap::test
