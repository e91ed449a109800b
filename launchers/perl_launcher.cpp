#include "flavours.h"

#include "base/paths.h"
#include "base/utf8.h"

#include <sys/stat.h>

namespace brindlecap::launcher {

namespace {

const std::string TRIPLE(TARGET_TRIPLE);
const std::string SUFFIXED_INTERPRETER = "brindlecap-perl-interpreter-" + TRIPLE;

ChildPreparation prepare_perl_child(const std::string& launcher_dir, const std::string&,
                                    const std::string&) {
    ChildPreparation preparation;
    const std::optional<std::string> lib = find_perl_lib_dir(launcher_dir);
    if (!lib) {
        write_error_line(
            {"brindlecap-perl-engine: WARN: perl lib dir not found; bundled .pm modules "
             "unavailable"});
        return preparation;
    }
    // Perl reads these options as text.
    preparation.extra_args.push_back("-I" + decode_with_replacement(join_path(*lib, "ext_re")));
    preparation.extra_args.push_back("-I" + decode_with_replacement(*lib));
    return preparation;
}

}  // namespace

std::optional<std::string> find_perl_lib_dir(const std::string& launcher_dir) {
    const char* const candidates[] = {
        "../Resources/resources/sidecars/perl/lib",
        "../Resources/sidecars/perl/lib",
        "../Resources/_up_/sidecars/perl/lib",
        "../../src-tauri/resources/sidecars/perl/lib",
        "../../../src-tauri/resources/sidecars/perl/lib",
    };
    for (const char* candidate : candidates) {
        std::string lib = join_path(launcher_dir, candidate);
        struct stat info {};
        // Any kind of entry named strict.pm marks the place.
        if (stat(join_path(lib, "strict.pm").c_str(), &info) == 0) return lib;
    }
    return std::nullopt;
}

const LauncherProfile& perl_profile() {
    static const LauncherProfile profile = [] {
        LauncherProfile p;
        p.program_name = "brindlecap-perl-engine";
        p.interpreter_candidates = {
            {"brindlecap-perl-interpreter"},
            {SUFFIXED_INTERPRETER},
            {"../../src-tauri/binaries", SUFFIXED_INTERPRETER},
            {"../../../src-tauri/binaries", SUFFIXED_INTERPRETER},
        };
        p.interpreter_not_found_message =
            "brindlecap-perl-engine: no bundled microperl interpreter found "
            "(brindlecap-perl-interpreter not present alongside the launcher)";
        p.script_name = "brindlecap_perl_engine.pl";
        p.script_dirs = {
            {},
            {"../../sidecars/perl"},
            {"../../../sidecars/perl"},
            {"../Resources/resources/sidecars/perl"},
            {"../Resources/sidecars/perl"},
            {"../Resources/_up_/sidecars/perl"},
            {"../../sidecars/perl/vendor", TRIPLE},
        };
        p.script_not_found_message = "brindlecap-perl-engine: brindlecap_perl_engine.pl not found";
        p.prepare_child = prepare_perl_child;
        return p;
    }();
    return profile;
}

void perl_launcher_main(int argc, char** argv) { launcher_main(perl_profile(), argc, argv); }

}  // namespace brindlecap::launcher
