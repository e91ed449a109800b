// Signal names by the running platform's own numbering: the table is keyed by
// the platform's macros, so a name always matches the signal received.
#include "texts.h"

#include <csignal>

namespace brindlecap::interpreter {

namespace {

struct SignalName {
    int number;
    std::string_view name;
};

#define BRINDLECAP_SIGNAL(S) \
    SignalName { S, #S }

constexpr SignalName SIGNAL_NAMES[] = {
    BRINDLECAP_SIGNAL(SIGHUP),    BRINDLECAP_SIGNAL(SIGINT),  BRINDLECAP_SIGNAL(SIGQUIT),
    BRINDLECAP_SIGNAL(SIGILL),    BRINDLECAP_SIGNAL(SIGTRAP), BRINDLECAP_SIGNAL(SIGABRT),
#ifdef SIGEMT
    BRINDLECAP_SIGNAL(SIGEMT),
#endif
    BRINDLECAP_SIGNAL(SIGFPE),    BRINDLECAP_SIGNAL(SIGKILL), BRINDLECAP_SIGNAL(SIGBUS),
    BRINDLECAP_SIGNAL(SIGSEGV),   BRINDLECAP_SIGNAL(SIGSYS),  BRINDLECAP_SIGNAL(SIGPIPE),
    BRINDLECAP_SIGNAL(SIGALRM),   BRINDLECAP_SIGNAL(SIGTERM), BRINDLECAP_SIGNAL(SIGURG),
    BRINDLECAP_SIGNAL(SIGSTOP),   BRINDLECAP_SIGNAL(SIGTSTP), BRINDLECAP_SIGNAL(SIGCONT),
    BRINDLECAP_SIGNAL(SIGCHLD),   BRINDLECAP_SIGNAL(SIGTTIN), BRINDLECAP_SIGNAL(SIGTTOU),
    BRINDLECAP_SIGNAL(SIGIO),     BRINDLECAP_SIGNAL(SIGXCPU), BRINDLECAP_SIGNAL(SIGXFSZ),
    BRINDLECAP_SIGNAL(SIGVTALRM), BRINDLECAP_SIGNAL(SIGPROF), BRINDLECAP_SIGNAL(SIGWINCH),
#ifdef SIGINFO
    BRINDLECAP_SIGNAL(SIGINFO),
#endif
#ifdef SIGSTKFLT
    BRINDLECAP_SIGNAL(SIGSTKFLT),
#endif
#if defined(SIGPWR) && !defined(SIGINFO)
    BRINDLECAP_SIGNAL(SIGPWR),
#endif
    BRINDLECAP_SIGNAL(SIGUSR1),   BRINDLECAP_SIGNAL(SIGUSR2),
};

#undef BRINDLECAP_SIGNAL

}  // namespace

std::string_view signal_name(int signal_number) {
    if (signal_number < 1 || signal_number > 31) {
        return {};
    }
    for (const SignalName& entry : SIGNAL_NAMES) {
        if (entry.number == signal_number) {
            return entry.name;
        }
    }
    return {};
}

}  // namespace brindlecap::interpreter
