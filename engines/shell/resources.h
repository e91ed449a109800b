// The process's address space and stack, as the engine budgets them for TRE.
#pragma once

#include <sys/resource.h>

#include <cstddef>
#include <cstdint>

namespace brindlecap::shell {

// Bytes of address space the process has mapped now (what RLIMIT_AS
// limits); 0 when unknown.
std::uint64_t address_space_in_use();

// For its lifetime, holds the process's address space to what it uses now
// plus `budget` (the soft RLIMIT_AS, lowered and then restored); a lower
// limit that the host set stays as it is. AddressSanitizer's allocator maps
// most blocks inside address space it reserved at start, so under it the
// budget binds only for large blocks.
class AddressSpaceBudget {
public:
    explicit AddressSpaceBudget(std::uint64_t budget);
    ~AddressSpaceBudget();
    AddressSpaceBudget(const AddressSpaceBudget&) = delete;
    AddressSpaceBudget& operator=(const AddressSpaceBudget&) = delete;

private:
    rlimit saved_{};
    bool lowered_ = false;
};

// The size to ask for the request loop's stack: LOOP_STACK_BYTES without an
// address-space limit, else a share of the room the limit leaves.
std::size_t loop_stack_bytes();

// Bytes of stack below the caller's frame on the calling thread; 0 when
// unknown.
std::size_t stack_left();

}  // namespace brindlecap::shell
