#include "tables.h"

#include <cctype>
#include <fstream>
#include <stdexcept>
#include <utility>

namespace brindlecap::test {

std::vector<DataLine> read_data_lines(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) throw std::runtime_error("cannot open " + path);
    std::vector<DataLine> lines;
    std::string text;
    for (int number = 1; std::getline(file, text); ++number) {
        // "#x" is data: some tables hold texts that begin with '#'.
        if (text.empty() || text == "#" || text.starts_with("# ")) continue;
        lines.push_back({number, std::move(text)});
    }
    if (lines.empty()) throw std::runtime_error(path + " holds no cases");
    return lines;
}

std::string unescape(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const char c = text[++i];
        switch (c) {
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case '0': out += '\0'; break;
            case '\\': out += '\\'; break;
            case 'x':
                if (i + 2 < text.size()) {
                    out += static_cast<char>(
                        std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
                    i += 2;
                }
                break;
            default: out += '\\'; out += c;
        }
    }
    return out;
}

std::string expand_variables(std::string_view text,
                             const std::map<std::string, std::string>& variables) {
    std::string out;
    std::size_t i = 0;
    while (i < text.size()) {
        if (text.compare(i, 2, "${") == 0) {
            const std::size_t close = text.find('}', i + 2);
            if (close != std::string_view::npos) {
                const std::string name(text.substr(i + 2, close - i - 2));
                const auto found = variables.find(name);
                if (found == variables.end()) {
                    throw std::runtime_error("unknown variable ${" + name + "}");
                }
                out += found->second;
                i = close + 1;
                continue;
            }
        }
        out += text[i++];
    }
    return out;
}

std::vector<JsonRow> load_json_rows(const std::string& path) {
    std::vector<JsonRow> rows;
    for (const DataLine& line : read_data_lines(path)) {
        rows.push_back({line.line, nlohmann::json::parse(line.text)});
        if (!rows.back().fields.is_array()) {
            throw std::runtime_error(where(path, line.line) + ": a row is a JSON array");
        }
    }
    return rows;
}

nlohmann::json load_json_document(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) throw std::runtime_error("cannot open " + path);
    return nlohmann::json::parse(file);
}

std::vector<TabRow> load_tab_rows(const std::string& path, std::optional<std::size_t> field_count) {
    std::vector<TabRow> rows;
    for (const DataLine& line : read_data_lines(path)) {
        TabRow row{where(path, line.line), line.line, {}};
        const std::string_view text = line.text;
        std::size_t start = 0;
        while (true) {
            const std::size_t tab = text.find('\t', start);
            row.fields.push_back(unescape(text.substr(start, tab - start)));
            if (tab == std::string_view::npos) break;
            start = tab + 1;
        }
        if (field_count && row.fields.size() != *field_count) {
            throw std::runtime_error(row.where + ": expected " + std::to_string(*field_count) +
                                     " fields");
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

std::vector<BlockCase> load_block_cases(const std::string& path) {
    std::vector<BlockCase> cases;
    for (DataLine& line : read_data_lines(path)) {
        if (line.text == "===" || line.text.starts_with("=== ")) {
            cases.push_back({line.text.size() > 4 ? line.text.substr(4) : "", path, line.line, {}});
        } else if (cases.empty()) {
            throw std::runtime_error(where(path, line.line) + ": directive before the first case");
        } else {
            cases.back().directives.push_back(std::move(line));
        }
    }
    return cases;
}

Directive split_directive(const std::string& text) {
    const std::size_t space = text.find(' ');
    if (space == std::string::npos) return {text, ""};
    return {text.substr(0, space), text.substr(space + 1)};
}

std::string where(const std::string& file, int line) { return file + ":" + std::to_string(line); }

std::string case_test_name(int line, std::string_view name) {
    std::string out = "L" + std::to_string(line) + "_";
    for (char ch : name) out += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
    return out;
}

}  // namespace brindlecap::test
