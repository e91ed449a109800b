// How long TRE will take to build its automaton for a pattern, reckoned
// before TRE builds it. TRE copies the sub-expression of a bounded repetition
// once per count, so nested bounds multiply. Memory needs no reckoning (TRE's
// own allocations decide it, under a budget), but some patterns take TRE
// seconds within that budget or in little memory: it copies every node of a
// repeated piece, appends tags past every nullable copy, walks a run of
// nullable copies for the empty match once per copy, and scans a state's
// transitions for each new one.
#pragma once

#include <cstdint>
#include <string_view>

namespace brindlecap::shell {

// Counts over TRE's tree after it has expanded every bound, saturating far
// above any limit.
struct ExpansionEstimate {
    // Tree nodes, every copy counted: TRE makes each of them and computes
    // its position sets.
    std::uint64_t nodes = 0;
    // Sum over states of the squared number of transitions leaving it: TRE
    // looks for a state's next free slot from its first one.
    std::uint64_t slot_scans = 0;
    // Nodes visited by TRE's walks for the empty match of a nullable side of
    // each catenation: a run of nullable copies is walked once per copy.
    std::uint64_t empty_walks = 0;
    // Tags TRE writes into the arrays of its position set entries and
    // transitions: past a piece that can match empty, TRE appends that
    // piece's tags to each entry.
    std::uint64_t tags = 0;
    // Nested deeper than the estimate reads.
    bool too_deep = false;
    // A bound with approximate-matching settings inside a repetition that
    // TRE expands: TRE's compiler crashes on the copies.
    bool copies_approximate = false;
};

// The estimate for an extended-syntax text as TRE is given it, read the way
// TRE's parser reads it in the current locale. A text that TRE refuses while
// parsing may get any estimate: TRE stops before it copies anything.
ExpansionEstimate estimate_expansion(std::string_view tre_text, bool icase);

// Whether TRE would take more time for the pattern than a request may.
bool expansion_too_large(const ExpansionEstimate& estimate);

}  // namespace brindlecap::shell
