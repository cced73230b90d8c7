// Checks of the installation file Install/kwotarv.inf as Windows Setup reads it: each
// architecture finds its models, install, hardware and service sections and copies its own
// image from the package; only the system and administrators may open the device; every
// section and string it names exists. The package the host build collects is checked against
// it: each image sits where the INF looks for it and is built for that architecture.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "architectures.hpp"
#include "pe_image.hpp"
#include "test_text.hpp"

namespace fs = std::filesystem;

namespace {

using imagetest::TargetArchitecture;

using tooltest::Lower;
using tooltest::ReadText;

std::string Trim(const std::string& text)
{
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// A line without its comment: ";" outside quotes starts one.
std::string StripComment(const std::string& line)
{
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '"')
            quoted = !quoted;
        else if (line[i] == ';' && !quoted)
            return line.substr(0, i);
    }
    return line;
}

// One line of a section: "key = v1, v2" or a bare "v1, v2" (no key). Quotes are removed from
// the fields, comments (";" outside quotes) dropped.
struct InfLine {
    std::optional<std::string> key;
    std::vector<std::string> fields;
};

// An INF file read the way Setup reads it: sections by case-insensitive name, lines in order.
class InfFile {
  public:
    explicit InfFile(const std::string& text)
    {
        std::istringstream lines(text);
        std::string raw;
        std::vector<InfLine>* section = nullptr;
        while (std::getline(lines, raw)) {
            const std::string line = Trim(StripComment(raw));
            if (line.empty())
                continue;
            if (line.front() == '[' && line.back() == ']') {
                section = &sections_[Lower(Trim(line.substr(1, line.size() - 2)))];
                continue;
            }
            if (section != nullptr)
                section->push_back(ParseLine(line));
        }
    }

    const std::vector<InfLine>* Section(const std::string& name) const
    {
        auto found = sections_.find(Lower(name));
        return found == sections_.end() ? nullptr : &found->second;
    }

    bool Has(const std::string& name) const { return Section(name) != nullptr; }

    // The fields of the first line of a section whose key matches (case-insensitively).
    std::optional<std::vector<std::string>> Value(const std::string& section,
                                                  const std::string& key) const
    {
        if (const auto* lines = Section(section))
            for (const auto& line : *lines)
                if (line.key && Lower(*line.key) == Lower(key))
                    return line.fields;
        return std::nullopt;
    }

    // The install section Setup picks for a platform: <name>.NT<platform>, else <name>.NT,
    // else <name>.
    std::optional<std::string> InstallSection(const std::string& name,
                                              const std::string& platform) const
    {
        for (const std::string& candidate : {name + ".NT" + platform, name + ".NT", name})
            if (Has(candidate))
                return candidate;
        return std::nullopt;
    }

    std::vector<std::string> SectionNames() const
    {
        std::vector<std::string> names;
        for (const auto& [name, lines] : sections_)
            names.push_back(name);
        return names;
    }

  private:
    static std::vector<std::string> SplitFields(const std::string& text)
    {
        std::vector<std::string> fields;
        std::string field;
        bool quoted = false;
        for (char c : text) {
            if (c == '"') {
                quoted = !quoted;
            } else if (c == ',' && !quoted) {
                fields.push_back(Trim(field));
                field.clear();
            } else {
                field += c;
            }
        }
        fields.push_back(Trim(field));
        return fields;
    }

    static InfLine ParseLine(const std::string& line)
    {
        InfLine parsed;
        const size_t equals = line.find('=');
        const size_t quote = line.find('"');
        if (equals != std::string::npos && (quote == std::string::npos || equals < quote)) {
            parsed.key = Trim(line.substr(0, equals));
            parsed.fields = SplitFields(line.substr(equals + 1));
        } else {
            parsed.fields = SplitFields(line);
        }
        return parsed;
    }

    std::map<std::string, std::vector<InfLine>> sections_;
};

const InfFile& SourceInf()
{
    static const InfFile inf(ReadText(fs::path(KWOTARV_SOURCE_DIR) / "Install/kwotarv.inf"));
    return inf;
}

// The models section of the one manufacturer and the platform decorations it lists.
struct Manufacturer {
    std::string models;
    std::set<std::string> decorations;
};

std::optional<Manufacturer> ReadManufacturer(const InfFile& inf)
{
    const auto* lines = inf.Section("Manufacturer");
    if (lines == nullptr || lines->size() != 1 || lines->front().fields.empty())
        return std::nullopt;
    Manufacturer manufacturer{lines->front().fields[0], {}};
    for (size_t i = 1; i < lines->front().fields.size(); ++i)
        manufacturer.decorations.insert(Lower(lines->front().fields[i]));
    return manufacturer;
}

