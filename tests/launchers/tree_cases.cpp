// Runs the built launchers inside launcher trees laid out in temporary
// directories, as the cases of tree_cases.txt describe them, and the ladder
// cases made from the table of candidate places in places.txt.
//
// Each case is a harness case (see e2e.h) with tree directives mixed in:
//   each VALUE...           one case per value, with ${EACH} in the name and
//                           every line of the case replaced by it
//   launcher FLAVOUR        python, perl or php; copied to ${D}
//   launcher-dir NAME       the last part of ${D} (unescaped), "MacOS" by default
//   via-link                start the launcher through a symbolic link to it
//   as-nobody               start it as user 65534 (skipped unless root)
//   starter MODE            start it through starter.cpp in that MODE
//   exe PATH [MODE]         a copy of the probe interpreter (mode 0755)
//   file PATH FIXTURE [MODE] a copy of fixtures/FIXTURE (mode 0644)
//   link PATH TARGET        a symbolic link
//   dir PATH [MODE]         a directory
// PATH is relative to the launcher's directory ${D}, which is ${T}/a/b/MacOS,
// so "../../" is ${T}/a and "../../../" is ${T}. Missing parents are created.
#include "tests/support/e2e.h"
#include "tests/support/tables.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#if defined(__linux__)
#include <sys/ptrace.h>
#endif
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using brindlecap::test::Case;
using brindlecap::test::DataLine;

