#include "flavours.h"

#include "base/paths.h"

#include <sys/stat.h>

namespace brindlecap::launcher {

namespace {

const std::string TRIPLE(TARGET_TRIPLE);

ChildPreparation prepare_python_child(const std::string&, const std::string& interpreter,
                                      const std::string&) {
    ChildPreparation preparation;
    if (std::optional<std::string> home = python_home_for(interpreter)) {
        preparation.env_additions.emplace_back("PYTHONHOME", std::move(*home));
    }
    return preparation;
}

}  // namespace

std::optional<std::string> python_home_for(const std::string& interpreter) {
    const std::optional<std::string> bin_dir = parent_dir(interpreter);
    if (!bin_dir) return std::nullopt;
    if (last_component(*bin_dir) != std::optional<std::string>("bin")) return std::nullopt;
    std::optional<std::string> prefix = parent_dir(*bin_dir);
    if (!prefix) return std::nullopt;
    struct stat info {};
    if (stat(join_path(*prefix, "lib").c_str(), &info) != 0) return std::nullopt;
    if ((info.st_mode & S_IFMT) != S_IFDIR) return std::nullopt;
    return prefix;
}

const LauncherProfile& python_profile() {
    static const LauncherProfile profile = [] {
        const char* const bases[] = {
            "vendor",
            "../../sidecars/python/vendor",
            "../../../sidecars/python/vendor",
            "../Resources/resources/sidecars/python/vendor",
            "../Resources/sidecars/python/vendor",
            "../Resources/_up_/sidecars/python/vendor",
        };
        LauncherProfile p;
        p.program_name = "brindlecap-python-engine";
        for (const char* base : bases)
            p.interpreter_candidates.push_back({base, TRIPLE, "bin/python3"});
        p.interpreter_not_found_message =
            "brindlecap-python-engine: no bundled or system Python 3 interpreter found";
        p.script_name = "brindlecap_python_engine.py";
        p.script_dirs = {
            {"vendor", TRIPLE},
            {"../../sidecars/python"},
            {"../../../sidecars/python"},
            {"../../sidecars/python/vendor", TRIPLE},
            {"../../../sidecars/python/vendor", TRIPLE},
            {"../Resources/resources/sidecars/python"},
            {"../Resources/sidecars/python"},
            {"../Resources/_up_/sidecars/python"},
        };
        p.script_not_found_message =
            "brindlecap-python-engine: brindlecap_python_engine.py not found";
        p.prepare_child = prepare_python_child;
        return p;
    }();
    return profile;
}

void python_launcher_main(int argc, char** argv) { launcher_main(python_profile(), argc, argv); }

}  // namespace brindlecap::launcher
