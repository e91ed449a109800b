// Starts a launcher in a state a plain start cannot give it, then hands over
// its exit status:
//   starter ignore-sigchld PROGRAM ARGS...      SIGCHLD ignored across the exec,
//                                               so the launcher's wait fails
//   starter remove-after-start PROGRAM ARGS...  PROGRAM is unlinked after the
//                                               exec and before its first step
// The child keeps our standard descriptors.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#if defined(__linux__)
#include <sys/ptrace.h>
#endif
#include <sys/wait.h>
#include <unistd.h>

namespace {

int fail(const char* what) {
    std::fprintf(stderr, "starter: %s: %s\n", what, std::strerror(errno));
    return 125;
}

[[maybe_unused]] int status_of(int wait_status) {
    if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
    return 128 + WTERMSIG(wait_status);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: starter ignore-sigchld|remove-after-start PROGRAM ARGS...\n");
        return 125;
    }
    const std::string mode = argv[1];
    char* program = argv[2];
    char** program_argv = argv + 2;

    if (mode == "ignore-sigchld") {
        std::signal(SIGCHLD, SIG_IGN);
        execv(program, program_argv);
        return fail("exec");
    }
    if (mode != "remove-after-start") {
        errno = EINVAL;
        return fail(argv[1]);
    }
#if !defined(__linux__)
    errno = ENOSYS;  // no way here to stop a child right after its exec
    return fail("remove-after-start");
#else

    const pid_t child = fork();
    if (child < 0) return fail("fork");
    if (child == 0) {
        // The traced child stops right after the exec, before any of its code runs.
        if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) _exit(fail("ptrace"));
        execv(program, program_argv);
        _exit(fail("exec"));
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child) return fail("waitpid");
    if (!WIFSTOPPED(status)) return status_of(status);
    if (unlink(program) != 0) return fail("unlink");
    if (ptrace(PTRACE_DETACH, child, nullptr, nullptr) != 0) return fail("detach");
    if (waitpid(child, &status, 0) != child) return fail("waitpid");
    return status_of(status);
#endif
}
