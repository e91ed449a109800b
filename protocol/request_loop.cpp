#include "protocol.h"

#include "base/descriptor.h"
#include "base/os_error.h"

#include <simdjson.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <stdexcept>

namespace brindlecap {

namespace {

constexpr std::size_t READ_CHUNK = 64 * 1024;

// A buffer that grew past this for one long line is given back once that
// line is done; below it, it stays for the next request.
constexpr std::size_t KEEP_CAPACITY = 16u << 20;

// Reads standard input as a stream of lines; a line may span any number of
// reads. The buffer is never zero-filled, keeps its size from one request to
// the next, and always has REQUEST_PADDING bytes after the data, so that a
// line can be parsed where it lies.
class LineReader {
public:
    // too_long: a line that did not fit in memory, read past and checked as
    // UTF-8 but not kept; not_utf8: such a line was not UTF-8.
    enum class Result { line, too_long, not_utf8, end };

    // The next line with its line feed (none on a last line that lacks one).
    Result next(std::string_view& line) {
        std::size_t search_from = start_;
        for (;;) {
            const void* feed = search_from < size_ ? std::memchr(buffer_.get() + search_from, '\n',
                                                                 size_ - search_from)
                                                   : nullptr;
            if (feed) {
                const std::size_t end = static_cast<const char*>(feed) - buffer_.get() + 1;
                line = std::string_view(buffer_.get() + start_, end - start_);
                start_ = end;
                return Result::line;
            }
            if (at_end_) break;
            search_from = size_ - start_;
            bool more = false;
            try {
                more = fill();
            } catch (const std::bad_alloc&) {
                return skip_line();
            }
            if (!more) break;
            search_from += start_;
        }
        if (start_ >= size_) return Result::end;
        line = std::string_view(buffer_.get() + start_, size_ - start_);
        start_ = size_;
        return Result::line;
    }

    bool failed() const { return failed_; }

private:
    // The buffer cannot grow for the line in hand: reads on through the same
    // buffer to the line's end, checking what passes, and keeps what follows.
    Result skip_line() {
        Utf8Chunks check;
        check.add(std::string_view(buffer_.get() + start_, size_ - start_));
        start_ = size_ = 0;
        for (;;) {
            if (capacity_ <= REQUEST_PADDING) {
                failed_ = at_end_ = true;  // not even one read fits: nothing more can be done
                return Result::end;
            }
            const ssize_t got = read(STDIN_FILENO, buffer_.get(), capacity_ - REQUEST_PADDING);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                at_end_ = true;
                if (got < 0 && errno != EBADF) {
                    failed_ = true;
                    return Result::end;
                }
                return check.finish() ? Result::too_long : Result::not_utf8;
            }
            const std::string_view chunk(buffer_.get(), static_cast<std::size_t>(got));
            const std::size_t feed = chunk.find('\n');
            if (feed == std::string_view::npos) {
                check.add(chunk);
                continue;
            }
            check.add(chunk.substr(0, feed + 1));
            start_ = feed + 1;
            size_ = chunk.size();
            return check.finish() ? Result::too_long : Result::not_utf8;
        }
    }

    // UTF-8 checked chunk by chunk: a character cut between two chunks is
    // carried over to the next.
    class Utf8Chunks {
    public:
        void add(std::string_view chunk) {
            if (!valid_) return;
            if (carried_ > 0) {
                const std::size_t need = sequence_length(carry_[0]);
                while (carried_ < need && !chunk.empty()) {
                    carry_[carried_++] = chunk.front();
                    chunk.remove_prefix(1);
                }
                if (carried_ < need) return;
                valid_ = simdjson::validate_utf8(carry_, carried_);
                carried_ = 0;
            }
            // A lead byte among the last three whose character runs past the end.
            std::size_t cut = chunk.size();
            for (std::size_t back = 1; back <= 3 && back <= chunk.size(); ++back) {
                const auto byte = static_cast<unsigned char>(chunk[chunk.size() - back]);
                if ((byte & 0xC0) == 0x80) continue;
                if (sequence_length(static_cast<char>(byte)) > back) cut = chunk.size() - back;
                break;
            }
            valid_ = valid_ && simdjson::validate_utf8(chunk.data(), cut);
            for (std::size_t i = cut; i < chunk.size(); ++i) carry_[carried_++] = chunk[i];
        }
        bool finish() const { return valid_ && carried_ == 0; }

    private:
        // From the lead byte; 1 for a byte that cannot lead, which the check
        // then refuses on its own.
        static std::size_t sequence_length(char lead) {
            const auto byte = static_cast<unsigned char>(lead);
            if (byte >= 0xF0) return 4;
            if (byte >= 0xE0) return 3;
            if (byte >= 0xC0) return 2;
            return 1;
        }
        char carry_[4] = {};
        std::size_t carried_ = 0;
        bool valid_ = true;
    };

