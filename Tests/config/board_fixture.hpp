// Fixture for the configuration store: a device extension as chip detection leaves it (an
// NCT6776's register counts), a firmware image naming the board "QIB-1234", and helpers that
// import a board's .reg file and read back the lists the load hangs on the extension.
#pragma once

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "hardware/hardware.hpp"
#include "kernel/registry/registry.hpp"
#include "config_fixture.hpp"
#include "config/board_config.h"

namespace kwo::test {

inline const std::string kProductKey =
    "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KwoTarv\\Product";

// The bytes of a text followed by its terminator.
inline std::string WithTerminator(const std::string& text)
{
    return text + std::string(1, '\0');
}

// UTF-16LE bytes of a text, without terminator.
inline std::vector<uint8_t> Utf16Bytes(const std::string& utf8)
{
    std::vector<uint8_t> bytes;
    for (char16_t unit : sim::registry::Utf8ToUtf16(utf8)) {
        bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<uint8_t>(unit >> 8));
    }
    return bytes;
}

// A channel's name as text, read within NameSize only.
inline std::string NameText(const SENSOR_CHANNEL& channel)
{
    std::u16string text;
    for (ULONG i = 0; channel.Name != nullptr && i < channel.NameSize / 2 && channel.Name[i]; ++i)
        text += static_cast<char16_t>(channel.Name[i]);
    return sim::registry::Utf16ToUtf8(text);
}

// The names of a list's filled records, in list order.
inline std::vector<std::string> Names(const SENSOR_CHANNEL_LIST* list)
{
    std::vector<std::string> names;
    for (ULONG i = 0; list != nullptr && i < list->Count; ++i)
        names.push_back(NameText(list->Channels[i]));
    return names;
}

// The path of a key below the Product key.
inline std::string ProductSubkey(const std::string& below)
{
    return kProductKey + "\\" + below;
}

} // namespace kwo::test

class BoardConfigTest : public ConfigTest {
  protected:
    void SetUp() override
    {
        ConfigTest::SetUp();
        ext_ = std::make_unique<DEVICE_EXTENSION>();
        ext_->ChipType = CHIP_NCT6776;
        ext_->VoltageRegCount = 9;
        ext_->TempRegCount = 9;
        ext_->FanRegCount = 5;
        sim::hw::Current().memory.SynthesiseFirmware(
            kwo::test::WithTerminator("QIB-1234 BIOS V1.0"), 0x1234);
    }

    void TearDown() override
    {
        FreeChannelList(&ext_->VoltageChannels);
        FreeChannelList(&ext_->TempChannels);
        FreeChannelList(&ext_->FanChannels);
        EXPECT_EQ(sim::registry::OpenHandleCount(), 0u) << OpenHandles();
        ConfigTest::TearDown();
        EXPECT_EQ(sim::pool::OutstandingCount(), 0u) << "allocations outlive the lists";
    }

    static void Import(const std::string& file)
    {
        sim::registry::ImportRegFile(std::filesystem::path(KWOTARV_SOURCE_DIR) / "Tests" / "data" /
                                     "config" / file);
    }
    static std::string Key(const std::string& below) { return kwo::test::ProductSubkey(below); }

    NTSTATUS Load() { return LoadBoardConfiguration(ext_.get()); }

    static std::vector<std::string> Names(const SENSOR_CHANNEL_LIST* list)
    {
        return kwo::test::Names(list);
    }

    // The extension holds no list and every count and flag is zero.
    void ExpectNoLists() const
    {
        EXPECT_EQ(ext_->VoltageChannels, nullptr);
        EXPECT_EQ(ext_->TempChannels, nullptr);
        EXPECT_EQ(ext_->FanChannels, nullptr);
        EXPECT_EQ(ext_->VoltageCount, 0u);
        EXPECT_EQ(ext_->TempCount, 0u);
        EXPECT_EQ(ext_->FanCount, 0u);
        EXPECT_EQ(ext_->HasTemp1, 0u);
        EXPECT_EQ(ext_->HasTemp2, 0u);
        for (const char* tag : {"Vlst", "Tlst", "Flst", "VolB", "TemB", "FanB", "KInf", "BInf",
                                "NBuf", "Pnme", "BBNm", "Strg"})
            EXPECT_EQ(sim::pool::OutstandingCount(tag), 0u) << tag;
    }

    // What a successful load promises about one list.
    static void ExpectSoundList(const SENSOR_CHANNEL_LIST* list, ULONG kind, ULONG regCount)
    {
        ASSERT_NE(list, nullptr);
        ASSERT_LE(list->Count, list->Capacity);
        for (ULONG i = 0; i < list->Count; ++i) {
            const SENSOR_CHANNEL& c = list->Channels[i];
            ASSERT_NE(c.Name, nullptr) << i;
            ASSERT_GE(c.NameSize, 4u) << "one character and the terminator at least";
            EXPECT_EQ(c.NameSize % 2, 0u);
            EXPECT_EQ(c.Name[c.NameSize / 2 - 1], 0) << "the last character is the terminator";
            for (ULONG u = 0; u + 1 < c.NameSize / 2; ++u)
                EXPECT_NE(c.Name[u], 0) << "no zero character inside the name of channel " << i;
            EXPECT_LT(c.RegIndex, regCount);
            if (i > 0)
                EXPECT_LE(list->Channels[i - 1].PreferenceOrder, c.PreferenceOrder);
        }
        const SENSOR_CHANNEL zero{};
        for (ULONG i = list->Count; i < list->Capacity; ++i)
            EXPECT_EQ(std::memcmp(&list->Channels[i], &zero, sizeof(zero)), 0) << i;
        const auto held = sim::pool::Outstanding();
        const auto info = SensorKinds[kind];
        const auto it = std::find_if(held.begin(), held.end(),
                                     [&](const auto& a) { return a.address == list; });
        ASSERT_NE(it, held.end());
        EXPECT_EQ(it->tag, info.ListTag);
        EXPECT_EQ(it->poolType, PagedPool);
        EXPECT_EQ(it->size, SENSOR_CHANNEL_LIST_SIZE(list->Capacity));
        for (ULONG i = 0; i < list->Count; ++i) {
            const auto name = std::find_if(held.begin(), held.end(), [&](const auto& a) {
                return a.address == list->Channels[i].Name;
            });
            ASSERT_NE(name, held.end());
            EXPECT_EQ(name->tag, info.NameTag);
            EXPECT_EQ(name->size, list->Channels[i].NameSize);
        }
    }

    static std::string OpenHandles()
    {
        std::string text;
        for (const auto& path : sim::registry::OpenHandlePaths())
            text += " " + path;
        return text;
    }

    std::unique_ptr<DEVICE_EXTENSION> ext_;
};
