// UTF-8 checks over byte strings of any size (size_t offsets throughout).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace brindlecap {

// Length of the well-formed UTF-8 sequence at the start of `bytes`, or 0 when
// it is ill-formed; `*subpart` (if given) receives the length of the maximal
// ill-formed subpart in that case (at least 1). `bytes` must not be empty.
std::size_t utf8_sequence_length(std::string_view bytes, std::size_t* subpart = nullptr);

bool is_valid_utf8(std::string_view bytes);

// Valid UTF-8 passes unchanged; each maximal ill-formed subpart becomes one
// U+FFFD.
std::string decode_with_replacement(std::string_view bytes);

}  // namespace brindlecap
