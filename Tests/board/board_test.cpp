// Board descriptions: board.json parsing, its messages, and the firmware image it gives.
#include <gtest/gtest.h>

#include "hardware/physical_memory.hpp"
#include "board/board.hpp"

namespace {

using sim::hw::ChipKind;
using sim::machine::Board;
using sim::machine::BoardError;
using sim::machine::ParseBoard;

Board Parse(const std::string& json)
{
    return ParseBoard(json, "board.json", {});
}

std::string ErrorOf(const std::string& json)
{
    try {
        Parse(json);
    } catch (const BoardError& error) {
        return error.what();
    }
    return "(no error)";
}

TEST(BoardDescription, DefaultsAndNumbers)
{
    Board board = Parse(R"({"chip": "nct5523d"})");
    EXPECT_EQ(board.chip, ChipKind::NCT5523D);
    EXPECT_EQ(board.configPort, 0x2E);
    EXPECT_EQ(board.hwmBase, 0x290);
    EXPECT_FALSE(board.chipId.has_value());
    EXPECT_TRUE(board.cpu.thermalSensor);
    EXPECT_EQ(board.cpu.thermalStatus, 0u);
    EXPECT_FALSE(board.northbridge.has_value());
    EXPECT_EQ(board.firmware.kind, sim::machine::FirmwareDescription::Kind::None);
    EXPECT_EQ(sim::machine::ChipIdOf(board), 0xC4);

    Board full = Parse(R"({"chip": "W83627DHG", "chip_id": "0xB0", "config_port": 78,
        "hwm_base": "0xA10", "registers": {"0x0150": "0x20", "0x0551": 190},
        "cpu": {"thermal_sensor": false, "thermal_status": "0x88390000"},
        "northbridge": "0x2D800000", "firmware": {"text": "JUVO-D525 BIOS"}})");
    EXPECT_EQ(sim::machine::ChipIdOf(full), 0xB0);
    EXPECT_EQ(full.configPort, 0x4E);
    EXPECT_EQ(full.hwmBase, 0xA10);
    EXPECT_EQ(full.registers.at(0x0150), 0x20);
    EXPECT_EQ(full.registers.at(0x0551), 190);
    EXPECT_FALSE(full.cpu.thermalSensor);
    EXPECT_EQ(full.cpu.thermalStatus, 0x88390000u);
    EXPECT_EQ(full.northbridge, 0x2D800000u);
    EXPECT_EQ(full.firmware.text, "JUVO-D525 BIOS");
}

struct Bad {
    const char* json;
    const char* message;
};

void PrintTo(const Bad& c, std::ostream* os)
{
    *os << c.json;
}

class BadBoardTest : public ::testing::TestWithParam<Bad> {};

TEST_P(BadBoardTest, MessageNamesTheKey)
{
    const std::string error = ErrorOf(GetParam().json);
    EXPECT_NE(error.find(GetParam().message), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Board, BadBoardTest,
    ::testing::Values(
        Bad{"[1, 2]", "board.json: expected a JSON object"}, Bad{"{", "board.json: not valid JSON"},
        Bad{R"({})", "board.json: chip: missing"},
        Bad{R"({"chip": "W83627EHF"})", "chip: 'W83627EHF' is not a known chip"},
        Bad{R"({"chip": "NCT6776", "chips": 1})", "chips: unknown key"},
        Bad{R"({"chip": "NCT6776", "chip_id": "0x100"})", "chip_id: value 256 is larger than 0xFF"},
        Bad{R"({"chip": "NCT6776", "config_port": "0x2F"})",
            "config_port: must be \"0x2E\" or \"0x4E\""},
        Bad{R"({"chip": "NCT6776", "hwm_base": "-1"})", "hwm_base: '-1' is not a number"},
        Bad{R"({"chip": "NCT6776", "registers": {"0x10000": 1}})",
            "registers.0x10000: value 65536 is larger than 0xFFFF"},
        Bad{R"({"chip": "NCT6776", "registers": {"0x20": "0x1FF"}})",
            "registers.0x20: value 511 is larger than 0xFF"},
        Bad{R"({"chip": "NCT6776", "registers": {"0x20": 1, "32": 2}})",
            "registers.32: the register is given twice"},
        Bad{R"({"chip": "NCT6776", "cpu": {"thermal_sensor": "yes"}})",
            "cpu.thermal_sensor: expected true or false"},
        Bad{R"({"chip": "NCT6776", "cpu": {"tjmax": 100}})", "cpu.tjmax: unknown key"},
        Bad{R"({"chip": "NCT6776", "northbridge": 1.5})",
            "northbridge: '1.5' is not a whole number from 0 to 4294967295"},
        Bad{R"({"chip": "NCT6776", "hwm_base": -656})", "hwm_base: '-656' is not a whole number"},
        Bad{R"({"chip": "NCT6776", "hwm_base": 1e400})", "board.json: unusable JSON"},
        Bad{R"({"chip": "NCT6776", "cpu": {"thermal_status": 1e19}})",
            "cpu.thermal_status: '1e+19' is not a whole number"},
        Bad{R"({"chip": "NCT6776", "firmware": {"file": "x"}})", "firmware.file: unknown key"},
        Bad{R"({"chip": "NCT6776", "firmware": 5})", "firmware: expected a file name"}),
    [](const auto& info) { return "Case" + std::to_string(info.index); });

TEST(BoardDescription, SynthesisedFirmwareHoldsTheTextAndItsTerminator)
{
    Board board = Parse(R"({"chip": "NCT6776", "firmware": {"text": "QIB-1234 BIOS V1.0"}})");
    const std::vector<uint8_t> image = sim::machine::FirmwareImage(board);
    ASSERT_EQ(image.size(), sim::hw::kFirmwareSegmentSize);
    const std::string text(image.begin() + sim::machine::kSynthesisedTextOffset,
                           image.begin() + sim::machine::kSynthesisedTextOffset + 19);
    EXPECT_EQ(text, std::string("QIB-1234 BIOS V1.0") + '\0');
    EXPECT_EQ(std::count(image.begin(), image.end(), 0), 0x10000 - 18);
}

TEST(BoardDescription, FirmwareFileMustBeADumpOfTheSegment)
{
    Board board = sim::machine::LoadBoard(std::string(KWOTARV_SOURCE_DIR) + "/Boards/w83627hf");
    EXPECT_EQ(board.name, "w83627hf");
    const std::vector<uint8_t> image = sim::machine::FirmwareImage(board);
    EXPECT_EQ(image.size(), 0x10000u);
    EXPECT_EQ(std::string(image.begin() + 0xE061, image.begin() + 0xE069), "KERD-410");
    EXPECT_NE(board.registryText.find("KERD-4*"), std::string::npos);

    sim::machine::UseFirmwareFile(board, std::string(KWOTARV_SOURCE_DIR) +
                                             "/Boards/w83627hf/registry.reg");
    EXPECT_THROW(sim::machine::FirmwareImage(board), BoardError);
}

TEST(BoardDescription, DirectoryProblems)
{
    EXPECT_THROW(sim::machine::LoadBoard("/nonexistent"), BoardError);
    try {
        sim::machine::LoadBoard(std::string(KWOTARV_SOURCE_DIR) + "/Boards");
        FAIL() << "Boards/ itself is not a board";
    } catch (const BoardError& error) {
        EXPECT_NE(std::string(error.what()).find("holds no board.json"), std::string::npos);
    }
}

} // namespace