namespace {

struct TreeCase {
    std::string name;
    std::string file;
    int line = 0;
    std::vector<std::vector<std::string>> tree;  // directive words
    std::vector<DataLine> harness;               // everything else
};

std::vector<std::string> split_words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

bool is_tree_directive(const std::string& word) {
    static const char* const DIRECTIVES[] = {"launcher", "launcher-dir", "via-link", "as-nobody",
                                             "exe",      "file",         "link",     "dir",
                                             "starter",  "each"};
    for (const char* directive : DIRECTIVES) {
        if (word == directive) return true;
    }
    return false;
}

std::string replace_all(std::string text, const std::string& marker, const std::string& value) {
    for (std::size_t at = text.find(marker); at != std::string::npos;
         at = text.find(marker, at + value.size())) {
        text.replace(at, marker.size(), value);
    }
    return text;
}

// A case with an "each" directive becomes one case per value.
std::vector<TreeCase> expand_each(const TreeCase& tree_case) {
    std::vector<std::string> values;
    TreeCase shape = tree_case;
    shape.tree.clear();
    for (const std::vector<std::string>& words : tree_case.tree) {
        if (words[0] == "each") {
            values.insert(values.end(), words.begin() + 1, words.end());
        } else {
            shape.tree.push_back(words);
        }
    }
    if (values.empty()) return {tree_case};
    std::vector<TreeCase> cases;
    for (const std::string& value : values) {
        TreeCase c = shape;
        c.name = replace_all(c.name, "${EACH}", value);
        for (std::vector<std::string>& words : c.tree) {
            for (std::string& word : words) word = replace_all(word, "${EACH}", value);
        }
        for (DataLine& line : c.harness) line.text = replace_all(line.text, "${EACH}", value);
        cases.push_back(std::move(c));
    }
    return cases;
}

std::vector<TreeCase> load_tree_cases(const std::string& path) {
    std::vector<TreeCase> cases;
    for (brindlecap::test::BlockCase& block : brindlecap::test::load_block_cases(path)) {
        TreeCase c{std::move(block.name), path, block.line, {}, {}};
        for (DataLine& line : block.directives) {
            std::vector<std::string> words = split_words(line.text);
            if (!words.empty() && is_tree_directive(words[0])) {
                c.tree.push_back(std::move(words));
            } else {
                c.harness.push_back(std::move(line));
            }
        }
        cases.push_back(std::move(c));
    }
    std::vector<TreeCase> expanded;
    for (const TreeCase& c : cases) {
        for (TreeCase& one : expand_each(c)) expanded.push_back(std::move(one));
    }
    return expanded;
}

// One launcher's candidate places, in the order it tries them.
struct Places {
    std::string flavour;
    int line = 0;
    std::vector<std::string> interpreters;
    std::vector<std::string> scripts;
    std::vector<std::string> libraries;
};

std::vector<Places> load_places(const std::string& path) {
    std::vector<Places> table;
    for (const brindlecap::test::BlockCase& block : brindlecap::test::load_block_cases(path)) {
        Places& places = table.emplace_back(Places{block.name, block.line, {}, {}, {}});
        for (const DataLine& line : block.directives) {
            const std::vector<std::string> words = split_words(line.text);
            if (words.size() != 2) throw std::runtime_error(path + ": bad line " + line.text);
            if (words[0] == "interpreter") {
                places.interpreters.push_back(words[1]);
            } else if (words[0] == "script") {
                places.scripts.push_back(words[1]);
            } else if (words[0] == "library") {
                places.libraries.push_back(words[1]);
            } else {
                throw std::runtime_error(path + ": unknown kind of place " + words[0]);
            }
        }
    }
    return table;
}

// The interpreter's prefix: its path without "/bin/python3".
std::string python_prefix(const std::string& interpreter) {
    const std::string bin = "/bin/python3";
    if (!interpreter.ends_with(bin))
        throw std::runtime_error("not a python3 place: " + interpreter);
    return interpreter.substr(0, interpreter.size() - bin.size());
}

// Step k of each ladder: every place from the k-th on (the last where a list
// is shorter) is filled, and the k-th must win.
std::vector<TreeCase> ladder_cases(const std::string& path) {
    std::vector<TreeCase> cases;
    for (const Places& places : load_places(path)) {
        if (places.interpreters.empty() || places.scripts.empty()) {
            throw std::runtime_error(path + ": " + places.flavour +
                                     " needs interpreter and script places");
        }
        const bool python = places.flavour == "python";
        const bool library = !places.libraries.empty();
        const std::size_t steps =
            std::max({places.interpreters.size(), places.scripts.size(), places.libraries.size()});
        for (std::size_t k = 0; k < steps; ++k) {
            auto from = [k](const std::vector<std::string>& list) {
                return std::min(k, list.size() - 1);
            };
            const std::size_t interpreter = from(places.interpreters);
            const std::size_t script = from(places.scripts);
            TreeCase c;
            c.name = places.flavour + " places: interpreter " + std::to_string(interpreter + 1) +
                     ", script " + std::to_string(script + 1);
            c.file = path;
            c.line = places.line;
            auto add = [&c](std::string text) { c.harness.push_back({c.line, std::move(text)}); };
            c.tree.push_back({"launcher", places.flavour});
            add("unset PYTHONHOME");
            for (std::size_t i = interpreter; i < places.interpreters.size(); ++i) {
                c.tree.push_back({"exe", places.interpreters[i]});
                if (python)
                    c.tree.push_back({"dir", python_prefix(places.interpreters[i]) + "/lib"});
            }
            for (std::size_t i = script; i < places.scripts.size(); ++i) {
                const std::string& place = places.scripts[i];
                c.tree.push_back({"file", place, "engine" + place.substr(place.rfind('.'))});
            }
            add("< argv[0]=${D}/" + places.interpreters[interpreter]);
            std::size_t next_argument = 1;
            if (library) {
                const std::size_t lib = from(places.libraries);
                c.name += ", library " + std::to_string(lib + 1);
                for (std::size_t i = lib; i < places.libraries.size(); ++i) {
                    c.tree.push_back({"file", places.libraries[i] + "/strict.pm", "marker.pm"});
                }
                add("< argv[1]=-I${D}/" + places.libraries[lib] + "/ext_re");
                add("< argv[2]=-I${D}/" + places.libraries[lib]);
                next_argument = 3;
            }
            add("< argv[" + std::to_string(next_argument) + "]=${D}/" + places.scripts[script]);
            add(python ? "< PYTHONHOME=${D}/" + python_prefix(places.interpreters[interpreter])
                       : "< PYTHONHOME unset");
            cases.push_back(std::move(c));
        }
    }
    return cases;
}

std::vector<TreeCase> all_tree_cases() {
    std::vector<TreeCase> cases = load_tree_cases(CASES);
    for (TreeCase& c : ladder_cases(PLACES)) cases.push_back(std::move(c));
    return cases;
}

void place_copy(const std::string& from, const std::string& to, const std::string& mode) {
    fs::create_directories(fs::path(to).parent_path());
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
    chmod(to.c_str(), static_cast<mode_t>(std::stoul(mode, nullptr, 8)));
}

bool can_trace_a_child() {
#if !defined(__linux__)
    return false;
#else
    const pid_t child = fork();
    if (child < 0) return false;
    if (child == 0) _exit(ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) == 0 ? 0 : 1);
    int status = 0;
    return waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
#endif
}

// Test names carry the case; keep gtest from dumping the record's bytes.
void PrintTo(const TreeCase& tree_case, std::ostream* out) { *out << tree_case.name; }

class LauncherTrees : public ::testing::TestWithParam<TreeCase> {};

