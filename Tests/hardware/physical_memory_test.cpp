// Physical memory: the firmware image of the F-segment and the MmMapIoSpace rules.
#include <filesystem>
#include <fstream>

#include <unistd.h>

#include "hardware/hardware.hpp"
#include "support/sim_fixture.hpp"

#include "kernel.h"

namespace {

class PhysicalMemoryTest : public SimTest {
  protected:
    sim::hw::PhysicalMemory& memory = sim::hw::Current().memory;

    static PVOID Map(ULONGLONG address, SIZE_T length)
    {
        PHYSICAL_ADDRESS physical;
        physical.QuadPart = static_cast<LONGLONG>(address);
        return MmMapIoSpace(physical, length, MmCached);
    }
    static std::filesystem::path TempFile(const std::string& name)
    {
        return std::filesystem::temp_directory_path() /
               ("kwo_" + name + "_" + std::to_string(::getpid()) + ".bin");
    }
    static void WriteFile(const std::filesystem::path& file, const std::vector<uint8_t>& bytes)
    {
        std::ofstream out(file, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
    }
};

TEST_F(PhysicalMemoryTest, SynthesisedImageHoldsTheTextInZeroes)
{
    memory.SynthesiseFirmware("QIB-1234 BIOS V1.0", 0x1234);
    auto* image = static_cast<const uint8_t*>(Map(0xF0000, 0xFFFF));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(image + 0x1234)), "QIB-1234 BIOS V1.0");
    EXPECT_EQ(image[0x1233], 0);
    EXPECT_EQ(image[0], 0);
    MmUnmapIoSpace(const_cast<uint8_t*>(image), 0xFFFF);
    EXPECT_TRUE(memory.OutstandingMappings().empty());
    EXPECT_EQ(memory.MapCount(), 1u);
    EXPECT_EQ(memory.UnmapCount(), 1u);

    EXPECT_THROW(memory.SynthesiseFirmware("ABC", 0xFFFE), std::out_of_range);
    memory.SynthesiseFirmware("AB", 0xFFFE); // exactly up to 0xFFFFF
    EXPECT_EQ(memory.FirmwareImage()[0xFFFF], 'B');
}

TEST_F(PhysicalMemoryTest, MappingsOutsideTheSegmentFail)
{
    struct Case {
        ULONGLONG address;
        SIZE_T length;
        bool maps;
    };
    for (const Case& c :
         {Case{0xF0000, 0x10000, true}, Case{0xF0000, 0xFFFF, true}, Case{0xFFFFF, 1, true},
          Case{0xF8000, 0x100, true}, Case{0xF0000, 0x10001, false}, Case{0xEFFFF, 2, false},
          Case{0xFFFFF, 2, false}, Case{0x100000, 1, false}, Case{0xA0000, 0x100, false},
          Case{0xF0000, 0, false}, Case{0xFFFFFFFFFFFF0000ull, 0x10, false}}) {
        PVOID mapped = Map(c.address, c.length);
        EXPECT_EQ(mapped != nullptr, c.maps) << std::hex << c.address << " + " << c.length;
        if (mapped)
            MmUnmapIoSpace(mapped, c.length);
    }
    EXPECT_TRUE(memory.OutstandingMappings().empty());
}

TEST_F(PhysicalMemoryTest, MappingIsACopyOfExactlyTheRequestedBytes)
{
    memory.SynthesiseFirmware("Z", 0xFFFF);
    auto* all = static_cast<uint8_t*>(Map(0xF0000, 0x10000));
    auto* part = static_cast<uint8_t*>(Map(0xFFFF0, 0x10));
    ASSERT_NE(all, nullptr);
    ASSERT_NE(part, nullptr);
    EXPECT_NE(all + 0xFFF0, part);
    EXPECT_EQ(all[0xFFFF], 'Z');
    EXPECT_EQ(part[0xF], 'Z');
    ASSERT_EQ(memory.OutstandingMappings().size(), 2u);
    MmUnmapIoSpace(all, 0x10000);
    MmUnmapIoSpace(part, 0x10);
}

