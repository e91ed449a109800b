// What one request may take of memory, stack and compile time, and how each
// limit was measured (Debian's TRE 0.8.0, x86-64).
#pragma once

#include <cstddef>
#include <cstdint>

namespace brindlecap::shell {

// Address space that compiling one pattern may add to what the engine holds.
// While tre_regcomp runs, the soft RLIMIT_AS is lowered to the address space
// in use plus this much (less where the host's own limit is lower), so TRE's
// allocations fail where the pattern would need more and TRE answers
// REG_ESPACE itself. The budget is address space, not resident memory: the
// peak resident size of a compile that fails this way stays below it (the
// patterns of the tests peak at about 1.1 GiB resident for the whole engine).
constexpr std::uint64_t COMPILE_BUDGET_BYTES = std::uint64_t{1} << 30;

// The request loop runs on a stack of its own, because TRE's matchers take
// their working space from the stack (alloca): the parallel and approximate
// matchers a block that grows with the number of states times the number of
// tags. It is as large as this where no address-space limit is set; pages
// are only used where touched.
constexpr std::size_t LOOP_STACK_BYTES = std::size_t{1} << 30;
// Under an address-space limit the stack takes this share of the room left
// at start (one part in LOOP_STACK_SHARE), so that most of the room stays
// for compiling; less is taken when the mapping cannot be had.
constexpr std::size_t LOOP_STACK_SHARE = 4;
constexpr std::size_t MIN_LOOP_STACK_BYTES = std::size_t{8} << 20;
// Stack kept free beside the matcher's block: the frames of the search and
// of the matchers themselves (a few KiB) and the C library's calls from them.
constexpr std::size_t STACK_RESERVE_BYTES = std::size_t{256} << 10;

// What no allocation shows: time. Some patterns take TRE seconds to compile
// in little memory, so these counts of the expansion model (see
// expansion.h) are refused before TRE sees the pattern.
//
// Copied nodes: TRE copies the tree of a bounded repetition once per count
// and then works on every node; a pattern of nested bounds spends seconds
// there before the compile budget stops it (`((a{255}){255}){255}` took
// 2.4 s to reach it). About 3 million nodes a second: `((a{255}){255}){8}`
// (about 1.6 million nodes) takes 0.7 s, `((a{255}){255}){16}` (3.1 million)
// 1.1 s.
constexpr std::uint64_t NODE_LIMIT = std::uint64_t{1} << 22;
// Tags: past a copy that can match empty, TRE appends its tags to every
// position-set entry and transition after it, so a run of such copies writes
// quadratically many, at about 70 million a second, in memory that stays
// inside the compile budget: `(a*a*a*a*a*a*a*){0,255}` (175 million) takes
// 2.6 s in 860 MiB, `((a*){5}){5,255}` (192 million) 2.1 s, while
// `(a*a*a*a*a*a*a*){0,150}` (36 million) takes 0.6 s.
constexpr std::uint64_t TAG_LIMIT = std::uint64_t{1} << 26;
// Slot scans: TRE looks for each new transition's slot from the state's first
// one, so a state with n transitions costs n * n steps. Measured at about a
// quarter of a nanosecond each: this many take about half a second
// (`((a?){255}){8}` case-blind goes past it, `((a?){255}){4}` does not).
constexpr std::uint64_t SLOT_SCAN_LIMIT = std::uint64_t{1} << 31;
// Empty-match walks: each time TRE joins a nullable piece to the next one it
// walks the whole piece twice for its empty match, so a run of nullable
// copies is walked once per copy. A node visit takes 5 to 20 nanoseconds, more
// as the tree outgrows the caches; this many take a third to half a second
// (`(||||){255}{255}` goes far past it and takes TRE 12 s in 215 MB;
// `(||||){40}{255}` stays below).
constexpr std::uint64_t EMPTY_WALK_LIMIT = std::uint64_t{1} << 25;
// The model keeps a record per open group while it reads a pattern; nested
// deeper than this, the pattern is refused, so that the model's own memory
// stays small beside the request (about 400 bytes per level).
constexpr std::size_t MAX_OPEN_GROUPS = 10'000;

}  // namespace brindlecap::shell
