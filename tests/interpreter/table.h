// The tab-separated tables under their former names, for the suites that
// still include this header; new code uses tests/support/tables.h.
#pragma once

#include "tests/support/tables.h"

#include <cstddef>
#include <string>
#include <vector>

namespace brindlecap::test {

using TableRow = TabRow;

inline std::vector<TableRow> load_table(const std::string& path, std::size_t field_count) {
    return load_tab_rows(path, field_count);
}

}  // namespace brindlecap::test