TEST_F(PhysicalMemoryTest, WrongLengthAndDoubleUnmapAreReported)
{
    PVOID mapped = Map(0xF0000, 0xFFFF);
    ASSERT_NE(mapped, nullptr);
    MmUnmapIoSpace(mapped, 0x10000);
    ASSERT_EQ(sim::faults::All().size(), 1u);
    EXPECT_NE(sim::faults::All()[0].find("length 0x10000"), std::string::npos);
    EXPECT_TRUE(memory.OutstandingMappings().empty()); // released anyway
    MmUnmapIoSpace(mapped, 0xFFFF);
    EXPECT_EQ(sim::faults::All().size(), 2u);
    int local = 0;
    MmUnmapIoSpace(&local, 4);
    EXPECT_EQ(sim::faults::All().size(), 3u);
    sim::faults::Clear();
}

TEST_F(PhysicalMemoryTest, OutstandingMappingsAreQueryableAndReportable)
{
    PVOID mapped = Map(0xF0000, 0xFFFF);
    auto outstanding = memory.OutstandingMappings();
    ASSERT_EQ(outstanding.size(), 1u);
    EXPECT_EQ(outstanding[0].physicalAddress, 0xF0000u);
    EXPECT_EQ(outstanding[0].length, 0xFFFFu);
    EXPECT_EQ(outstanding[0].address, mapped);
    memory.ReportOutstandingMappings();
    EXPECT_EQ(sim::faults::All().size(), 1u);
    sim::faults::Clear();
    MmUnmapIoSpace(mapped, 0xFFFF);
}

TEST_F(PhysicalMemoryTest, InjectedMappingFailures)
{
    memory.FailNextMaps(2);
    EXPECT_EQ(Map(0xF0000, 0xFFFF), nullptr);
    EXPECT_EQ(Map(0xF0000, 0xFFFF), nullptr);
    PVOID mapped = Map(0xF0000, 0xFFFF);
    EXPECT_NE(mapped, nullptr);
    MmUnmapIoSpace(mapped, 0xFFFF);
    memory.FailAllMaps(true);
    EXPECT_EQ(Map(0xF0000, 0xFFFF), nullptr);
    EXPECT_EQ(Map(0xF0000, 0xFFFF), nullptr);
    sim::ResetAll();
    mapped = Map(0xF0000, 0xFFFF);
    EXPECT_NE(mapped, nullptr);
    MmUnmapIoSpace(mapped, 0xFFFF);
}

TEST_F(PhysicalMemoryTest, FirmwareFilesOfBothDumpSizes)
{
    std::vector<uint8_t> full(0x10000);
    for (size_t i = 0; i < full.size(); ++i)
        full[i] = static_cast<uint8_t>(i * 7 + 1);
    const auto fullFile = TempFile("full");
    WriteFile(fullFile, full);
    memory.LoadFirmwareFile(fullFile);
    EXPECT_EQ(memory.FirmwareImage(), full);

    std::vector<uint8_t> shortDump(full.begin(), full.end() - 1);
    const auto shortFile = TempFile("short");
    WriteFile(shortFile, shortDump);
    memory.LoadFirmwareFile(shortFile);
    EXPECT_EQ(memory.FirmwareImage()[0xFFFE], full[0xFFFE]);
    EXPECT_EQ(memory.FirmwareImage()[0xFFFF], 0);

    const auto badFile = TempFile("bad");
    WriteFile(badFile, std::vector<uint8_t>(0x8000, 0x11));
    EXPECT_THROW(memory.LoadFirmwareFile(badFile), std::runtime_error);
    EXPECT_EQ(memory.FirmwareImage()[0], full[0]); // unchanged
    EXPECT_THROW(memory.LoadFirmwareFile(TempFile("missing")), std::runtime_error);

    for (const auto& file : {fullFile, shortFile, badFile})
        std::filesystem::remove(file);
}

} // namespace
