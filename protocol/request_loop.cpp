#include "protocol.h"
#include "utf8.h"

#include <cerrno>
#include <new>
#include <stdexcept>
#include <unistd.h>

namespace brindlecap {

namespace {

constexpr std::size_t READ_CHUNK = 64 * 1024;

// Reads standard input as a stream of lines; a line may span any number of reads.
class LineReader {
public:
    enum class Result { line, end };

    // The next line with its line feed (none on a last line that lacks one).
    Result next(std::string_view& line) {
        std::size_t search_from = start_;
        for (;;) {
            const std::size_t feed = data_.find('\n', search_from);
            if (feed != std::string::npos) {
                line = std::string_view(data_).substr(start_, feed + 1 - start_);
                start_ = feed + 1;
                return Result::line;
            }
            if (at_end_) break;
            search_from = data_.size() - start_;
            if (!fill()) break;
            search_from += start_;
        }
        if (start_ >= data_.size()) return Result::end;
        line = std::string_view(data_).substr(start_);
        start_ = data_.size();
        return Result::line;
    }

    bool failed() const { return failed_; }

private:
    // Reads one more chunk; false at the end of input or on a read error.
    bool fill() {
        if (start_ > 0) {
            data_.erase(0, start_);
            start_ = 0;
        }
        const std::size_t old_size = data_.size();
        data_.resize(old_size + READ_CHUNK);
        for (;;) {
            const ssize_t got = read(STDIN_FILENO, data_.data() + old_size, READ_CHUNK);
            if (got > 0) {
                data_.resize(old_size + static_cast<std::size_t>(got));
                return true;
            }
            data_.resize(old_size);
            if (got < 0 && errno == EINTR) {
                data_.resize(old_size + READ_CHUNK);
                continue;
            }
            at_end_ = true;
            // A descriptor that is not open counts as the end of input.
            if (got < 0 && errno != EBADF) failed_ = true;
            return false;
        }
    }

    std::string data_;
    std::size_t start_ = 0;
    bool at_end_ = false;
    bool failed_ = false;
};

// Writes all of `bytes`; the error number on failure, 0 on success.
int write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t put = write(fd, bytes.data(), bytes.size());
        if (put < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (put == 0) return EIO;
        bytes.remove_prefix(static_cast<std::size_t>(put));
    }
    return 0;
}

const std::string& member_or(const Json& request, std::string_view key, const std::string& fallback) {
    const std::string* member = string_member(request, key);
    return member ? *member : fallback;
}

std::string dispatch(std::string_view line, std::span<const Operation> operations) {
    auto parsed = parse_request(line);
    if (auto* message = std::get_if<std::string>(&parsed)) return error_response(*message);
    const Json& request = std::get<Json>(parsed);

    static const std::string default_op = "test", empty;
    const std::string& op = member_or(request, "op", default_op);
    const std::string& pattern = member_or(request, "pattern", empty);
    const std::string& flags = member_or(request, "flags", empty);
    const std::string& text = member_or(request, "text", empty);

    for (const Operation& operation : operations) {
        if (operation.name == op) return operation.answer(request, pattern, flags, text);
    }
    return error_response("unknown op: " + op);
}

}  // namespace

std::string handle_request(std::string_view line, std::span<const Operation> operations) {
    // A request large enough to exhaust memory is the request's fault, not the
    // engine's: answer it and go on. What was allocated for it is released by
    // the time the answer is built.
    try {
        return dispatch(line, operations);
    } catch (const std::bad_alloc&) {
        return error_response("out of memory");
    } catch (const std::length_error&) {
        return error_response("out of memory");
    }
}

void run_request_loop(std::string_view program_name, std::span<const Operation> operations) {
    LineReader reader;
    std::string_view line;
    while (reader.next(line) == LineReader::Result::line) {
        if (reader.failed()) return;  // what was read of the line is dropped
        if (!is_valid_utf8(line)) return;

        if (!line.empty() && line.back() == '\n') {
            line.remove_suffix(1);
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        }
        if (line.empty()) continue;

        std::string response = handle_request(line, operations);
        response.push_back('\n');
        // Responses go straight to the descriptor, so nothing is ever left
        // waiting in a buffer and the flush cannot fail separately.
        if (const int error = write_all(STDOUT_FILENO, response); error != 0) {
            const std::string report =
                std::string(program_name) + ": write: " + os_error_text(error) + "\n";
            write_all(STDERR_FILENO, report);
            return;
        }
    }
}

}  // namespace brindlecap
