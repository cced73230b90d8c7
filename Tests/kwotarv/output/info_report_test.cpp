// Published registry values in the info report's JSON.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "client/scripted_device.hpp"
#include "output/info_report.hpp"

namespace {

using namespace kwotarv;
using namespace kwotarvtest;

TEST(Report, RegistryValuesInJson)
{
    PublishedValue dword{"ChipsetType", 4, Le32(6)};
    EXPECT_EQ(RegistryValueJson(dword), 6);
    PublishedValue multi{"VoltageList", 7, Utf16Slot("VCORE ", 14)};
    EXPECT_EQ(RegistryValueJson(multi), nlohmann::ordered_json::array({"VCORE "}));
    PublishedValue empty{"VoltageList", 7, {}};
    EXPECT_TRUE(RegistryValueJson(empty).empty());
    PublishedValue binary{"X", 3, {0xAB, 0x01}};
    EXPECT_EQ(RegistryValueJson(binary), "ab01");
}

} // namespace
