// How large TRE's automaton for a pattern will be, reckoned before TRE
// builds it. TRE copies the sub-expression of a bounded repetition once per
// count, so nested bounds multiply, and it joins every last position of a
// piece to every first position of the next, so a run of optional copies
// grows quadratically. A pattern of a few bytes can thus take gigabytes.
#pragma once

#include <cstdint>
#include <string_view>

namespace brindlecap::shell {

// Counts over TRE's tree after it has expanded every bound, saturating far
// above any limit.
struct ExpansionEstimate {
    std::uint64_t nodes = 0;        // tree nodes, every copy counted
    std::uint64_t set_entries = 0;  // entries of the first/last position sets TRE allocates
    std::uint64_t transitions = 0;  // automaton transitions TRE allocates
    // Sum over states of the squared number of transitions leaving it: TRE
    // looks for a state's next free slot from its first one.
    std::uint64_t slot_scans = 0;
    // Nodes visited by TRE's walks for the empty match of a nullable side of
    // each catenation: a run of nullable copies is walked once per copy.
    std::uint64_t empty_walks = 0;
    // Tags in the arrays of set entries and transitions: past a piece that
    // can match empty, TRE appends that piece's tags to each entry.
    std::uint64_t set_tags = 0;
    std::uint64_t transition_tags = 0;
    // A bound with approximate-matching settings inside a repetition that
    // TRE expands: TRE's compiler crashes on the copies.
    bool copies_approximate = false;
};

// The estimate for an extended-syntax text as TRE is given it, read the way
// TRE's parser reads it in the current locale. A text that TRE refuses while
// parsing may get any estimate: TRE stops before it copies anything.
ExpansionEstimate estimate_expansion(std::string_view tre_text, bool icase);

// Whether TRE would need more memory or time for the pattern than a request
// may take.
bool expansion_too_large(const ExpansionEstimate& estimate);

}  // namespace brindlecap::shell
