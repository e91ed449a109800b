// Building file paths from pieces.
#pragma once

#include <string>
#include <string_view>

namespace brindlecap {

// left + "/" + piece, without the "/" when left is empty or already ends in
// one. Nothing is normalised: "." and ".." pieces stay as they are.
std::string join_path(std::string_view left, std::string_view piece);

}  // namespace brindlecap
