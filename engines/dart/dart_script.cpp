#include "dart_script.h"

#include "protocol.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace brindlecap {

// The odd indentation of the replace branch is part of the program as the
// host's tooling knows it; keep every byte.
const std::string_view dart_script = R"dart(import 'dart:io';
import 'dart:convert';
void main() {
  var line = stdin.readLineSync()!;
  var req = jsonDecode(line);
  var op = req['op'];
  var pattern = req['pattern'];
  var text = req['text'] ?? '';
  var flags = req['flags'] ?? '';
  var regex = RegExp(
    pattern,
    caseSensitive: !flags.contains('i'),
    multiLine: flags.contains('m'),
    dotAll: flags.contains('s'),
    unicode: flags.contains('u'),
  );
  if (op == 'test') {
    for (var m in regex.allMatches(text)) {
      var parts = [m.start, m.end - m.start, m.group(0)];
      for (var i = 1; i <= m.groupCount; i++) {
        parts.add(m.group(i) ?? '');
      }
      print(parts.join('\t'));
    }
   } else if (op == 'replace') {
     print(text.replaceAllMapped(regex, (m) {
       var result = req['replacement'] ?? '';
       for (var i = 1; i <= m.groupCount; i++) {
         result = result.replaceAll('\$${i}', m.group(i) ?? '');
       }
       result = result.replaceAll('\$&', m.group(0) ?? '');
       return result;
     }));
   } else {
    print(regex.hasMatch(text) ? '1' : '0');
  }
}
)dart";

namespace {

// Closes the descriptor whatever happened; the result of closing is not used.
struct FileDescriptor {
    int fd = -1;
    ~FileDescriptor() {
        if (fd >= 0) close(fd);
    }
};

}  // namespace

std::optional<std::string> write_dart_script(const std::string& path) {
    // The path lies in a directory that every user may write to: never write
    // through a symbolic link that someone else may have put there, and never
    // wait for a reader of a FIFO put there (the open fails at once instead).
    // O_NONBLOCK changes nothing for a regular file.
    FileDescriptor file;
    do {
        file.fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK,
                       0666);
    } while (file.fd < 0 && errno == EINTR);
    if (file.fd < 0) return os_error_text(errno);

    std::string_view rest = dart_script;
    while (!rest.empty()) {
        const ssize_t written = write(file.fd, rest.data(), rest.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return os_error_text(errno);
        }
        if (written == 0) return std::string("failed to write whole buffer");
        rest.remove_prefix(static_cast<std::size_t>(written));
    }
    return std::nullopt;
}

void remove_dart_script(const std::string& path) { unlink(path.c_str()); }

}  // namespace brindlecap
