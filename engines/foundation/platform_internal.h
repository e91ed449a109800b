// What the platform layer's sources share among themselves: UTF-8 and UTF-16
// conversions. Not for the engine's own code.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace brindlecap::foundation::platform::internal {

// Writes the units as UTF-8 at `out`, which has room for three bytes a unit
// (a pair of units makes four), and returns how many bytes it wrote; a
// surrogate without its partner becomes U+FFFD.
std::size_t utf16_to_utf8(char* out, const char16_t* units, std::size_t count);

// Writes the units of `utf8` to `out`, which has room for one unit per byte,
// and returns how many it wrote; each ill-formed sequence becomes U+FFFD.
std::size_t utf8_to_utf16(char16_t* out, std::string_view utf8);

std::u16string to_utf16(std::string_view utf8);
std::string to_utf8(std::u16string_view units);

}  // namespace brindlecap::foundation::platform::internal
