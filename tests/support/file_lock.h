// An exclusive lock on a file, for tests that share something machine-wide
// with the tests of other builds running at the same time.
#pragma once

#include "base/descriptor.h"

#include <string>

namespace brindlecap::test {

// Held by every test that starts the Dart engine: all its instances write
// and remove the one program file.
inline constexpr const char* DART_PROGRAM_LOCK = "/tmp/brindlecap-dart-tests.lock";

class FileLock {
public:
    // Waits until the lock is held. A lock file that cannot be opened holds
    // nothing, and the test goes on unguarded.
    explicit FileLock(const std::string& path);

private:
    OwnedFd fd_;  // closing it gives the lock up
};

}  // namespace brindlecap::test
