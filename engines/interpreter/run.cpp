// The child runner and the two engine runners on top of it.
#include "run.h"

#include "texts.h"

#include "base/descriptor.h"
#include "base/os_error.h"
#include "base/spawn_attributes.h"
#include "base/utf8.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>

extern char** environ;

namespace brindlecap::interpreter {

namespace {

void make_non_blocking(const OwnedFd& fd) {
    if (set_non_blocking(fd.get()) != 0) {
        std::abort();  // cannot fail on a pipe we own
    }
}

// File actions, destroyed only when their init succeeded.
class SpawnActions {
public:
    SpawnActions() : error_(::posix_spawn_file_actions_init(&actions_)) {}
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
    ~SpawnActions() {
        if (error_ == 0) {
            ::posix_spawn_file_actions_destroy(&actions_);
        }
    }
    int init_error() const { return error_; }
    posix_spawn_file_actions_t* get() { return &actions_; }

private:
    posix_spawn_file_actions_t actions_{};
    int error_;
};

// The child starts with SIGPIPE at its default although the engine ignores it.
std::optional<int> spawn_child(const std::string& program,
                               const std::vector<std::string>& arguments, Pipe pipes[3],
                               pid_t& child) {
    SpawnActions actions;
    if (actions.init_error() != 0) {
        return actions.init_error();
    }
    const int child_ends[3] = {pipes[0].read_end.get(), pipes[1].write_end.get(),
                               pipes[2].write_end.get()};
    for (int target = 0; target < 3; ++target) {
        if (int error =
                ::posix_spawn_file_actions_adddup2(actions.get(), child_ends[target], target);
            error != 0) {
            return error;
        }
    }
    const SigpipeDefaultAttributes attributes;
    if (attributes.error() != 0) {
        return attributes.error();
    }

    std::vector<char*> argv;
    argv.reserve(arguments.size() + 2);
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    if (int error = ::posix_spawnp(&child, program.c_str(), actions.get(), attributes.get(),
                                   argv.data(), environ);
        error != 0) {
        return error;
    }
    return std::nullopt;
}

// Reads what is available now; false at end of stream.
bool drain(int fd, std::string& buffer) {
    char chunk[65536];
    while (true) {
        ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got > 0) {
            buffer.append(chunk, static_cast<std::size_t>(got));
            continue;
        }
        if (got == 0) {
            return false;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return true;
        }
        std::abort();  // working pipes do not fail to read
    }
}

// Serves the child's input and both outputs together through poll, so that
// no stream can fill up and stall the child while the engine waits on another.
void exchange(OwnedFd& input, const std::vector<std::string>& pieces, OwnedFd& out, OwnedFd& err,
              ChildOutput& output) {
    std::size_t piece = 0;
    std::size_t offset = 0;
    auto skip_empty_pieces = [&] {
        while (piece < pieces.size() && offset >= pieces[piece].size()) {
            ++piece;
            offset = 0;
        }
    };
    skip_empty_pieces();
    if (piece == pieces.size()) {
        input.reset();
    } else {
        make_non_blocking(input);
    }
    make_non_blocking(out);
    make_non_blocking(err);

    while (input.is_open() || out.is_open() || err.is_open()) {
        pollfd fds[3];
        nfds_t count = 0;
        OwnedFd* owners[3];
        if (input.is_open()) {
            fds[count] = {input.get(), POLLOUT, 0};
            owners[count++] = &input;
        }
        if (out.is_open()) {
            fds[count] = {out.get(), POLLIN, 0};
            owners[count++] = &out;
        }
        if (err.is_open()) {
            fds[count] = {err.get(), POLLIN, 0};
            owners[count++] = &err;
        }
        if (::poll(fds, count, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            std::abort();
        }
        for (nfds_t i = 0; i < count; ++i) {
            if (fds[i].revents == 0) {
                continue;
            }
            OwnedFd& owner = *owners[i];
            if (&owner == &input) {
                // A refused write (the child ended or closed its input) drops
                // the rest of that piece; the next piece is still tried.
                while (piece < pieces.size()) {
                    const std::string& text = pieces[piece];
                    ssize_t wrote =
                        ::write(input.get(), text.data() + offset, text.size() - offset);
                    if (wrote >= 0) {
                        offset += static_cast<std::size_t>(wrote);
                        skip_empty_pieces();
                        continue;
                    }
                    if (errno == EINTR) {
                        continue;
                    }
                    if (errno == EAGAIN || errno == EWOULDBLOCK) {
                        break;
                    }
                    offset = text.size();
                    skip_empty_pieces();
                }
                if (piece == pieces.size()) {
                    input.reset();
                }
            } else if (!drain(owner.get(),
                              &owner == &out ? output.stdout_bytes : output.stderr_bytes)) {
                owner.reset();
            }
        }
    }
}

// A host may start the engine with SIGCHLD ignored, and the engine inherits
// that: the system then reaps every child itself and waitpid can never report
// one. Children must stay waitable, so the default comes back.
void keep_children_waitable() {
    struct sigaction current {};
    if (::sigaction(SIGCHLD, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) {
        ::signal(SIGCHLD, SIG_DFL);
    }
}

}  // namespace

std::variant<ChildOutput, RunFailure> run_interpreter(const std::string& program,
                                                      const std::vector<std::string>& arguments,
                                                      const std::vector<std::string>& input) {
    keep_children_waitable();
    Pipe pipes[3];
    for (Pipe& p : pipes) {
        if (int error = open_pipe(p); error != 0) {
            return RunFailure{RunFailureKind::start, error};
        }
    }
    pid_t child = -1;
    if (std::optional<int> error = spawn_child(program, arguments, pipes, child)) {
        return RunFailure{RunFailureKind::start, *error};
    }
    pipes[0].read_end.reset();
    pipes[1].write_end.reset();
    pipes[2].write_end.reset();

    ChildOutput output;
    exchange(pipes[0].write_end, input, pipes[1].read_end, pipes[2].read_end, output);

    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            return RunFailure{RunFailureKind::wait, errno};
        }
    }
    output.wait_status = status;
    return output;
}

