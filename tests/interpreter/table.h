// Tables of cases kept in data files: one case per line, fields separated by
// tabs, each field unescaped as the end-to-end harness does (\t \n \xHH ...).
// Empty lines, lines that begin with "# " and a lone "#" are skipped.
#pragma once

#include "e2e.h"

#include <fstream>
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

}  // namespace brindlecap::test
