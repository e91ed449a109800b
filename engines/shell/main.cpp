// brindlecap-shell-engine: POSIX (TRE) regular expressions over the line
// protocol.
#include "limits.h"
#include "operations.h"
#include "resources.h"

#include "base/process_start.h"
#include "protocol/protocol.h"

#include <malloc.h>
#include <pthread.h>
#include <clocale>

namespace {

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

    // TRE's matchers take their working space from the stack, so the loop
    // runs on a large one of its own (only touched pages are used), sized to
    // the address space the host allows; where no such stack can be had it
    // runs on the usual one. A pattern whose search would need more stack
    // than the loop has is answered as out of memory when it compiles.
    bool started = false;
    for (std::size_t size = brindlecap::shell::loop_stack_bytes();
         !started && size >= brindlecap::shell::MIN_LOOP_STACK_BYTES; size /= 2) {
        pthread_attr_t attributes;
        if (pthread_attr_init(&attributes) != 0) break;
        pthread_t loop;
        started = pthread_attr_setstacksize(&attributes, size) == 0 &&
                  pthread_create(&loop, &attributes, run_loop, nullptr) == 0;
        pthread_attr_destroy(&attributes);
        if (started) pthread_join(loop, nullptr);
    }
    if (!started) run_loop(nullptr);
    return brindlecap::ENGINE_EXIT_STATUS;
}