std::variant<std::string, ErrorText> run_rscript_with(const InterpreterPath& path,
                                                      std::string_view program) {
    if (!path) {
        return ErrorText{std::string(RSCRIPT_SPEC.not_found_message)};
    }
    auto run = run_interpreter(*path, {"--no-save", "--no-restore", "--no-echo", "-"},
                               {std::string(program), "\n"});
    if (const RunFailure* failure = std::get_if<RunFailure>(&run)) {
        std::string prefix = failure->kind == RunFailureKind::start ? "failed to run Rscript: "
                                                                    : "failed to wait on Rscript: ";
        return ErrorText{prefix + os_error_text(failure->error_number)};
    }
    ChildOutput& output = std::get<ChildOutput>(run);
    if (!WIFEXITED(output.wait_status) || WEXITSTATUS(output.wait_status) != 0) {
        return ErrorText{rscript_failure_message(output)};
    }
    if (std::string fault = utf8_error_text(output.stdout_bytes); !fault.empty()) {
        return ErrorText{"non-UTF8 R output: " + fault};
    }
    return std::move(output.stdout_bytes);
}

std::variant<std::string, ErrorText> run_rscript(std::string_view program) {
    return run_rscript_with(rscript_path(), program);
}

std::variant<DartOutput, ErrorText> run_dart_with(const InterpreterPath& path,
                                                  std::string_view dart_script_path,
                                                  std::string_view input) {
    if (!path) {
        return ErrorText{std::string(DART_SPEC.not_found_message)};
    }
    auto run = run_interpreter(*path, {std::string(dart_script_path)}, {std::string(input)});
    if (const RunFailure* failure = std::get_if<RunFailure>(&run)) {
        // A failed wait on the dart child, then the system error. Hosts know
        // the Dart engine's text, so it is not worded as the Rscript one.
        std::string prefix = failure->kind == RunFailureKind::start ? "failed to spawn dart: "
                                                                    : "wait_with_output failed: ";
        return ErrorText{prefix + os_error_text(failure->error_number)};
    }
    const ChildOutput& output = std::get<ChildOutput>(run);
    if (!WIFEXITED(output.wait_status) || WEXITSTATUS(output.wait_status) != 0) {
        std::string errors = decode_with_replacement(output.stderr_bytes);
        if (std::string_view message = trim_white_space(errors); !message.empty()) {
            return ErrorText{std::string(message)};
        }
        return ErrorText{"dart exited with status " + exit_status_text(output.wait_status)};
    }
    return DartOutput{decode_with_replacement(output.stdout_bytes),
                      decode_with_replacement(output.stderr_bytes)};
}

std::variant<DartOutput, ErrorText> run_dart(std::string_view dart_script_path,
                                             std::string_view input) {
    return run_dart_with(dart_path(), dart_script_path, input);
}

}  // namespace brindlecap::interpreter