    // Reads one more chunk; false at the end of input or on a read error.
    bool fill() {
        make_room();
        for (;;) {
            const ssize_t got =
                read(STDIN_FILENO, buffer_.get() + size_, capacity_ - REQUEST_PADDING - size_);
            if (got > 0) {
                size_ += static_cast<std::size_t>(got);
                return true;
            }
            if (got < 0 && errno == EINTR) continue;
            at_end_ = true;
            // A descriptor that is not open counts as the end of input.
            if (got < 0 && errno != EBADF) failed_ = true;
            return false;
        }
    }

    // Moves what is left of the data to the front and makes sure at least
    // READ_CHUNK bytes (and the padding) are free behind it.
    void make_room() {
        const std::size_t left = size_ - start_;
        const std::size_t wanted = left + READ_CHUNK + REQUEST_PADDING;
        const bool oversized = capacity_ > KEEP_CAPACITY && wanted <= KEEP_CAPACITY / 2;
        std::unique_ptr<char[]> fresh;
        if (wanted > capacity_ || oversized) {
            const std::size_t capacity = oversized ? wanted : std::max(wanted, capacity_ * 2);
            fresh.reset(new (std::nothrow) char[capacity]);
            // Shrinking is only a saving; growing is a must.
            if (!fresh && wanted > capacity_) throw std::bad_alloc();
            if (fresh) capacity_ = capacity;
        }
        if (fresh) {
            if (left) std::memcpy(fresh.get(), buffer_.get() + start_, left);
            buffer_ = std::move(fresh);
        } else if (start_ > 0 && left) {
            std::memmove(buffer_.get(), buffer_.get() + start_, left);
        }
        start_ = 0;
        size_ = left;
    }

    std::unique_ptr<char[]> buffer_;
    std::size_t capacity_ = 0, size_ = 0, start_ = 0;
    bool at_end_ = false;
    bool failed_ = false;
};

const std::string& member_or(const Json& request, std::string_view key,
                             const std::string& fallback) {
    const std::string* member = string_member(request, key);
    return member ? *member : fallback;
}

void dispatch(std::variant<Json, std::string> parsed, std::span<const Operation> operations,
              ResponseSink& out) {
    if (auto* message = std::get_if<std::string>(&parsed)) {
        out.append(error_response(*message));
        return;
    }
    const Json& request = std::get<Json>(parsed);

    static const std::string DEFAULT_OP = "test", EMPTY;
    const std::string& op = member_or(request, "op", DEFAULT_OP);
    const std::string& pattern = member_or(request, "pattern", EMPTY);
    const std::string& flags = member_or(request, "flags", EMPTY);
    const std::string& text = member_or(request, "text", EMPTY);

    for (const Operation& operation : operations) {
        if (operation.name != op) continue;
        if (operation.write != nullptr) {
            operation.write(out, request, pattern, flags, text);
        } else {
            out.append(operation.answer(request, pattern, flags, text));
        }
        return;
    }
    out.append(error_response("unknown op: " + op));
}

}  // namespace

// A request large enough to exhaust memory is the request's fault, not the
// engine's: answer it and go on. What was allocated for it is released by the
// time the answer is built. Operations allocate before their response starts
// to leave, so a response never breaks off for want of memory.
void handle_request(std::string_view line, std::span<const Operation> operations,
                    ResponseSink& out) {
    try {
        dispatch(parse_padded_request(line), operations, out);
        return;
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
    // Part of a line cannot be taken back; mending it is beyond the loop.
    if (out.sent_any() && out.error() == 0) std::terminate();
    out.discard();
    out.append(error_response("out of memory"));
}

std::string write_failure_line(std::string_view program_name, int error) {
    // No error number says that nothing was accepted; EIO comes nearest.
    const int number = error == WRITE_NO_PROGRESS ? EIO : error;
    return std::string(program_name) + ": write: " + os_error_text(number) + "\n";
}

void run_request_loop(std::string_view program_name, std::span<const Operation> operations) {
    LineReader reader;
    ResponseSink out(STDOUT_FILENO);
    std::string_view line;
    for (;;) {
        const LineReader::Result result = reader.next(line);
        if (result == LineReader::Result::end || result == LineReader::Result::not_utf8) return;
        if (reader.failed()) return;  // what was read of the line is dropped

        if (result == LineReader::Result::too_long) {
            // Too long to hold, so too long to answer: the request's fault.
            out.append(error_response("out of memory"));
        } else {
            if (!simdjson::validate_utf8(line.data(), line.size())) return;
            if (!line.empty() && line.back() == '\n') {
                line.remove_suffix(1);
                if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            }
            if (line.empty()) continue;
            handle_request(line, operations, out);
        }
        // Responses go straight to the descriptor, so nothing is ever left
        // waiting in a buffer and the flush cannot fail separately.
        if (const int error = out.end_line(); error != 0) {
            write_all(STDERR_FILENO, write_failure_line(program_name, error));
            return;
        }
    }
}

}  // namespace brindlecap
