#include "engine.h"

#include <algorithm>
#include <string_view>
#include <vector>

namespace brindlecap::foundation {

namespace {

// The position of the first cluster equal to `delimiter` at or after `from`,
// or n when there is none.
std::size_t find_cluster(const std::vector<std::string_view>& clusters, std::size_t from,
                         std::string_view delimiter) {
    std::size_t i = from;
    while (i < clusters.size() && clusters[i] != delimiter) ++i;
    return i;
}

std::string join(const std::vector<std::string_view>& clusters, std::size_t from, std::size_t to) {
    std::string out;
    for (std::size_t i = from; i < to; ++i) out += clusters[i];
    return out;
}

}  // namespace

GroupNameMap scan_group_names(std::string_view pattern) {
    // A cluster is one of the ASCII characters below only when it is exactly
    // that character: "(" joined with a combining mark is something else.
    //
    // In ASCII text every character is a cluster of its own, except CR LF,
    // which is one cluster. Taking its CR and LF apart changes nothing: LF is
    // none of the characters the rules look for, every rule looks past a
    // cluster only to compare the next ones with such characters (where CR
    // and CR LF alike are not), and a name, a run of clusters, is the same
    // bytes either way. So an ASCII pattern needs no break iterator.
    const bool ascii = std::all_of(pattern.begin(), pattern.end(), [](char byte) {
        return static_cast<unsigned char>(byte) < 0x80;
    });
    if (!ascii) return scan_group_names_of_characters(platform::characters(pattern));
    std::vector<std::string_view> bytes;
    bytes.reserve(pattern.size());
    for (std::size_t i = 0; i < pattern.size(); ++i) bytes.push_back(pattern.substr(i, 1));
    return scan_group_names_of_characters(bytes);
}

GroupNameMap scan_group_names_of_characters(const std::vector<std::string_view>& c) {
    const std::size_t n = c.size();
    GroupNameMap names;
    std::size_t g = 0;
    bool in_class = false;
    std::size_t i = 0;

    // Records a named group whose name runs from `from` to the first
    // `delimiter`, and moves past that delimiter.
    auto take_name = [&](std::size_t from, std::string_view delimiter) {
        ++g;
        const std::size_t close = find_cluster(c, from, delimiter);
        names[g] = join(c, from, close);
        i = close + 1;
    };

    while (i < n) {
        const std::string_view here = c[i];
        if (here == "\\" && i + 1 < n) {
            i += 2;
        } else if (in_class) {
            if (here == "]") in_class = false;
            ++i;
        } else if (here == "[") {
            in_class = true;
            ++i;
        } else if (here == "(") {
            if (i + 1 >= n || c[i + 1] != "?") {
                ++g;
                ++i;
            } else if (i + 2 >= n) {
                ++i;
            } else if (c[i + 2] == "<") {
                if (i + 3 < n && c[i + 3] != "=" && c[i + 3] != "!") {
                    take_name(i + 3, ">");
                } else {
                    ++i;
                }
            } else if (c[i + 2] == "'") {
                take_name(i + 3, "'");
            } else if (c[i + 2] == "P") {
                if (i + 3 < n && c[i + 3] == "<") {
                    take_name(i + 4, ">");
                } else {
                    ++i;
                }
            } else {
                ++i;
            }
            in_class = false;
        } else {
            ++i;
        }
    }
    return names;
}

}  // namespace brindlecap::foundation
