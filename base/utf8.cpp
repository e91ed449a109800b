#include "utf8.h"

namespace brindlecap {

namespace {

bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

}  // namespace

// Well-formed sequences as Unicode defines them (no overlongs, no surrogates,
// nothing above U+10FFFF). A sequence that breaks off counts as one maximal
// ill-formed subpart: the lead and the continuation bytes that were valid so far.
std::size_t utf8_sequence_length(std::string_view bytes, std::size_t* subpart) {
    const auto at = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const unsigned char lead = at(0);
    if (lead < 0x80) return 1;

    std::size_t length = 0;
    unsigned char second_low = 0x80, second_high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) second_low = 0xA0;
        if (lead == 0xED) second_high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) second_low = 0x90;
        if (lead == 0xF4) second_high = 0x8F;
    } else {
        if (subpart) *subpart = 1;
        return 0;
    }

    for (std::size_t i = 1; i < length; ++i) {
        const bool ok = i < bytes.size() && (i == 1 ? (at(i) >= second_low && at(i) <= second_high)
                                                    : is_continuation(at(i)));
        if (!ok) {
            if (subpart) *subpart = i;
            return 0;
        }
    }
    return length;
}

bool is_valid_utf8(std::string_view bytes) {
    std::size_t i = 0;
    const std::size_t n = bytes.size();
    while (i < n) {
        // Plain ASCII runs dominate real requests; skip them eight bytes at a time.
        while (i + 8 <= n) {
            unsigned long long word = 0;
            for (std::size_t k = 0; k < 8; ++k)
                word |= static_cast<unsigned long long>(static_cast<unsigned char>(bytes[i + k]))
                        << (8 * k);
            if (word & 0x8080808080808080ULL) break;
            i += 8;
        }
        if (i >= n) break;
        const std::size_t length = utf8_sequence_length(bytes.substr(i));
        if (length == 0) return false;
        i += length;
    }
    return true;
}

std::string decode_with_replacement(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        std::size_t subpart = 0;
        const std::size_t length = utf8_sequence_length(bytes.substr(i), &subpart);
        if (length == 0) {
            out += "\xEF\xBF\xBD";
            i += subpart;
        } else {
            out.append(bytes.substr(i, length));
            i += length;
        }
    }
    return out;
}

}  // namespace brindlecap
