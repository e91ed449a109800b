// The fixed Dart program that does this engine's matching, and its file.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace brindlecap::dart {

// One fixed path for every instance: none of it depends on the process.
inline constexpr std::string_view dart_script_path = "/tmp/brindlecap-dart.dart";

// The program dart runs for every request, written to the file byte for byte.
extern const std::string_view dart_script;

// Creates or truncates the file (0644 less the umask, close-on-exec) and
// writes the whole program. Refused: a symbolic link at the path (ELOOP), a
// FIFO without reader (ENXIO, instead of blocking), anything that is not a
// regular file of our own user (EPERM), a file with a second link (EMLINK).
// Write permission for group and others is taken off an existing file.
// nullopt on success, else the error's text.
std::optional<std::string> write_dart_script(const std::string& path);

// The failure text for what write_all gave while writing the program, or
// nullopt when everything was written.
std::optional<std::string> script_write_error_text(int write_result);

// Unlinks the file; every error (a file already gone among them) is ignored.
void remove_dart_script(const std::string& path);

}  // namespace brindlecap::dart
