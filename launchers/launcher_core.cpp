#include "launcher_core.h"

#include "self_path.h"

#include "base/descriptor.h"
#include "base/environment.h"
#include "base/os_error.h"
#include "base/paths.h"
#include "base/process_start.h"
#include "base/spawn_attributes.h"
#include "base/utf8.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>

extern char** environ;

namespace brindlecap::launcher {

namespace {

// Drops trailing "/" separators and non-leading "." parts, which are not
// components.
std::string_view strip_tail(std::string_view path) {
    while (!path.empty()) {
        if (path.back() == '/') {
            path.remove_suffix(1);
        } else if (path.size() >= 2 && path.ends_with("/.")) {
            path.remove_suffix(1);
        } else {
            break;
        }
    }
    return path;
}

std::vector<char*> pointer_array(const std::vector<std::string>& items) {
    std::vector<char*> pointers;
    pointers.reserve(items.size() + 1);
    for (const std::string& item : items) pointers.push_back(const_cast<char*>(item.c_str()));
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace

std::string candidate_path(std::string_view launcher_dir, const PathPieces& pieces) {
    std::string path(launcher_dir);
    for (const std::string& piece : pieces) path = join_path(path, piece);
    return path;
}

std::optional<std::string> parent_dir(std::string_view path) {
    if (path.empty()) return std::nullopt;
    const bool absolute = path.front() == '/';
    const std::string_view trimmed = strip_tail(path);
    if (trimmed.empty()) return std::nullopt;  // the root alone
    const std::size_t slash = trimmed.rfind('/');
    if (slash == std::string_view::npos) return std::string();
    const std::string_view rest = strip_tail(trimmed.substr(0, slash + 1));
    if (rest.empty()) return std::string(absolute ? "/" : "");
    return std::string(rest);
}

std::optional<std::string> last_component(std::string_view path) {
    const std::string_view trimmed = strip_tail(path);
    if (trimmed.empty()) return std::nullopt;
    const std::size_t slash = trimmed.rfind('/');
    return std::string(slash == std::string_view::npos ? trimmed : trimmed.substr(slash + 1));
}

bool passes_interpreter_test(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) return false;
    return (info.st_mode & S_IFMT) == S_IFREG && (info.st_mode & 0111) != 0;
}

bool passes_script_test(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) return false;
    return (info.st_mode & S_IFMT) == S_IFREG;
}

std::optional<std::string> find_interpreter(std::string_view launcher_dir,
                                            std::span<const PathPieces> candidates) {
    for (const PathPieces& pieces : candidates) {
        std::string path = candidate_path(launcher_dir, pieces);
        if (passes_interpreter_test(path)) return path;
    }
    return std::nullopt;
}

std::optional<std::string> find_engine_script(std::string_view launcher_dir,
                                              std::span<const PathPieces> script_dirs,
                                              std::string_view script_name) {
    for (const PathPieces& pieces : script_dirs) {
        std::string path = join_path(candidate_path(launcher_dir, pieces), script_name);
        if (passes_script_test(path)) return path;
    }
    return std::nullopt;
}

std::string resolve_real_path(const std::string& raw_path) {
    // A launcher removed after its start still knows where it was.
    char* resolved = realpath(raw_path.c_str(), nullptr);
    if (resolved == nullptr) return raw_path;
    std::string path(resolved);
    std::free(resolved);
    return path;
}

TextResult resolve_launcher_dir() {
    TextResult raw = executable_path();
    if (!raw.value) return raw;
    std::optional<std::string> dir = parent_dir(resolve_real_path(*raw.value));
    if (!dir) return {std::nullopt, "no parent dir"};
    return {std::move(dir), {}};
}

std::vector<std::string> launcher_arguments(int argc, char** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc && argv[i] != nullptr; ++i) args.emplace_back(argv[i]);
    return args;
}

