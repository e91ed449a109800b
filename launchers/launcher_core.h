// The steps the Python, Perl and PHP launchers share: find our own directory,
// pick an interpreter and an engine script from fixed places beside it, start
// the interpreter on the script with our own descriptors and exit with its
// status. Paths are byte strings throughout and are never normalised.
#pragma once

#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace brindlecap::launcher {

inline constexpr int CHILD_SIGNALLED_EXIT = 1;
inline constexpr int LAUNCH_FAILURE_EXIT = 127;

// The build's target triple, fixed at configure time.
inline constexpr std::string_view TARGET_TRIPLE = BRINDLECAP_TARGET_TRIPLE;

// One candidate place: pieces joined onto the launcher's directory in order.
using PathPieces = std::vector<std::string>;

struct ChildPreparation {
    std::vector<std::string> extra_args;  // between the interpreter and the script
    std::vector<std::pair<std::string, std::string>> env_additions;
};

// Runs after both searches succeeded; may write warning lines; never fails.
using PrepareChildFn = ChildPreparation (*)(const std::string& launcher_dir,
                                            const std::string& interpreter,
                                            const std::string& script);

struct LauncherProfile {
    std::string program_name;
    std::vector<PathPieces> interpreter_candidates;
    std::string interpreter_not_found_message;  // without its line feed
    std::string script_name;
    std::vector<PathPieces> script_dirs;
    std::string script_not_found_message;    // without its line feed
    PrepareChildFn prepare_child = nullptr;  // null: nothing to add
};

// A value or the text of what went wrong.
struct TextResult {
    std::optional<std::string> value;
    std::string error;
};

// The launcher's directory with the pieces joined on in order.
std::string candidate_path(std::string_view launcher_dir, const PathPieces& pieces);

// The path without its last component ("" for a single relative component),
// or nothing for an empty path or the root alone.
std::optional<std::string> parent_dir(std::string_view path);

// The last component ("." or ".." included), or nothing when the path is
// empty or the root alone.
std::optional<std::string> last_component(std::string_view path);

// stat (following links): a regular file with any execute bit set.
bool passes_interpreter_test(const std::string& path);
// stat (following links): a regular file, whatever its permissions.
bool passes_script_test(const std::string& path);

std::optional<std::string> find_interpreter(std::string_view launcher_dir,
                                            std::span<const PathPieces> candidates);
std::optional<std::string> find_engine_script(std::string_view launcher_dir,
                                              std::span<const PathPieces> script_dirs,
                                              std::string_view script_name);

// realpath of the raw path, or the raw path itself when that fails.
std::string resolve_real_path(const std::string& raw_path);

// Our own directory, or the error text for the "cannot resolve" line.
TextResult resolve_launcher_dir();

// The arguments after the program name, up to argc or a null entry.
std::vector<std::string> launcher_arguments(int argc, char** argv);

std::vector<std::string> child_argv(const std::string& interpreter,
                                    const std::vector<std::string>& extra_args,
                                    const std::string& script,
                                    const std::vector<std::string>& launcher_args);

struct SpawnResult {
    int wait_status = 0;
    int error_number = 0;  // nonzero: starting or waiting failed
};

// Starts the interpreter with our descriptors, SIGPIPE at its default in the
// child, and waits for it. Without additions the child gets `environ`.
SpawnResult run_engine_child(const std::string& interpreter,
                             const std::vector<std::string>& extra_args, const std::string& script,
                             const std::vector<std::string>& launcher_args,
                             const std::vector<std::pair<std::string, std::string>>& env_additions);

// The child's exit code, or CHILD_SIGNALLED_EXIT when a signal ended it.
int exit_status_for(int wait_status);

// One line on descriptor 2, written part by part without buffering; dropped
// when descriptor 2 is closed.
void write_error_line(std::initializer_list<std::string_view> parts);

// The system's message for the error number with " (os error N)", as UTF-8.
std::string launcher_error_text(int error_number);

// Runs every step with the profile and exits.
[[noreturn]] void launcher_main(const LauncherProfile& profile, int argc, char** argv);

}  // namespace brindlecap::launcher
