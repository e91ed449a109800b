#include "response_sink.h"

#include "protocol.h"

#include "base/descriptor.h"
#include "base/utf8.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <string>

namespace brindlecap {

namespace {}  // namespace

// What the shared writer puts for each byte below 0x80 that it escapes,
// taken from the writer itself so that the two cannot disagree.
struct ResponseSink::Escapes {
    std::array<std::string, 128> text;
    std::array<bool, 256> needed{};
};

namespace {

const ResponseSink::Escapes& escapes() {
    static const ResponseSink::Escapes ESCAPES = [] {
        ResponseSink::Escapes escapes;
        for (unsigned c = 0; c < escapes.text.size(); ++c) {
            const char byte = static_cast<char>(c);
            append_json_escaped(escapes.text[c], std::string_view(&byte, 1));
            escapes.needed[c] = escapes.text[c].size() > 1;
        }
        return escapes;
    }();
    return ESCAPES;
}

constexpr std::string_view REPLACEMENT_CHARACTER = "\xEF\xBF\xBD";

// Whether the bytes from `at` on start a character (or are the end).
bool starts_character(std::string_view text, std::size_t at) {
    return at >= text.size() || (static_cast<unsigned char>(text[at]) & 0xC0) != 0x80;
}

// A slice of the text, written whole when both its ends fall between
// characters (then it is well-formed, as the text is).
void append_slice(ResponseSink& out, std::string_view text, std::size_t start, std::size_t end) {
    const std::string_view slice = text.substr(start, end - start);
    if (starts_character(text, start) && starts_character(text, end)) {
        out.append_json_string(slice);
    } else {
        out.append_json_string_of_bytes(slice);
    }
}

}  // namespace

ResponseSink::ResponseSink(int fd)
    : fd_(fd), escapes_(&escapes()), buffer_(new char[BUFFER_BYTES]) {}

void ResponseSink::send() {
    if (error_ == 0 && used_ > 0) {
        error_ = write_all(fd_, std::string_view(buffer_.get(), used_));
        sent_ = true;
    }
    used_ = 0;
}

void ResponseSink::append_in_pieces(std::string_view bytes) {
    while (!bytes.empty()) {
        if (used_ == BUFFER_BYTES) send();
        const std::size_t piece = std::min(bytes.size(), BUFFER_BYTES - used_);
        std::memcpy(buffer_.get() + used_, bytes.data(), piece);
        used_ += piece;
        bytes.remove_prefix(piece);
    }
}

void ResponseSink::append_number(std::uint64_t value) {
    constexpr std::size_t MOST_DIGITS = 20;  // of any uint64_t
    if (BUFFER_BYTES - used_ < MOST_DIGITS) send();
    char* const at = buffer_.get() + used_;
    used_ += static_cast<std::size_t>(std::to_chars(at, at + MOST_DIGITS, value).ptr - at);
}

void ResponseSink::append_json_escaped(std::string_view text) {
    const Escapes& table = *escapes_;
    std::size_t run = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (!table.needed[byte]) continue;
        append(text.substr(run, i - run));
        append(table.text[byte]);
        run = i + 1;
    }
    append(text.substr(run));
}

void ResponseSink::append_json_string_of_bytes(std::string_view bytes) {
    if (is_valid_utf8(bytes)) {
        append_json_string(bytes);
        return;
    }
    const Escapes& table = *escapes_;
    append("\"");
    std::size_t i = 0;
    while (i < bytes.size()) {
        std::size_t subpart = 0;
        const std::size_t length = utf8_sequence_length(bytes.substr(i), &subpart);
        if (length == 0) {
            append(REPLACEMENT_CHARACTER);
            i += subpart;
            continue;
        }
        const auto byte = static_cast<unsigned char>(bytes[i]);
        append(table.needed[byte] ? std::string_view(table.text[byte]) : bytes.substr(i, length));
        i += length;
    }
    append("\"");
}

int ResponseSink::end_line() {
    append("\n");
    send();
    const int error = error_;
    sent_ = false;
    return error;
}

void append_match_entry(ResponseSink& out, std::string_view text, std::size_t start,
                        std::size_t end, std::span<const CaptureSpan> captures) {
    out.append("{\"captures\":[");
    for (std::size_t g = 0; g < captures.size(); ++g) {
        if (g > 0) out.append(",");
        const CaptureSpan& capture = captures[g];
        if (capture.start < 0 || capture.end < capture.start) {
            out.append("null");
        } else {
            append_slice(out, text, static_cast<std::size_t>(capture.start),
                         static_cast<std::size_t>(capture.end));
        }
    }
    out.append("],\"groups\":{},\"index\":");
    out.append_number(start);
    out.append(",\"match\":");
    append_slice(out, text, start, end);
    out.append("}");
}

}  // namespace brindlecap
