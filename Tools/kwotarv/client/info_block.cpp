// The info block layout, read back from its bytes.
#include "client/info_block.hpp"

#include <algorithm>

#include "kwotarv_public.h"
#include "client/text.hpp"

namespace kwotarv {

namespace {

constexpr size_t kHeaderSize = offsetof(CHIP_INFO_BLOCK, Groups);
constexpr size_t kGroupSize = sizeof(SENSOR_GROUP);
constexpr size_t kDescriptionOffset = offsetof(CHIP_INFO_BLOCK, Description);
constexpr size_t kGroupCountOffset = offsetof(CHIP_INFO_BLOCK, GroupCount);
constexpr size_t kNameOffset = offsetof(SENSOR_GROUP, u);
constexpr size_t kAttributeOffset = offsetof(SENSOR_GROUP, u.Temperature.Attribute);
constexpr size_t kAttribute2Offset = offsetof(SENSOR_GROUP, u.Temperature.Attribute2);
constexpr size_t kMaxGroups = 3;

bool AllZero(std::span<const uint8_t> bytes)
{
    return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
}

} // namespace

std::vector<std::string> SplitVoltageList(const std::string& list)
{
    std::vector<std::string> names;
    std::string current;
    for (char c : list) {
        if (c == ' ') {
            if (!current.empty())
                names.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty())
        names.push_back(current);
    return names;
}

InfoBlock DecodeInfoBlock(std::span<const uint8_t> bytes)
{
    InfoBlock block;
    if (bytes.size() < kHeaderSize) {
        block.problems.push_back("the block is " + std::to_string(bytes.size()) +
                                 " bytes long, shorter than its " + std::to_string(kHeaderSize) +
                                 "-byte header");
        return block;
    }
    block.size = ReadLe32(bytes, 0);
    if (block.size != bytes.size())
        block.problems.push_back("Size is " + std::to_string(block.size) + " but " +
                                 std::to_string(bytes.size()) + " bytes were returned");
    if (ReadLe32(bytes, 4) != 0 || ReadLe32(bytes, 8) != 0)
        block.problems.push_back("the reserved fields are not zero");
    block.description =
        Utf16LeToUtf8(bytes.subspan(kDescriptionOffset, kGroupCountOffset - kDescriptionOffset));
    block.groupCount = ReadLe32(bytes, kGroupCountOffset);

    size_t groups = block.groupCount;
    if (groups == 0 || groups > kMaxGroups) {
        block.problems.push_back("GroupCount is " + std::to_string(block.groupCount) +
                                 "; it must be 1 to 3");
        groups = std::min(groups, kMaxGroups);
    }
    const size_t expected = kHeaderSize + kGroupSize * (block.groupCount + 1);
    if (groups == block.groupCount && block.size != expected)
        block.problems.push_back("Size " + std::to_string(block.size) + " does not match " +
                                 std::to_string(block.groupCount) + " groups (expected " +
                                 std::to_string(expected) + ")");

    for (size_t g = 0; g < groups; ++g) {
        const size_t offset = kHeaderSize + g * kGroupSize;
        if (offset + kGroupSize > bytes.size()) {
            block.problems.push_back("group " + std::to_string(g + 1) + " lies past the end");
            break;
        }
        std::span<const uint8_t> record = bytes.subspan(offset, kGroupSize);
        InfoGroup group;
        group.kind = ReadLe16(record, 0);
        if (group.kind == HWM_SELECT_VOLTAGES) {
            group.names = SplitVoltageList(Utf16LeToUtf8(record.subspan(kNameOffset, 128)));
        } else {
            group.names.push_back(Utf16LeToUtf8(record.subspan(kNameOffset, 64)));
            group.attribute = ReadLe32(record, kAttributeOffset);
            group.attribute2 = ReadLe32(record, kAttribute2Offset);
        }
        if (group.kind != g + 1)
            block.problems.push_back("group " + std::to_string(g + 1) + " has kind " +
                                     std::to_string(group.kind));
        block.groups.push_back(std::move(group));
    }

    // The record after the last group is always zero.
    const size_t trailer = kHeaderSize + groups * kGroupSize;
    if (trailer + kGroupSize <= bytes.size() && !AllZero(bytes.subspan(trailer, kGroupSize)))
        block.problems.push_back("the record after the last group is not zero");
    return block;
}

} // namespace kwotarv
