// Start steps the launchers and the engines on the request loop take before
// anything else. The Foundation engine takes none: it keeps SIGPIPE at its
// default, so a closed output ends it.
#pragma once

namespace brindlecap {

// A standard descriptor (0, 1, 2) that is not open is opened on /dev/null for
// reading and writing, so that later opens never land on it.
void open_missing_standard_streams();

// A closed output pipe then shows up as a write error (EPIPE), not a signal.
void ignore_sigpipe();

// Both of the above.
void prepare_standard_streams();

}  // namespace brindlecap