std::vector<std::string> child_argv(const std::string& interpreter,
                                    const std::vector<std::string>& extra_args,
                                    const std::string& script,
                                    const std::vector<std::string>& launcher_args) {
    std::vector<std::string> argv;
    argv.reserve(2 + extra_args.size() + launcher_args.size());
    argv.push_back(interpreter);
    argv.insert(argv.end(), extra_args.begin(), extra_args.end());
    argv.push_back(script);
    argv.insert(argv.end(), launcher_args.begin(), launcher_args.end());
    return argv;
}

SpawnResult run_engine_child(
    const std::string& interpreter, const std::vector<std::string>& extra_args,
    const std::string& script, const std::vector<std::string>& launcher_args,
    const std::vector<std::pair<std::string, std::string>>& env_additions) {
    const std::vector<std::string> argv =
        child_argv(interpreter, extra_args, script, launcher_args);
    const std::vector<char*> argv_pointers = pointer_array(argv);

    std::vector<std::string> environment;
    std::vector<char*> environment_pointers;
    char** envp = environ;
    if (!env_additions.empty()) {
        environment = child_environment(current_environment(), env_additions);
        environment_pointers = pointer_array(environment);
        envp = environment_pointers.data();
    }

    // We ignore SIGPIPE ourselves; the interpreter must not inherit that.
    const SigpipeDefaultAttributes attributes;
    if (attributes.error() != 0) return {0, attributes.error()};

    pid_t child = 0;
    const int error = posix_spawnp(&child, interpreter.c_str(), nullptr, attributes.get(),
                                   argv_pointers.data(), envp);
    if (error != 0) return {0, error};

    int status = 0;
    while (waitpid(child, &status, 0) == -1) {
        if (errno != EINTR) return {0, errno};
    }
    return {status, 0};
}

int exit_status_for(int wait_status) {
    if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
    return CHILD_SIGNALLED_EXIT;
}

void write_error_line(std::initializer_list<std::string_view> parts) {
    // Closed (EBADF), unwritable or making no progress: the rest of the line
    // is dropped.
    for (std::string_view part : parts) {
        if (write_all(STDERR_FILENO, part) != 0) return;
    }
    write_all(STDERR_FILENO, "\n");
}

std::string launcher_error_text(int error_number) {
    return decode_with_replacement(os_error_text(error_number));
}

namespace {

int run_launcher(const LauncherProfile& profile, int argc, char** argv) {
    const TextResult dir = resolve_launcher_dir();
    if (!dir.value) {
        write_error_line({profile.program_name, ": cannot resolve launcher path: ", dir.error});
        return LAUNCH_FAILURE_EXIT;
    }
    const std::string& launcher_dir = *dir.value;

    const std::optional<std::string> interpreter =
        find_interpreter(launcher_dir, profile.interpreter_candidates);
    if (!interpreter) {
        write_error_line({profile.interpreter_not_found_message});
        return LAUNCH_FAILURE_EXIT;
    }
    const std::optional<std::string> script =
        find_engine_script(launcher_dir, profile.script_dirs, profile.script_name);
    if (!script) {
        write_error_line({profile.script_not_found_message});
        return LAUNCH_FAILURE_EXIT;
    }

    ChildPreparation preparation;
    if (profile.prepare_child != nullptr) {
        preparation = profile.prepare_child(launcher_dir, *interpreter, *script);
    }

    const SpawnResult result =
        run_engine_child(*interpreter, preparation.extra_args, *script,
                         launcher_arguments(argc, argv), preparation.env_additions);
    if (result.error_number != 0) {
        write_error_line({profile.program_name, ": spawn ", decode_with_replacement(*interpreter),
                          ": ", launcher_error_text(result.error_number)});
        return LAUNCH_FAILURE_EXIT;
    }
    return exit_status_for(result.wait_status);
}

}  // namespace

void launcher_main(const LauncherProfile& profile, int argc, char** argv) {
    prepare_standard_streams();
    // Every local is gone before exit runs.
    std::exit(run_launcher(profile, argc, argv));
}

}  // namespace brindlecap::launcher
