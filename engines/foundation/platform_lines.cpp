// The line reader: a descriptor, line by line, through a buffer of its own.
#include "platform.h"

#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace brindlecap::foundation::platform {

std::string_view strip_line_terminator(std::string_view line) {
    if (!line.empty() && line.back() == '\n') {
        line.remove_suffix(1);
        // CR LF is one character: it goes as a whole.
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    } else if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    return line;
}

void FreeDelete::operator()(char* bytes) const { std::free(bytes); }

namespace {

constexpr std::size_t LINE_BUFFER_SIZE = 1 << 16;

// No read asks for more than the usual buffer holds: from a regular file a
// read fills whatever room it is given, and the bytes past a long line would
// otherwise keep its buffer large for as long as they last.
ssize_t read_some(LineReader& reader, std::size_t at) {
    return ::read(reader.fd, reader.buffer.get() + at,
                  std::min(reader.capacity - at, LINE_BUFFER_SIZE));
}

// Makes room for more bytes after the unread ones: moves them to the front
// and, when the buffer is full of them, doubles it (large blocks are grown
// by the allocator without copying). False when there is no memory for more.
bool make_room(LineReader& reader) {
    if (reader.begin > 0) {
        std::memmove(reader.buffer.get(), reader.buffer.get() + reader.begin,
                     reader.end - reader.begin);
        reader.end -= reader.begin;
        reader.begin = 0;
    }
    if (reader.end < reader.capacity) return true;
    const std::size_t capacity = reader.capacity == 0 ? LINE_BUFFER_SIZE : 2 * reader.capacity;
    char* grown = static_cast<char*>(std::realloc(reader.buffer.get(), capacity));
    if (grown == nullptr) return false;
    (void)reader.buffer.release();
    reader.buffer.reset(grown);
    reader.capacity = capacity;
    return true;
}

// After a very long line, gives the memory back and starts again at the
// usual size with the unread bytes, which no more than one read brought in;
// a buffer of ordinary size is kept for the next long line.
void shrink(LineReader& reader) {
    if (reader.capacity <= KEPT_BUFFER_BYTES || reader.end - reader.begin > LINE_BUFFER_SIZE)
        return;
    std::memmove(reader.buffer.get(), reader.buffer.get() + reader.begin,
                 reader.end - reader.begin);
    reader.end -= reader.begin;
    reader.begin = 0;
    char* smaller = static_cast<char*>(std::realloc(reader.buffer.get(), LINE_BUFFER_SIZE));
    if (smaller == nullptr) return;
    (void)reader.buffer.release();
    reader.buffer.reset(smaller);
    reader.capacity = LINE_BUFFER_SIZE;
}

// Drops the rest of a line that could not be held: bytes up to and including
// its line feed, or to the end of input.
void discard_rest_of_line(LineReader& reader) {
    reader.begin = reader.end = 0;
    while (!reader.finished) {
        const ssize_t got = read_some(reader, 0);
        if (got > 0) {
            const auto* data = reader.buffer.get();
            const void* newline = std::memchr(data, '\n', static_cast<std::size_t>(got));
            if (newline != nullptr) {
                reader.begin =
                    static_cast<std::size_t>(static_cast<const char*>(newline) - data) + 1;
                reader.end = static_cast<std::size_t>(got);
                return;
            }
        } else if (!(got < 0 && errno == EINTR)) {
            reader.finished = true;
        }
    }
}

}  // namespace

std::optional<std::string_view> read_line(LineReader& reader) {
    reader.line_lost = false;
    shrink(reader);
    std::size_t scanned = reader.begin;  // no line feed in [begin, scanned)
    std::string_view line;
    while (true) {
        const char* data = reader.buffer.get();
        const void* newline = reader.end > scanned
                                  ? std::memchr(data + scanned, '\n', reader.end - scanned)
                                  : nullptr;
        if (newline != nullptr) {
            const std::size_t stop =
                static_cast<std::size_t>(static_cast<const char*>(newline) - data) + 1;
            line = std::string_view(data + reader.begin, stop - reader.begin);
            reader.begin = stop;
            break;
        }
        if (reader.finished) {
            if (reader.begin == reader.end) return std::nullopt;
            line = std::string_view(data + reader.begin, reader.end - reader.begin);
            reader.begin = reader.end;
            break;
        }
        scanned = reader.end - reader.begin;
        if (!make_room(reader)) {
            discard_rest_of_line(reader);
            reader.line_lost = true;
            return std::string_view();
        }
        const ssize_t got = read_some(reader, reader.end);
        if (got > 0) {
            reader.end += static_cast<std::size_t>(got);
        } else if (!(got < 0 && errno == EINTR)) {
            reader.finished = true;
        }
    }
    return strip_line_terminator(line);
}

}  // namespace brindlecap::foundation::platform
