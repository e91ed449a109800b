#include "flavours.h"

namespace brindlecap::launcher {

const LauncherProfile& php_profile() {
    static const LauncherProfile profile = [] {
        const std::string triple(TARGET_TRIPLE);
        LauncherProfile p;
        p.program_name = "brindlecap-php-engine";
        p.interpreter_candidates = {
            {"brindlecap-php-interpreter"},
            {"../Resources/_up_/sidecars/php/vendor", triple, "php"},
            {"../Resources/resources/sidecars/php/vendor", triple, "php"},
            {"../../sidecars/php/_cache", triple, "php"},
        };
        p.interpreter_not_found_message =
            "brindlecap-php-engine: no bundled PHP interpreter found (tried candidates for " +
            triple + ")";
        p.script_name = "brindlecap_php_engine.php";
        p.script_dirs = {
            {"../Resources/_up_/sidecars/php"},
            {"../Resources/resources/sidecars/php"},
            {"../../sidecars/php"},
        };
        p.script_not_found_message = "brindlecap-php-engine: brindlecap_php_engine.php not found";
        return p;
    }();
    return profile;
}

void php_launcher_main(int argc, char** argv) { launcher_main(php_profile(), argc, argv); }

}  // namespace brindlecap::launcher
