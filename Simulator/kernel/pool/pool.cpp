// The executive pool: tagged allocations with a fill pattern, a guard zone after each block,
// per-tag accounting and fault injection.
#include "kernel/pool/pool.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

#include "kernel/debug/faults.hpp"
#include "kernel/rtl/version.hpp"
#include "sim_ntddk.h"

namespace sim::pool {
namespace {

constexpr size_t kGuardSize = 16;
constexpr uint8_t kGuardPattern = 0xFD;

struct Block {
    size_t size;
    uint32_t tag;
    int poolType;
};

// The blocks still outstanding; whatever a test left behind is released at process exit so the
// leak checker reports only what the simulator itself loses.
struct BlockTable : std::map<const void*, Block> {
    ~BlockTable()
    {
        for (const auto& entry : *this)
            std::free(const_cast<void*>(entry.first));
    }
};

std::mutex gLock;
BlockTable gBlocks;
uint64_t gAllocations = 0;
uint64_t gFailAt = 0; // absolute allocation number to fail, 0 for none
std::set<uint32_t> gFailTags;
std::vector<uint32_t> gTagsUsed;
std::vector<Allocation> gHistory;

constexpr int kNxPoolTypes = 512; // NonPagedPoolNx and the types derived from it

bool GuardIntact(const uint8_t* block, size_t size)
{
    for (size_t i = 0; i < kGuardSize; ++i)
        if (block[size + i] != kGuardPattern)
            return false;
    return true;
}

} // namespace

std::string TagText(uint32_t tag)
{
    std::string text;
    for (int i = 0; i < 4; ++i) {
        const char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        text += (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    return text;
}

uint32_t TagFromText(const std::string& text)
{
    uint32_t tag = 0;
    for (size_t i = 0; i < 4 && i < text.size(); ++i)
        tag |= static_cast<uint32_t>(static_cast<uint8_t>(text[i])) << (8 * i);
    return tag;
}

std::vector<Allocation> Outstanding()
{
    std::lock_guard guard(gLock);
    std::vector<Allocation> result;
    for (const auto& [address, block] : gBlocks)
        result.push_back({address, block.size, block.tag, block.poolType});
    return result;
}

size_t OutstandingCount()
{
    std::lock_guard guard(gLock);
    return gBlocks.size();
}

size_t OutstandingCount(const std::string& tag)
{
    const uint32_t wanted = TagFromText(tag);
    std::lock_guard guard(gLock);
    size_t count = 0;
    for (const auto& entry : gBlocks)
        count += entry.second.tag == wanted ? 1 : 0;
    return count;
}

std::vector<std::string> DescribeOutstanding()
{
    struct Total {
        size_t count = 0;
        size_t bytes = 0;
    };
    std::map<std::string, Total> byTag;
    for (const auto& allocation : Outstanding()) {
        Total& total = byTag[TagText(allocation.tag)];
        ++total.count;
        total.bytes += allocation.size;
    }
    std::vector<std::string> lines;
    for (const auto& [tag, total] : byTag)
        lines.push_back("pool tag '" + tag + "': " + std::to_string(total.count) +
                        (total.count == 1 ? " allocation, " : " allocations, ") +
                        std::to_string(total.bytes) + " bytes still allocated");
    return lines;
}

std::vector<Allocation> History()
{
    std::lock_guard guard(gLock);
    return gHistory;
}

uint64_t AllocationCount()
{
    std::lock_guard guard(gLock);
    return gAllocations;
}

std::vector<std::string> TagsUsed()
{
    std::lock_guard guard(gLock);
    std::vector<std::string> tags;
    for (uint32_t tag : gTagsUsed)
        tags.push_back(TagText(tag));
    return tags;
}

void FailNthAllocation(uint64_t n)
{
    std::lock_guard guard(gLock);
    gFailAt = n == 0 ? 0 : gAllocations + n;
}

void FailTag(const std::string& tag)
{
    std::lock_guard guard(gLock);
    gFailTags.insert(TagFromText(tag));
}

void ClearFaults()
{
    std::lock_guard guard(gLock);
    gFailAt = 0;
    gFailTags.clear();
}

void ForgetHistory()
{
    std::lock_guard guard(gLock);
    std::vector<Allocation>().swap(gHistory);
}

void Reset()
{
    std::lock_guard guard(gLock);
    for (const auto& entry : gBlocks)
        std::free(const_cast<void*>(entry.first));
    gBlocks.clear();
    gAllocations = 0;
    gFailAt = 0;
    gFailTags.clear();
    gTagsUsed.clear();
    gHistory.clear();
}

} // namespace sim::pool

using namespace sim::pool;

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    std::lock_guard guard(gLock);
    ++gAllocations;
    if (std::find(gTagsUsed.begin(), gTagsUsed.end(), Tag) == gTagsUsed.end())
        gTagsUsed.push_back(Tag);
    if (gAllocations == gFailAt || gFailTags.count(Tag) != 0)
        return nullptr;
    if ((static_cast<int>(PoolType) & kNxPoolTypes) != 0 &&
        !sim::rtl::CurrentSystemVersion().HasNxPool()) {
        sim::faults::Report(
            "pool: pool type " + std::to_string(static_cast<int>(PoolType)) +
            " (non-executable) on a system before Windows 8 (6.2), which does not know "
            "it: BAD_POOL_CALLER");
        return nullptr;
    }
    auto* block = static_cast<uint8_t*>(std::malloc(NumberOfBytes + kGuardSize));
    if (block == nullptr)
        return nullptr;
    gHistory.push_back({block, NumberOfBytes, Tag, static_cast<int>(PoolType)});
    std::memset(block, kFillPattern, NumberOfBytes);
    std::memset(block + NumberOfBytes, kGuardPattern, kGuardSize);
    gBlocks[block] = {NumberOfBytes, Tag, static_cast<int>(PoolType)};
    return block;
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    std::string problem;
    {
        std::lock_guard guard(gLock);
        auto it = gBlocks.find(P);
        if (it == gBlocks.end()) {
            problem = "pool: free of memory that is not an outstanding allocation (double free?)";
        } else {
            if (Tag != 0 && Tag != it->second.tag)
                problem = "pool: freed with tag '" + TagText(Tag) + "' but allocated with '" +
                          TagText(it->second.tag) + "'";
            if (!GuardIntact(static_cast<uint8_t*>(P), it->second.size))
                problem = "pool: write past the end of a '" + TagText(it->second.tag) +
                          "' allocation of " + std::to_string(it->second.size) + " bytes";
            gBlocks.erase(it);
            std::free(P);
        }
    }
    if (!problem.empty())
        sim::faults::Report(problem);
}

VOID NTAPI ExFreePool(PVOID P)
{
    ExFreePoolWithTag(P, 0);
}
