// Start steps every engine and launcher takes before anything else.
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
