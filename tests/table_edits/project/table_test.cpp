// One test per row of cases.txt, "NAME<TAB>pass" or "NAME<TAB>fail", named
// after the row as the suite's table tests are.
#include <gtest/gtest.h>

#include <fstream>
#include <ostream>
#include <string>
#include <vector>

namespace {

struct Row {
    std::string name;
    std::string outcome;
};

std::vector<Row> rows() {
    std::vector<Row> read;
    std::ifstream in(CASES);
    std::string line;
    while (std::getline(in, line)) {
        const std::size_t tab = line.find('\t');
        if (tab != std::string::npos) read.push_back({line.substr(0, tab), line.substr(tab + 1)});
    }
    return read;
}

void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

class Table : public ::testing::TestWithParam<Row> {};

TEST_P(Table, Row) { EXPECT_EQ(GetParam().outcome, "pass") << GetParam().name; }

INSTANTIATE_TEST_SUITE_P(File, Table, ::testing::ValuesIn(rows()),
                         [](const ::testing::TestParamInfo<Row>& info) { return info.param.name; });

}  // namespace
