// Board identification from real firmware images: SeaBIOS booted under qemu with SMBIOS strings
// of our choosing, its F-segment saved with pmemsave and loaded as the simulated machine's
// physical memory, then identified through MatchProductName as the start request would.
//
// SeaBIOS builds the SMBIOS tables from qemu's strings and, when they total at most 600 bytes,
// copies them into the F-segment beside the entry point "_SM_" (larger tables go to high
// memory). With one processor, 32 MiB and short strings they stay well below that, so the
// product and BIOS version strings land in 0xF0000-0xFFFFF as on a real board.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "hardware/hardware.hpp"
#include "qemu_dump.hpp"
#include "config_fixture.hpp"

namespace {

class QemuFirmwareTest : public ConfigTest {
  protected:
    // Boots, dumps and loads the image; skips where qemu is not installed.
    void BootAndLoad(const std::vector<std::string>& options)
    {
        const auto qemu = kwo::test::FindQemu();
        if (!qemu)
            GTEST_SKIP() << "qemu-system-x86_64 is not installed (Debian packages "
                            "qemu-system-x86 and seabios): no real firmware image to test";
        const auto dump = kwo::test::DumpFirmwareSegment(*qemu, options);
        ASSERT_TRUE(dump.error.empty()) << dump.error;
        image_ = dump.image;
        sim::hw::Current().memory.SetFirmwareImage(image_);
    }

    // Offset in the segment of the first occurrence of the bytes, or npos.
    size_t Find(const std::string& bytes) const
    {
        const auto at = std::search(image_.begin(), image_.end(), bytes.begin(), bytes.end());
        return at == image_.end() ? std::string::npos : static_cast<size_t>(at - image_.begin());
    }

    // The SMBIOS 2.x structure table as the entry point describes it: [start, end) in the
    // physical address space.
    std::pair<uint32_t, uint32_t> SmbiosTable() const
    {
        const size_t entry = Find("_SM_");
        if (entry == std::string::npos || entry + 0x1F > image_.size())
            return {0, 0};
        uint16_t length;
        uint32_t address;
        std::memcpy(&length, &image_[entry + 0x16], sizeof(length));
        std::memcpy(&address, &image_[entry + 0x18], sizeof(address));
        return {address, address + length};
    }

    // Checks that a string sits inside the SMBIOS table, which sits inside the F-segment.
    void ExpectInSmbiosTable(const std::string& text)
    {
        const auto [start, end] = SmbiosTable();
        ASSERT_GE(start, 0xF0000u) << "SMBIOS table outside the F-segment";
        ASSERT_LE(end, 0x100000u);
        const size_t at = Find(text + std::string(1, '\0'));
        ASSERT_NE(at, std::string::npos) << "'" << text << "' is not in the F-segment";
        EXPECT_GE(0xF0000 + at, start);
        EXPECT_LT(0xF0000 + at, end);
    }

    std::vector<uint8_t> image_;
};

// Boots and loads, leaving the test when that was skipped or failed.
#define BOOT_AND_LOAD(...)                                                                         \
    do {                                                                                           \
        BootAndLoad(__VA_ARGS__);                                                                  \
        if (IsSkipped() || HasFatalFailure())                                                      \
            return;                                                                                \
    } while (0)

TEST_F(QemuFirmwareTest, ProductStringFromSystemInformation)
{
    BOOT_AND_LOAD({"-smbios", "type=1,manufacturer=Kwo,product=QIB-4711 BIOS V1.0"});
    ExpectInSmbiosTable("QIB-4711 BIOS V1.0");

    EXPECT_FALSE(MatchProductName("QIB-4711?"));
    EXPECT_TRUE(MatchProductName("QIB-47*"));
    EXPECT_EQ(HeldName(), "QIB-4711");
    EXPECT_EQ(sim::hw::Current().memory.MapCount(), 1u) << "the kept name is tested without "
                                                           "another mapping";
}

TEST_F(QemuFirmwareTest, BiosVersionStringWhenTheProductHasNoPrefix)
{
    BOOT_AND_LOAD({"-smbios", "type=0,vendor=Kwo,version=ZYF-77 BIOS V3"});
    ExpectInSmbiosTable("ZYF-77 BIOS V3");

    EXPECT_TRUE(MatchProductName("ZYF-77"));
}

TEST_F(QemuFirmwareTest, EarlierFamilyRowWinsOverEarlierPosition)
{
    // The BIOS information structure (type 0) comes before the system information (type 1), so
    // "ZYF" stands at a lower address than "QIB-"; the family table order decides.
    BOOT_AND_LOAD({"-smbios", "type=0,vendor=Kwo,version=ZYF-77 BIOS V3", "-smbios",
                   "type=1,product=QIB-4711 BIOS V1.0"});
    ASSERT_LT(Find("ZYF-77"), Find("QIB-4711"));

    EXPECT_TRUE(MatchProductName("QIB-4711"));
}

TEST_F(QemuFirmwareTest, StarredBannerInTheProductString)
{
    BOOT_AND_LOAD({"-smbios", "type=1,product=**** X-100 BIOS V2 ****"});
    ExpectInSmbiosTable("**** X-100 BIOS V2 ****");

    EXPECT_TRUE(MatchProductName("X-100"));
}

TEST_F(QemuFirmwareTest, PlainFirmwareNamesNoBoard)
{
    // SeaBIOS' own code and qemu's default strings ("QEMU", "Standard PC ...") hold no family
    // prefix and no banner: an unconfigured machine matches no pattern, not even "*".
    BOOT_AND_LOAD({});
    ASSERT_NE(Find("_SM_"), std::string::npos);

    EXPECT_FALSE(MatchProductName("*"));
    EXPECT_EQ(Globals.ProductName, nullptr);
    EXPECT_EQ(sim::pool::OutstandingCount(), 0u);
}

} // namespace