TEST_P(LauncherTrees, Case) {
    const TreeCase& tree_case = GetParam();
    SCOPED_TRACE(tree_case.file + ":" + std::to_string(tree_case.line) + ": " + tree_case.name);
    const brindlecap::test::TempDir root("brindlecap-launchers");
    // Another user must be able to walk the tree (as-nobody cases).
    fs::permissions(root.path(), fs::perms(0755));
    std::string d = root / "a/b/MacOS";
    for (const std::vector<std::string>& words : tree_case.tree) {
        if (words[0] == "launcher-dir" && words.size() > 1) {
            d = root / "a/b/" + brindlecap::test::unescape(words[1]);
        }
    }
    fs::create_directories(d);
    const std::map<std::string, std::string> variables = {
        {"T", root.path()},
        {"D", d},
        {"TRIPLE", BRINDLECAP_TARGET_TRIPLE},
        {"PROBE", PROBE},
        {"PYTHON", "/usr/bin/python3"},
        {"PERL", "/usr/bin/perl"},
        {"PHP", "/usr/bin/php"},
    };
    auto in_tree = [&](const std::string& relative) {
        return d + "/" + brindlecap::test::expand_variables(relative, variables);
    };

    std::string launcher;
    bool via_link = false;
    bool as_nobody = false;
    std::string starter_mode;
    for (const std::vector<std::string>& words : tree_case.tree) {
        const std::string& what = words[0];
        auto arg = [&](std::size_t i, const char* fallback = nullptr) -> std::string {
            if (i < words.size()) return words[i];
            if (fallback) return fallback;
            throw std::runtime_error(what + " needs more words");
        };
        if (what == "launcher") {
            const std::string name = "brindlecap-" + arg(1) + "-engine";
            launcher = d + "/" + name;
            place_copy(std::string(LAUNCHER_DIR) + "/" + name, launcher, "0755");
        } else if (what == "via-link") {
            via_link = true;
        } else if (what == "as-nobody") {
            as_nobody = true;
        } else if (what == "starter") {
            starter_mode = arg(1);
        } else if (what == "exe") {
            place_copy(PROBE, in_tree(arg(1)), arg(2, "0755"));
        } else if (what == "file") {
            place_copy(std::string(FIXTURES) + "/" + arg(2), in_tree(arg(1)), arg(3, "0644"));
        } else if (what == "link") {
            const std::string target = brindlecap::test::expand_variables(arg(2), variables);
            if (target.rfind("/usr/bin/", 0) == 0 && !fs::exists(target)) {
                GTEST_SKIP() << target << " is not installed";
            }
            const std::string at = in_tree(arg(1));
            fs::create_directories(fs::path(at).parent_path());
            fs::create_symlink(target, at);
        } else if (what == "dir") {
            const std::string at = in_tree(arg(1));
            fs::create_directories(at);
            chmod(at.c_str(), static_cast<mode_t>(std::stoul(arg(2, "0755"), nullptr, 8)));
        }
    }
    ASSERT_FALSE(launcher.empty()) << "a case needs a launcher line";

    Case c = brindlecap::test::case_from_block(
        {tree_case.name, tree_case.file, tree_case.line, tree_case.harness}, variables);

    std::string program = launcher;
    if (via_link) {
        program = root / "elsewhere/" + fs::path(launcher).filename().string();
        fs::create_directories(fs::path(program).parent_path());
        fs::create_symlink(launcher, program);
    }
    if (as_nobody) {
        if (geteuid() != 0 || !fs::exists("/usr/bin/setpriv")) {
            GTEST_SKIP() << "needs root and setpriv to start the launcher as another user";
        }
        c.options.args.insert(c.options.args.begin(),
                              {"--reuid=65534", "--regid=65534", "--clear-groups", "--", program});
        program = "/usr/bin/setpriv";
    }
    if (!starter_mode.empty()) {
        if (starter_mode == "remove-after-start" && !can_trace_a_child()) {
            GTEST_SKIP() << "ptrace is not allowed here";
        }
        c.options.args.insert(c.options.args.begin(), {starter_mode, program});
        program = STARTER;
    }
    brindlecap::test::expect_case(program, c);
}

INSTANTIATE_TEST_SUITE_P(File, LauncherTrees, ::testing::ValuesIn(all_tree_cases()),
                         [](const ::testing::TestParamInfo<TreeCase>& info) {
                             std::string name =
                                 brindlecap::test::case_test_name(info.param.line, info.param.name);
                             // Ladder cases take the line of their table in places.txt.
                             if (info.param.file == PLACES) name[0] = 'P';
                             return name;
                         });

}  // namespace
