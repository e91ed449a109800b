// Texts the runners build: status texts, trimming, UTF-8 fault texts, the
// Rscript failure message.
#include "texts.h"

#include "base/lines.h"
#include "base/utf8.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <sys/wait.h>

namespace brindlecap::interpreter {

std::string exit_status_text(int wait_status) {
    if (WIFEXITED(wait_status)) {
        return "exit status: " + std::to_string(WEXITSTATUS(wait_status));
    }
    if (WIFSIGNALED(wait_status)) {
        int signal_number = WTERMSIG(wait_status);
        std::string text = "signal: " + std::to_string(signal_number);
        if (std::string_view name = signal_name(signal_number); !name.empty()) {
            text += " (";
            text += name;
            text += ")";
        }
        if (WCOREDUMP(wait_status)) {
            text += " (core dumped)";
        }
        return text;
    }
    // waitpid without options reports only exits and signals.
    return "unrecognised wait status: " + std::to_string(wait_status);
}

std::string_view trim_white_space(std::string_view text) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    const auto length = static_cast<int32_t>(text.size());
    int32_t start = 0;
    while (start < length) {
        int32_t next = start;
        UChar32 c;
        U8_NEXT(bytes, next, length, c);
        if (c < 0 || !u_hasBinaryProperty(c, UCHAR_WHITE_SPACE)) {
            break;
        }
        start = next;
    }
    int32_t end = length;
    while (end > start) {
        int32_t previous = end;
        UChar32 c;
        U8_PREV(bytes, start, previous, c);
        if (c < 0 || !u_hasBinaryProperty(c, UCHAR_WHITE_SPACE)) {
            break;
        }
        end = previous;
    }
    return text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start));
}

std::string utf8_error_text(std::string_view bytes) {
    // Output is nearly always well formed: one quick pass, the same rules.
    if (is_valid_utf8(bytes)) {
        return {};
    }
    std::size_t index = 0;
    while (index < bytes.size()) {
        std::size_t subpart = 0;
        std::string_view rest = bytes.substr(index);
        std::size_t length = utf8_sequence_length(rest, &subpart);
        if (length != 0) {
            index += length;
            continue;
        }
        // A lead byte whose subpart runs to the very end could still have
        // been completed by more bytes.
        auto lead = static_cast<unsigned char>(rest[0]);
        if (lead >= 0xC2 && lead <= 0xF4 && subpart == rest.size()) {
            return "incomplete utf-8 byte sequence from index " + std::to_string(index);
        }
        return "invalid utf-8 sequence of " + std::to_string(subpart) + " bytes from index " +
               std::to_string(index);
    }
    return {};
}

std::string rscript_failure_message(const ChildOutput& output) {
    std::string errors = decode_with_replacement(output.stderr_bytes);
    std::string kept;
    bool first = true;
    for (std::string_view line : split_lines(errors)) {
        if (line.starts_with("Execution halted")) {
            continue;
        }
        if (!first) {
            kept += '\n';
        }
        kept += line;
        first = false;
    }
    if (std::string_view message = trim_white_space(kept); !message.empty()) {
        return std::string(message);
    }
    std::string out = decode_with_replacement(output.stdout_bytes);
    if (std::string_view message = trim_white_space(out); !message.empty()) {
        return std::string(message);
    }
    return "Rscript exited with status " + exit_status_text(output.wait_status);
}

}  // namespace brindlecap::interpreter
