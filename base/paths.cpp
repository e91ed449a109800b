#include "paths.h"

namespace brindlecap {

std::string join_path(std::string_view left, std::string_view piece) {
    std::string joined(left);
    if (!joined.empty() && joined.back() != '/') joined += '/';
    joined += piece;
    return joined;
}

}  // namespace brindlecap
