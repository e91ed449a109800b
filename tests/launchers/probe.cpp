// A stand-in interpreter: reports what the launcher handed it, then copies its
// standard input. PROBE_EXIT / PROBE_SIGNAL choose how it ends; PROBE_DETAILS
// adds what its standard descriptors are and how SIGPIPE stands.
#include <unistd.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void put(const std::string& text) { fwrite(text.data(), 1, text.size(), stdout); }

std::string descriptor_kind(int fd) {
    char target[4096];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t length = readlink(link.c_str(), target, sizeof target);
    if (length < 0) return "closed";
    const std::string name(target, static_cast<std::size_t>(length));
    if (name == "/dev/null") return "/dev/null";
    if (name.rfind("pipe:", 0) == 0) return "pipe";
    return "other";
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 0; i < argc; ++i) put("argv[" + std::to_string(i) + "]=" + argv[i] + "\n");
    const char* home = getenv("PYTHONHOME");
    put(home ? std::string("PYTHONHOME=") + home + "\n" : std::string("PYTHONHOME unset\n"));
    if (getenv("PROBE_DETAILS")) {
        struct sigaction current {};
        sigaction(SIGPIPE, nullptr, &current);
        put("fd0=" + descriptor_kind(0) + "\n");
        put("fd2=" + descriptor_kind(2) + "\n");
        put(std::string("SIGPIPE ") + (current.sa_handler == SIG_IGN ? "ignored" : "default") +
            "\n");
    }
    char buffer[4096];
    while (fgets(buffer, sizeof buffer, stdin)) put(std::string("in: ") + buffer);
    fflush(stdout);
    if (const char* sig = getenv("PROBE_SIGNAL")) raise(atoi(sig));
    if (const char* code = getenv("PROBE_EXIT")) return atoi(code);
    return 0;
}
