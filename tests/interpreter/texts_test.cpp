// Pure text helpers of the interpreter runner, each checked against a table.
#include "fixture.h"

#include "engines/interpreter/texts.h"
#include "tests/support/tables.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

namespace {

using brindlecap::test::load_tab_rows;

std::string table(const char* name) { return std::string(TABLES) + "/" + name; }

TEST(TrimWhiteSpace, RemovesUnicodeWhiteSpaceAtBothEndsOnly) {
    for (const auto& row : load_tab_rows(table("trim_cases.txt"), 2)) {
        EXPECT_EQ(brindlecap::interpreter::trim_white_space(row.fields[0]), row.fields[1])
            << row.where;
    }
}

TEST(Utf8ErrorText, NamesTheFirstFault) {
    for (const auto& row : load_tab_rows(table("utf8_error_cases.txt"), 2)) {
        EXPECT_EQ(brindlecap::interpreter::utf8_error_text(row.fields[0]), row.fields[1])
            << row.where;
    }
}

TEST(ExpandTildeEntry, RebuildsOnlyALeadingTildeComponentOnHome) {
    for (const auto& row : load_tab_rows(table("tilde_cases.txt"), 3)) {
        brindlecap::test::EnvGuard env;
        if (row.fields[1] == "(unset)") {
            env.unset("HOME");
        } else {
            env.set("HOME", row.fields[1]);
        }
        EXPECT_EQ(brindlecap::interpreter::expand_tilde_entry(row.fields[0]), row.fields[2])
            << row.where;
    }
}

TEST(ExitStatusText, DescribesExitsSignalsAndCoreDumps) {
    for (const auto& row : load_tab_rows(table("status_cases.txt"), 3)) {
        const int number = std::stoi(row.fields[1]);
        int status = 0;
        if (row.fields[0] == "exit") {
            status = W_EXITCODE(number, 0);
        } else if (row.fields[0] == "signal") {
            status = W_EXITCODE(0, number);
        } else {
            status = W_EXITCODE(0, number) | WCOREFLAG;
        }
        EXPECT_EQ(brindlecap::interpreter::exit_status_text(status), row.fields[2]) << row.where;
    }
}

#ifdef __linux__
// The name must match the signal that was received, by this platform's numbers.
TEST(SignalName, UsesThePlatformsOwnNumbering) {
    for (const auto& row : load_tab_rows(table("signal_names_linux.txt"), 2)) {
        EXPECT_EQ(brindlecap::interpreter::signal_name(std::stoi(row.fields[0])), row.fields[1])
            << row.where;
    }
    EXPECT_EQ(brindlecap::interpreter::signal_name(0), "");
    EXPECT_EQ(brindlecap::interpreter::signal_name(32), "");
}
#endif

}  // namespace
