// Where a response goes on its way out: the request loop owns the sink and
// every byte that leaves through it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>

namespace brindlecap {

// An operation appends its response in pieces of any size; the sink sends its
// buffer to the descriptor whenever the buffer is full, so a response of many
// megabytes is never held whole. The loop ends the line and sends the rest.
//
// Once a piece has gone out the response cannot be taken back: an operation
// does what can fail (allocating above all) before it appends its response,
// and appending itself never allocates. A failed write is kept: what is
// appended after it is dropped, and the loop reports it and stops.
class ResponseSink {
public:
    static constexpr std::size_t BUFFER_BYTES = 128 * 1024;

    explicit ResponseSink(int fd);

    void append(std::string_view bytes) {
        if (BUFFER_BYTES - used_ >= bytes.size()) {
            if (!bytes.empty()) std::memcpy(buffer_.get() + used_, bytes.data(), bytes.size());
            used_ += bytes.size();
            return;
        }
        append_in_pieces(bytes);
    }

    // A literal, whose size the compiler knows: a few moves rather than a
    // call, which counts at a million entries.
    template <std::size_t N>
    void append(const char (&literal)[N]) {
        constexpr std::size_t SIZE = N - 1;
        static_assert(SIZE <= BUFFER_BYTES);
        if (BUFFER_BYTES - used_ < SIZE) send();
        std::memcpy(buffer_.get() + used_, literal, SIZE);
        used_ += SIZE;
    }

    // Plain decimal.
    void append_number(std::uint64_t value);

    // `text` as a JSON string, quotes included, escaped as write_json escapes
    // it. `text` must be well-formed UTF-8: only the bytes below 0x20, the
    // quotation mark and the backslash change.
    void append_json_string(std::string_view text) {
        if (text.empty()) {
            append("\"\"");
            return;
        }
        append("\"");
        append_json_escaped(text);
        append("\"");
    }

    // The same without the quotes, for a string written in pieces.
    void append_json_escaped(std::string_view text);

    // The same for bytes that may be ill-formed: each maximal ill-formed
    // subpart is written as U+FFFD, as write_json writes it.
    void append_json_string_of_bytes(std::string_view bytes);

    // A write of this response has failed (the error number, or
    // WRITE_NO_PROGRESS); 0 while none has.
    int error() const { return error_; }

    // For the loop: whether part of the response has gone out; dropping what
    // is held so far, when nothing has; and the line feed that ends the
    // response, with everything still held sent. end_line gives 0 or the
    // error of the first write that failed (a sink that failed stays so).
    bool sent_any() const { return sent_; }
    void discard() { used_ = 0; }
    int end_line();

    struct Escapes;

private:
    void send();
    void append_in_pieces(std::string_view bytes);

    int fd_;
    const Escapes* escapes_;  // the writer's escape of every byte, made once
    std::unique_ptr<char[]> buffer_;
    std::size_t used_ = 0;
    bool sent_ = false;
    int error_ = 0;
};

// A capturing group's bytes in the text, or none (start below 0) for a group
// that did not take part.
struct CaptureSpan {
    std::int64_t start = -1;
    std::int64_t end = -1;
};

// One MatchEntry, {"captures":[...],"groups":{},"index":START,"match":"..."},
// its texts cut from `text` (the request's well-formed text) by byte offsets
// that lie within it. A slice whose ends fall inside a character (a search
// over bytes) has U+FFFD for what is left of it there.
void append_match_entry(ResponseSink& out, std::string_view text, std::size_t start,
                        std::size_t end, std::span<const CaptureSpan> captures = {});

}  // namespace brindlecap
