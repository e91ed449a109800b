// Reads the JSON-lines tables of cases kept beside the tests: one JSON array
// per line, blank lines and lines starting with '#' skipped.
#pragma once

#include <nlohmann/json.hpp>

#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace brindlecap::shell::test {

struct TableRow {
    int line = 0;
    nlohmann::json fields;
};

inline std::vector<TableRow> load_table(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot open " + path);
    std::vector<TableRow> rows;
    std::string text;
    int number = 0;
    while (std::getline(in, text)) {
        ++number;
        if (text.empty() || text[0] == '#') continue;
        rows.push_back({number, nlohmann::json::parse(text)});
    }
    return rows;
}

}  // namespace brindlecap::shell::test
