#include "dart_script.h"

#include "base/descriptor.h"
#include "base/os_error.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>

namespace brindlecap::dart {

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

// Anyone may put a file at the shared path. Writing into one that another
// user owns, or that has a second name elsewhere, would let that user (or
// that name's owner) rewrite the program between runs and have it run as us.
// nullopt when the open file is ours alone, else the refusal's text.
std::optional<std::string> refuse_foreign_file(int fd) {
    struct stat info {};
    if (fstat(fd, &info) != 0) return os_error_text(errno);
    if (!S_ISREG(info.st_mode) || info.st_uid != geteuid()) return os_error_text(EPERM);
    if (info.st_nlink > 1) return os_error_text(EMLINK);
    // Left writable by group or others, the file could be rewritten all the
    // same; an earlier run under a lax umask may have made it so.
    constexpr mode_t OTHERS_WRITE = S_IWGRP | S_IWOTH;
    if ((info.st_mode & OTHERS_WRITE) != 0 &&
        fchmod(fd, info.st_mode & 07777 & ~OTHERS_WRITE) != 0) {
        return os_error_text(errno);
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> script_write_error_text(int write_result) {
    if (write_result == 0) return std::nullopt;
    if (write_result == WRITE_NO_PROGRESS) return std::string("failed to write whole buffer");
    return os_error_text(write_result);
}

std::optional<std::string> write_dart_script(const std::string& path) {
    // The path lies in a directory that every user may write to: never write
    // through a symbolic link that someone else may have put there, and never
    // wait for a reader of a FIFO put there (the open fails at once instead).
    // O_NONBLOCK changes nothing for a regular file. The file is truncated
    // only once it is known to be ours, and created without write permission
    // for group and others so that no one can open it for writing meanwhile.
    OwnedFd file;
    do {
        file.reset(
            open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644));
    } while (!file.is_open() && errno == EINTR);
    if (!file.is_open()) return os_error_text(errno);
    if (auto refused = refuse_foreign_file(file.get())) return refused;
    while (ftruncate(file.get(), 0) != 0) {
        if (errno != EINTR) return os_error_text(errno);
    }
    return script_write_error_text(write_all(file.get(), dart_script));
}

void remove_dart_script(const std::string& path) { unlink(path.c_str()); }

}  // namespace brindlecap::dart
