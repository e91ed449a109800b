// brindlecap-shell-engine: POSIX (TRE) regular expressions over the line
// protocol.
#include "operations.h"

#include "base/process_start.h"
#include "protocol/protocol.h"

#include <malloc.h>
#include <pthread.h>
#include <clocale>

namespace {

// TRE's matcher takes its working space from the stack, and that space grows
// with the square of the pattern's size: a pattern of a few thousand
// characters such as "(a*)*" repeated overflows the usual 8 MiB and ends the
// process. On this much stack (reserved, only touched pages are used) the
// heap that compiling such a pattern needs runs out first, which TRE reports
// as a compile error.
constexpr std::size_t LOOP_STACK_BYTES = std::size_t{1} << 30;

// A request with a large text allocates buffers of tens of megabytes (the
// line, the parsed text, the matches, the response) and frees them once it
// is answered. By default each of them is mapped afresh and given back at
// once, so every such request faults all their pages in again; kept in the
// heap up to these sizes, the next request reuses them.
constexpr int HEAP_BUFFER_BYTES = 32 << 20;  // glibc's largest mapping threshold
constexpr int HEAP_KEPT_BYTES = 64 << 20;

void* run_loop(void*) {
    static constexpr brindlecap::Operation OPERATIONS[] = {
        {"test", &brindlecap::shell::run_test},
        {"replace", &brindlecap::shell::run_replace},
    };
    brindlecap::run_request_loop("brindlecap-shell-engine", OPERATIONS);
    return nullptr;
}

}  // namespace

int main() {
    // First of all: the locale decides whether TRE reads bytes or multibyte
    // characters. An unknown locale leaves POSIX in force, which is fine.
    std::setlocale(LC_ALL, "");
    brindlecap::prepare_standard_streams();
    mallopt(M_MMAP_THRESHOLD, HEAP_BUFFER_BYTES);
    mallopt(M_TRIM_THRESHOLD, HEAP_KEPT_BYTES);

    bool started = false;
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) == 0) {
        pthread_t loop;
        started = pthread_attr_setstacksize(&attributes, LOOP_STACK_BYTES) == 0 &&
                  pthread_create(&loop, &attributes, run_loop, nullptr) == 0;
        if (started) pthread_join(loop, nullptr);
        pthread_attr_destroy(&attributes);
    }
    if (!started) run_loop(nullptr);  // no room for the large stack: the usual one will do
    return brindlecap::ENGINE_EXIT_STATUS;
}
