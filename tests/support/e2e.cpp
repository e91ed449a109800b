#include "e2e.h"

#include "base/descriptor.h"
#include "base/environment.h"
#include "base/os_error.h"

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <stdexcept>

namespace brindlecap::test {

namespace {

// A child that outlives this is stuck; the limit only keeps a broken build
// from hanging the suite.
constexpr auto CHILD_TIME_LIMIT = std::chrono::seconds(300);

// The caller's environment without the names to unset, then the settings.
std::vector<std::string> environment_for(const RunOptions& options) {
    std::vector<std::string> base = current_environment();
    std::erase_if(base, [&](const std::string& entry) {
        const std::string_view name = std::string_view(entry).substr(0, entry.find('='));
        return std::find(options.env_unset.begin(), options.env_unset.end(), name) !=
               options.env_unset.end();
    });
    return child_environment(base, options.env_set);
}

}  // namespace

RunResult run_program(const std::string& program, const RunOptions& options) {
    // Writing to a child that stopped reading must not kill the test.
    std::signal(SIGPIPE, SIG_IGN);

    Pipe in, out, err;
    for (Pipe* pipe : {&in, &out, &err}) {
        if (const int error = open_pipe(*pipe); error != 0)
            throw std::runtime_error("pipe failed: " + os_error_text(error));
    }
    std::vector<std::string> env_strings = environment_for(options);
    std::vector<char*> envp;
    for (auto& s : env_strings) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> arg_strings{program};
    arg_strings.insert(arg_strings.end(), options.args.begin(), options.args.end());
    std::vector<char*> argv;
    for (auto& s : arg_strings) argv.push_back(s.data());
    argv.push_back(nullptr);

    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        std::signal(SIGPIPE, SIG_DFL);
        dup2(in.read_end.get(), 0);
        dup2(out.write_end.get(), 1);
        dup2(err.write_end.get(), 2);
        for (int fd = 0; fd <= 2; ++fd)
            if (options.close_fd[fd]) close(fd);
        if (!options.working_directory.empty() && chdir(options.working_directory.c_str()) != 0)
            _exit(126);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(125);
    }
    in.read_end.reset();
    out.write_end.reset();
    err.write_end.reset();
    if (options.reader_closed) out.read_end.reset();

    RunResult result;
    std::string_view pending = options.stdin_bytes;
    if (pending.empty() || options.close_fd[0]) in.write_end.reset();
    if (in.write_end.is_open()) set_non_blocking(in.write_end.get());

    const auto deadline = std::chrono::steady_clock::now() + CHILD_TIME_LIMIT;
    bool timed_out = false;
    while (in.write_end.is_open() || out.read_end.is_open() || err.read_end.is_open()) {
        std::vector<pollfd> fds;
        if (in.write_end.is_open()) fds.push_back({in.write_end.get(), POLLOUT, 0});
        if (out.read_end.is_open()) fds.push_back({out.read_end.get(), POLLIN, 0});
        if (err.read_end.is_open()) fds.push_back({err.read_end.get(), POLLIN, 0});
        const int ready = poll(fds.data(), fds.size(), 1000);
        if (ready < 0 && errno != EINTR) break;
        if (std::chrono::steady_clock::now() > deadline) {
            timed_out = true;
            kill(pid, SIGKILL);
            break;
        }
        for (const pollfd& p : fds) {
            if (!p.revents) continue;
            if (p.fd == in.write_end.get()) {
                const ssize_t put =
                    write(p.fd, pending.data(), std::min<std::size_t>(pending.size(), 65536));
                if (put > 0) pending.remove_prefix(static_cast<std::size_t>(put));
                if ((put < 0 && errno != EAGAIN && errno != EINTR) || pending.empty())
                    in.write_end.reset();
            } else {
                char buffer[65536];
                const ssize_t got = read(p.fd, buffer, sizeof buffer);
                OwnedFd& source = p.fd == out.read_end.get() ? out.read_end : err.read_end;
                std::string& sink = &source == &out.read_end ? result.out : result.err;
                if (got > 0) {
                    sink.append(buffer, static_cast<std::size_t>(got));
                } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
                    source.reset();
                }
            }
        }
    }

    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.term_signal = WTERMSIG(status);
    if (timed_out) result.err += "\n[test harness: child killed after the time limit]\n";
    return result;
}

Case case_from_block(const BlockCase& block, const std::map<std::string, std::string>& variables) {
    Case c;
    c.name = expand_variables(block.name, variables);
    c.file = block.file;
    c.line = block.line;
    for (const DataLine& directive : block.directives) {
        auto fail = [&](const std::string& why) {
            throw std::runtime_error(where(block.file, directive.line) + ": " + why);
        };
        const auto [word, raw_value] = split_directive(directive.text);
        const std::string value = expand_variables(raw_value, variables);
        if (word == ">") {
            c.options.stdin_bytes += value + "\n";
        } else if (word == ">>") {
            c.options.stdin_bytes += unescape(value);
        } else if (word == "<") {
            c.expected_out += value + "\n";
        } else if (word == "<<") {
            c.expected_out += unescape(value);
        } else if (word == "!") {
            c.expected_err += value + "\n";
        } else if (word == "stderr-any") {
            c.check_err = false;
        } else if (word == "env") {
            const std::size_t eq = value.find('=');
            if (eq == std::string::npos) fail("env needs NAME=VALUE");
            c.options.env_set.emplace_back(value.substr(0, eq), unescape(value.substr(eq + 1)));
        } else if (word == "unset") {
            c.options.env_unset.push_back(value);
        } else if (word == "arg") {
            c.options.args.push_back(unescape(value));
        } else if (word == "close") {
            const int fd = std::stoi(value);
            if (fd < 0 || fd > 2) fail("close takes 0, 1 or 2");
            c.options.close_fd[fd] = true;
        } else if (word == "reader-closed") {
            c.options.reader_closed = true;
        } else if (word == "status") {
            c.expected_status = std::stoi(value);
        } else if (word == "signal") {
            c.expected_signal = std::stoi(value);
        } else {
            fail("unknown directive '" + word + "'");
        }
    }
    return c;
}

std::vector<Case> load_cases(const std::string& path,
                             const std::map<std::string, std::string>& variables) {
    std::vector<Case> cases;
    for (const BlockCase& block : load_block_cases(path))
        cases.push_back(case_from_block(block, variables));
    return cases;
}

void expect_case(const std::string& program, const Case& c) {
    SCOPED_TRACE(c.file + ":" + std::to_string(c.line) + ": " + c.name);
    const RunResult result = run_program(program, c.options);
    EXPECT_EQ(result.out, c.expected_out);
    if (c.check_err) {
        EXPECT_EQ(result.err, c.expected_err);
    }
    if (c.expected_signal != 0) {
        EXPECT_EQ(result.term_signal, c.expected_signal);
    } else {
        EXPECT_EQ(result.term_signal, 0) << "stderr: " << result.err;
        EXPECT_EQ(result.exit_status, c.expected_status);
    }
}

std::string case_test_name(const Case& c) { return case_test_name(c.line, c.name); }

}  // namespace brindlecap::test
