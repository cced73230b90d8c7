// The info block decoded from its bytes, and the departures from its layout it reports.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/info_block.hpp"
#include "client/scripted_device.hpp"

namespace {

using namespace kwotarv;
using namespace kwotarvtest;

std::vector<uint8_t> InfoBlockBytes(uint32_t groups, const std::string& voltages,
                                    const std::vector<std::string>& temperatures)
{
    const uint32_t size = 272 + 132 * (groups + 1);
    std::vector<uint8_t> block(size, 0);
    auto put32 = [&](size_t offset, uint32_t v) {
        auto bytes = Le32(v);
        std::copy(bytes.begin(), bytes.end(), block.begin() + offset);
    };
    auto putText = [&](size_t offset, const std::string& text) {
        for (size_t i = 0; i < text.size(); ++i)
            block[offset + 2 * i] = static_cast<uint8_t>(text[i]);
    };
    put32(0, size);
    putText(12, "Winbond W83627HF Hardware Monitor");
    put32(268, groups);
    block[272] = 1;
    putText(276, voltages);
    for (size_t t = 0; t < temperatures.size(); ++t) {
        const size_t record = 272 + 132 * (t + 1);
        block[record] = static_cast<uint8_t>(t + 2);
        putText(record + 4, temperatures[t]);
        put32(record + 68, 1);
    }
    return block;
}

TEST(InfoBlockDecode, ThreeGroups)
{
    InfoBlock decoded = DecodeInfoBlock(InfoBlockBytes(3, "VCORE +12V ", {"CPU", "System"}));
    EXPECT_TRUE(decoded.problems.empty());
    EXPECT_EQ(decoded.size, 800u);
    EXPECT_EQ(decoded.description, "Winbond W83627HF Hardware Monitor");
    ASSERT_EQ(decoded.groups.size(), 3u);
    EXPECT_EQ(decoded.groups[0].names, (std::vector<std::string>{"VCORE", "+12V"}));
    EXPECT_EQ(decoded.groups[1].names, std::vector<std::string>{"CPU"});
    EXPECT_EQ(decoded.groups[1].attribute, 1u);
    EXPECT_EQ(decoded.groups[2].kind, 3);
}

TEST(InfoBlockDecode, LayoutFaultsAreReported)
{
    auto block = InfoBlockBytes(1, "VCORE ", {});
    block[536 - 1] = 0x7F; // the trailing record must be zero
    EXPECT_EQ(DecodeInfoBlock(block).problems.size(), 1u);

    auto wrongSize = InfoBlockBytes(2, "VCORE ", {"CPU"});
    wrongSize[0] = 0x18; // Size 536 for two groups, 668 bytes returned
    wrongSize[1] = 0x02;
    EXPECT_EQ(DecodeInfoBlock(wrongSize).problems.size(), 2u);

    EXPECT_EQ(DecodeInfoBlock(std::vector<uint8_t>(100, 0)).problems.size(), 1u);
}

} // namespace