// The install section a platform's models section gives the root device.
std::optional<std::string> DeviceInstallSection(const InfFile& inf, const std::string& platform)
{
    auto manufacturer = ReadManufacturer(inf);
    if (!manufacturer)
        return std::nullopt;
    const auto* models = inf.Section(manufacturer->models + ".NT" + platform);
    if (models == nullptr)
        return std::nullopt;
    for (const auto& line : *models)
        if (line.fields.size() >= 2 && Lower(line.fields[1]) == "root\\kwotarv")
            return inf.InstallSection(line.fields[0], platform);
    return std::nullopt;
}

class InstallationFileTest : public ::testing::TestWithParam<TargetArchitecture> {
  protected:
    const InfFile& Inf() const { return SourceInf(); }
    const std::string& Platform() const { return GetParam().platform; }
};

TEST_P(InstallationFileTest, PlatformFindsItsModelsAndInstallSections)
{
    auto manufacturer = ReadManufacturer(Inf());
    ASSERT_TRUE(manufacturer.has_value()) << "one manufacturer line expected";
    EXPECT_TRUE(manufacturer->decorations.contains(Lower("NT" + Platform())))
        << "[Manufacturer] does not list NT" << Platform();

    auto install = DeviceInstallSection(Inf(), Platform());
    ASSERT_TRUE(install.has_value()) << "no install section for Root\\KwoTarv on " << Platform();

    // The image is copied to %SystemRoot%\System32\drivers.
    auto copyFiles = Inf().Value(*install, "CopyFiles");
    ASSERT_TRUE(copyFiles.has_value());
    ASSERT_EQ(copyFiles->size(), 1u);
    const auto* files = Inf().Section(copyFiles->front());
    ASSERT_NE(files, nullptr) << copyFiles->front();
    ASSERT_EQ(files->size(), 1u);
    EXPECT_EQ(Lower(files->front().fields.at(0)), "kwotarv.sys");
    EXPECT_EQ(Inf().Value("DestinationDirs", "DefaultDestDir"), std::vector<std::string>{"12"});

    // The service: a demand-start kernel driver, the function driver of the device.
    auto service = Inf().Value(*install + ".Services", "AddService");
    ASSERT_TRUE(service.has_value());
    ASSERT_EQ(service->size(), 3u);
    EXPECT_EQ((*service)[0], "KwoTarv");
    EXPECT_EQ(std::stoul((*service)[1], nullptr, 0) & 0x2, 0x2u) << "SPSVCINST_ASSOCSERVICE";
    const std::string serviceSection = (*service)[2];
    ASSERT_TRUE(Inf().Has(serviceSection));
    EXPECT_EQ(Inf().Value(serviceSection, "ServiceType"), std::vector<std::string>{"1"});
    EXPECT_EQ(Inf().Value(serviceSection, "StartType"), std::vector<std::string>{"3"});
    EXPECT_EQ(Inf().Value(serviceSection, "ErrorControl"), std::vector<std::string>{"1"});
    EXPECT_EQ(Inf().Value(serviceSection, "ServiceBinary"),
              std::vector<std::string>{"%12%\\kwotarv.sys"});
}

TEST_P(InstallationFileTest, PlatformCopiesItsOwnImage)
{
    const std::string section = "SourceDisksFiles." + Platform();
    const auto* files = Inf().Section(section);
    ASSERT_NE(files, nullptr) << "no [" << section << "]";
    auto image = Inf().Value(section, "kwotarv.sys");
    ASSERT_TRUE(image.has_value()) << "[" << section << "] does not list kwotarv.sys";
    ASSERT_EQ(image->size(), 2u) << "disk and folder expected";
    EXPECT_TRUE(Inf().Value("SourceDisksNames", (*image)[0]).has_value())
        << "disk " << (*image)[0] << " is not in [SourceDisksNames]";
    EXPECT_EQ((*image)[1], GetParam().packageDir) << "the package keeps the image elsewhere";

    if (!imagetest::ImagesExpected())
        GTEST_SKIP() << "configured without the cross build: no package to compare";
    const fs::path package = imagetest::PackageDir();
    EXPECT_EQ(ReadText(package / "kwotarv.inf"),
              ReadText(fs::path(KWOTARV_SOURCE_DIR) / "Install/kwotarv.inf"));
    const fs::path packaged = package / (*image)[1] / "kwotarv.sys";
    ASSERT_TRUE(fs::exists(packaged)) << packaged;
    pe::Image packagedImage = pe::Read(packaged);
    EXPECT_EQ(packagedImage.machine, GetParam().machine) << packaged;
    EXPECT_EQ(packagedImage.bytes, pe::Read(GetParam().imageDir / "kwotarv.sys").bytes)
        << "the package holds a stale image";
}

