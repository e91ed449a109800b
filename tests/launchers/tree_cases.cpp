// Runs the built launchers inside launcher trees laid out in temporary
// directories, as the cases of tree_cases.txt describe them.
//
// Each case is a harness case (see e2e.h) with tree directives mixed in:
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
#include "e2e.h"

#include <gtest/gtest.h>

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

namespace {

struct TreeCase {
    std::string name;
    int line = 0;
    std::vector<std::vector<std::string>> tree;  // directive words
    std::string harness_text;                     // everything else
};

std::vector<std::string> split_words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

bool is_tree_directive(const std::string& word) {
    static const char* const directives[] = {"launcher", "launcher-dir", "via-link", "as-nobody",
                                              "exe",      "file",         "link",     "dir",
                                              "starter"};
    for (const char* directive : directives) {
        if (word == directive) return true;
    }
    return false;
}

std::vector<TreeCase> load_tree_cases(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) throw std::runtime_error("cannot open " + path);
    std::vector<TreeCase> cases;
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
        if (line.empty() || line[0] == '#') continue;
        if (line.rfind("=== ", 0) == 0) {
            cases.push_back({line.substr(4), number, {}, {}});
            continue;
        }
        if (cases.empty()) throw std::runtime_error(path + ": directive before the first case");
        const std::vector<std::string> words = split_words(line);
        if (!words.empty() && is_tree_directive(words[0])) {
            cases.back().tree.push_back(words);
        } else {
            cases.back().harness_text += line + "\n";
        }
    }
    return cases;
}

std::string expand(std::string text, const std::map<std::string, std::string>& variables) {
    for (const auto& [name, value] : variables) {
        const std::string marker = "${" + name + "}";
        for (std::size_t at = text.find(marker); at != std::string::npos;
             at = text.find(marker, at + value.size())) {
            text.replace(at, marker.size(), value);
        }
    }
    return text;
}

struct TemporaryRoot {
    std::string path;
    TemporaryRoot() {
        std::string pattern = (fs::temp_directory_path() / "brindlecap-launchers-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        // Another user must be able to walk the tree (as-nobody cases).
        chmod(pattern.c_str(), 0755);
        path = fs::canonical(pattern).string();
    }
    ~TemporaryRoot() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
};

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
    SCOPED_TRACE(std::string(CASES) + ":" + std::to_string(tree_case.line) + ": " + tree_case.name);
    TemporaryRoot root;
    std::string d = root.path + "/a/b/MacOS";
    for (const std::vector<std::string>& words : tree_case.tree) {
        if (words[0] == "launcher-dir" && words.size() > 1) {
            d = root.path + "/a/b/" + brindlecap::test::unescape(words[1]);
        }
    }
    fs::create_directories(d);
    const std::map<std::string, std::string> variables = {
        {"T", root.path}, {"D", d}, {"TRIPLE", BRINDLECAP_TARGET_TRIPLE}, {"PROBE", PROBE},
        {"PYTHON", "/usr/bin/python3"}, {"PERL", "/usr/bin/perl"}, {"PHP", "/usr/bin/php"},
    };
    auto in_tree = [&](const std::string& relative) { return d + "/" + expand(relative, variables); };

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
            const std::string target = expand(arg(2), variables);
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

    const std::string harness_file = root.path + "/case.txt";
    {
        std::ofstream out(harness_file, std::ios::binary);
        out << "=== " << tree_case.name << "\n" << tree_case.harness_text;
    }
    std::vector<Case> cases = brindlecap::test::load_cases(harness_file, variables);
    ASSERT_EQ(cases.size(), 1u);
    Case& c = cases.front();

    std::string program = launcher;
    if (via_link) {
        program = root.path + "/elsewhere/" + fs::path(launcher).filename().string();
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

INSTANTIATE_TEST_SUITE_P(File, LauncherTrees, ::testing::ValuesIn(load_tree_cases(CASES)),
                         [](const ::testing::TestParamInfo<TreeCase>& info) {
                             std::string name = "L" + std::to_string(info.param.line) + "_";
                             for (char ch : info.param.name) {
                                 name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
                             }
                             return name;
                         });

}  // namespace
