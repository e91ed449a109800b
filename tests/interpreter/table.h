// Tables of cases kept in data files: one case per line, fields separated by
// tabs, each field unescaped as the end-to-end harness does (\t \n \xHH ...).
// Empty lines, lines that begin with "# " and a lone "#" are skipped.
#pragma once

#include "e2e.h"

#include <cctype>
#include <fstream>
#include <map>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace brindlecap::test {

struct TableRow {
    std::string where;  // file:line, for failure messages
    std::vector<std::string> fields;
};

inline std::vector<TableRow> load_table(const std::string& path, std::size_t field_count) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw std::runtime_error("cannot open table " + path);
    }
    std::vector<TableRow> rows;
    std::string raw;
    int number = 0;
    while (std::getline(file, raw)) {
        ++number;
        if (raw.empty() || raw == "#" || raw.starts_with("# ")) {
            continue;
        }
        TableRow row{path + ":" + std::to_string(number), {}};
        std::size_t start = 0;
        while (true) {
            std::size_t tab = raw.find('\t', start);
            row.fields.push_back(unescape(raw.substr(start, tab - start)));
            if (tab == std::string::npos) {
                break;
            }
            start = tab + 1;
        }
        if (row.fields.size() != field_count) {
            throw std::runtime_error(row.where + ": expected " + std::to_string(field_count) + " fields");
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

// Case files of blocks: "=== NAME" starts a case; every later line that is
// not empty and does not begin with "#" is one of its directives, as written.
struct BlockCase {
    std::string name;
    std::string where;  // file:line of the "===" line
    int line = 0;
    std::vector<std::string> directives;
};

inline std::vector<BlockCase> load_block_cases(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw std::runtime_error("cannot open case file " + path);
    }
    std::vector<BlockCase> cases;
    std::string raw;
    int number = 0;
    while (std::getline(file, raw)) {
        ++number;
        if (raw.empty() || raw[0] == '#') {
            continue;
        }
        if (raw.starts_with("=== ")) {
            cases.push_back({raw.substr(4), path + ":" + std::to_string(number), number, {}});
        } else if (cases.empty()) {
            throw std::runtime_error(path + ":" + std::to_string(number) + ": directive before any case");
        } else {
            cases.back().directives.push_back(raw);
        }
    }
    return cases;
}

// How gtest shows a block case: its place and name.
inline void PrintTo(const BlockCase& c, std::ostream* os) { *os << c.where << ": " << c.name; }

// A gtest-safe test name for a block case.
inline std::string block_case_test_name(const BlockCase& c) {
    std::string name;
    for (char ch : c.name) {
        name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
    }
    return name + "_" + std::to_string(c.line);
}

// Each ${NAME} of `variables` replaced by its value, then the escapes undone.
inline std::string expand_case_text(const std::string& text,
                                    const std::map<std::string, std::string>& variables) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        bool replaced = false;
        for (const auto& [name, value] : variables) {
            const std::string token = "${" + name + "}";
            if (text.compare(i, token.size(), token) == 0) {
                out += value;
                i += token.size();
                replaced = true;
                break;
            }
        }
        if (!replaced) {
            out += text[i++];
        }
    }
    return unescape(out);
}

}  // namespace brindlecap::test
