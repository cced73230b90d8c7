// The simulated executive pool: every allocation tracked by tag and pool type, new memory filled
// with a pattern, outstanding allocations queryable, and failures injectable. A pool type the
// simulated system does not know (the non-executable types before Windows 8) is a fault, as
// Windows stops with BAD_POOL_CALLER.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim::pool {

// Byte written into every new allocation, so a driver relying on zeroed memory is caught.
inline constexpr uint8_t kFillPattern = 0xCD;

struct Allocation {
    const void* address;
    size_t size;
    uint32_t tag;
    int poolType;
};

// Tag as four characters, low byte first ("Tarv").
std::string TagText(uint32_t tag);
uint32_t TagFromText(const std::string& text);

// Outstanding allocations, all or those of one tag.
std::vector<Allocation> Outstanding();
size_t OutstandingCount();
size_t OutstandingCount(const std::string& tag);
// The outstanding allocations per tag, one line each: "pool tag 'Tarv': 2 allocations, 64 bytes
// still allocated".
std::vector<std::string> DescribeOutstanding();
// Every allocation made since the last reset, freed or not, in order (failed ones excluded):
// address, size, tag and pool type as asked for.
std::vector<Allocation> History();
// Total number of allocations attempted since the last reset (failed ones included).
uint64_t AllocationCount();
// The tags of those allocations, each once, in the order of first use.
std::vector<std::string> TagsUsed();

// Fault injection: fail the Nth allocation from now (1 = the next one), or every allocation
// with the given tag. Cleared by ClearFaults() and by Reset().
void FailNthAllocation(uint64_t n);
void FailTag(const std::string& tag);
void ClearFaults();

// Forgets the allocation history only: outstanding allocations, counters, tags and faults stay.
// A long-running program calls it so that the history does not grow without end.
void ForgetHistory();

// Forgets every allocation (freeing the memory) and clears faults and counters.
void Reset();

} // namespace sim::pool
