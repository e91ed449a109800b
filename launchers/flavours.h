// The Python, Perl and PHP launchers: one profile each on the launcher core,
// with the flavour's own step before the child starts.
#pragma once

#include "launcher_core.h"

#include <optional>
#include <string>

namespace brindlecap::launcher {

const LauncherProfile& python_profile();
const LauncherProfile& perl_profile();
const LauncherProfile& php_profile();

// The installation prefix to hand the interpreter as PYTHONHOME: the directory
// above its "bin", when that holds a "lib" directory.
std::optional<std::string> python_home_for(const std::string& interpreter);

// The first Perl library place that holds an entry named "strict.pm".
std::optional<std::string> find_perl_lib_dir(const std::string& launcher_dir);

[[noreturn]] void python_launcher_main(int argc, char** argv);
[[noreturn]] void perl_launcher_main(int argc, char** argv);
[[noreturn]] void php_launcher_main(int argc, char** argv);

}  // namespace brindlecap::launcher