// The access rule of the device: the registry values Setup writes from the hardware section.
TEST_P(InstallationFileTest, OnlyTheSystemAndAdministratorsOpenTheDevice)
{
    auto install = DeviceInstallSection(Inf(), Platform());
    ASSERT_TRUE(install.has_value());
    auto addReg = Inf().Value(*install + ".HW", "AddReg");
    ASSERT_TRUE(addReg.has_value()) << "no AddReg in [" << *install << ".HW]";

    std::optional<std::string> security;
    std::optional<uint32_t> characteristics;
    for (const auto& sectionName : *addReg) {
        const auto* lines = Inf().Section(sectionName);
        ASSERT_NE(lines, nullptr) << sectionName;
        for (const auto& line : *lines) {
            ASSERT_GE(line.fields.size(), 3u);
            ASSERT_EQ(line.fields[0], "HKR") << "device properties are written under HKR";
            EXPECT_TRUE(line.fields[1].empty()) << "in the device's own key";
            const std::string name = line.fields[2];
            if (name == "Security") {
                ASSERT_EQ(line.fields.size(), 5u);
                EXPECT_TRUE(line.fields[3].empty()) << "a REG_SZ value";
                security = line.fields[4];
            } else if (name == "DeviceCharacteristics") {
                ASSERT_EQ(line.fields.size(), 5u);
                EXPECT_EQ(std::stoul(line.fields[3], nullptr, 0), 0x10001u)
                    << "FLG_ADDREG_TYPE_DWORD";
                characteristics = static_cast<uint32_t>(std::stoul(line.fields[4], nullptr, 0));
            }
        }
    }

    ASSERT_TRUE(security.has_value()) << "no Security value: anyone may open the device";
    // A protected discretionary ACL of exactly two entries: generic-all for the local system
    // and the built-in administrators.
    ASSERT_EQ(security->rfind("D:P", 0), 0u) << *security;
    std::multiset<std::string> aces;
    for (size_t at = 3; at < security->size();) {
        ASSERT_EQ((*security)[at], '(') << *security;
        const size_t close = security->find(')', at);
        ASSERT_NE(close, std::string::npos) << *security;
        aces.insert(security->substr(at + 1, close - at - 1));
        at = close + 1;
    }
    EXPECT_EQ(aces, (std::multiset<std::string>{"A;;GA;;;SY", "A;;GA;;;BA"}));

    ASSERT_TRUE(characteristics.has_value()) << "no DeviceCharacteristics value";
    EXPECT_TRUE(*characteristics & 0x100) << "FILE_DEVICE_SECURE_OPEN";
}

INSTANTIATE_TEST_SUITE_P(Architectures, InstallationFileTest,
                         ::testing::ValuesIn(imagetest::TargetArchitectures()),
                         imagetest::ArchitectureName);

// A platform without its own list would fall back to an undecorated one and copy an image of
// the wrong architecture; only decorated lists exist.
TEST(InstallationFile, ListsSourceFilesOnlyPerArchitecture)
{
    EXPECT_FALSE(SourceInf().Has("SourceDisksFiles"));
    std::set<std::string> platforms;
    for (const auto& arch : imagetest::TargetArchitectures())
        platforms.insert(Lower("SourceDisksFiles." + arch.platform));
    for (const auto& name : SourceInf().SectionNames())
        if (name.rfind("sourcedisksfiles.", 0) == 0)
            EXPECT_TRUE(platforms.contains(name)) << name << " is no architecture we build";
}

TEST(InstallationFile, DeclaresAVersionForSignedPlugAndPlayPackages)
{
    const InfFile& inf = SourceInf();
    EXPECT_EQ(inf.Value("Version", "Signature"), std::vector<std::string>{"$WINDOWS NT$"});
    EXPECT_EQ(inf.Value("Version", "Class"), std::vector<std::string>{"System"});
    EXPECT_EQ(inf.Value("Version", "CatalogFile"), std::vector<std::string>{"kwotarv.cat"});
    EXPECT_EQ(inf.Value("Version", "PnpLockdown"), std::vector<std::string>{"1"});
    auto driverVer = inf.Value("Version", "DriverVer");
    ASSERT_TRUE(driverVer.has_value());
    EXPECT_EQ(driverVer->size(), 2u) << "date and version";
}

// Every %name% the file uses is defined in [Strings]; numbers are directory identifiers.
TEST(InstallationFile, EveryStringItUsesIsDefined)
{
    const std::string text = ReadText(fs::path(KWOTARV_SOURCE_DIR) / "Install/kwotarv.inf");
    const InfFile& inf = SourceInf();
    std::istringstream lines(text);
    std::string line;
    size_t used = 0;
    while (std::getline(lines, line)) {
        line = StripComment(line);
        for (size_t at = line.find('%'); at != std::string::npos;) {
            const size_t close = line.find('%', at + 1);
            ASSERT_NE(close, std::string::npos) << line;
            const std::string token = line.substr(at + 1, close - at - 1);
            if (!std::all_of(token.begin(), token.end(), ::isdigit)) {
                ++used;
                EXPECT_TRUE(inf.Value("Strings", token).has_value()) << "%" << token << "%";
            }
            at = line.find('%', close + 1);
        }
    }
    EXPECT_GT(used, 0u);
}

} // namespace
