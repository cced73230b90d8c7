#include "pe_image.hpp"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace pe {

namespace {

class Reader {
  public:
    explicit Reader(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}

    template <typename T> T At(size_t offset) const
    {
        if (offset > bytes_.size() || bytes_.size() - offset < sizeof(T))
            throw std::runtime_error("read past the end of the image at " + std::to_string(offset));
        T value;
        std::memcpy(&value, bytes_.data() + offset, sizeof(T));
        return value;
    }

    std::string CString(size_t offset) const
    {
        std::string text;
        for (size_t i = offset; i < bytes_.size() && bytes_[i] != 0; ++i)
            text.push_back(static_cast<char>(bytes_[i]));
        return text;
    }

  private:
    const std::vector<uint8_t>& bytes_;
};

size_t FileOffset(const Image& image, uint32_t rva)
{
    const Section* section = image.SectionOf(rva);
    if (section == nullptr || rva - section->virtualAddress >= section->rawSize)
        throw std::runtime_error("RVA outside the file's sections");
    return section->rawOffset + (rva - section->virtualAddress);
}

} // namespace

const Section* Image::FindSection(const std::string& name) const
{
    for (const auto& section : sections)
        if (section.name == name)
            return &section;
    return nullptr;
}

const Section* Image::SectionOf(uint32_t rva) const
{
    for (const auto& section : sections)
        if (section.Contains(rva))
            return &section;
    return nullptr;
}

uint32_t Image::ComputeChecksum() const
{
    uint64_t sum = 0;
    for (size_t i = 0; i < bytes.size(); i += 2) {
        if (i == checksumOffset || i == checksumOffset + 2)
            continue;
        uint32_t word = bytes[i];
        if (i + 1 < bytes.size())
            word |= static_cast<uint32_t>(bytes[i + 1]) << 8;
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint32_t>(sum + bytes.size());
}

std::optional<uint8_t> Image::ByteAt(uint32_t rva) const
{
    const Section* section = SectionOf(rva);
    if (section == nullptr || rva - section->virtualAddress >= section->rawSize)
        return std::nullopt;
    const size_t offset = section->rawOffset + (rva - section->virtualAddress);
    if (offset >= bytes.size())
        return std::nullopt;
    return bytes[offset];
}

Image Parse(std::vector<uint8_t> bytes)
{
    Image image;
    image.bytes = std::move(bytes);
    Reader r(image.bytes);

    if (r.At<uint16_t>(0) != 0x5A4D)
        throw std::runtime_error("no MZ header");
    const size_t peOffset = r.At<uint32_t>(0x3C);
    if (r.At<uint32_t>(peOffset) != 0x00004550)
        throw std::runtime_error("no PE signature");

    const size_t coff = peOffset + 4;
    image.machine = r.At<uint16_t>(coff);
    const uint16_t sectionCount = r.At<uint16_t>(coff + 2);
    const uint16_t optionalSize = r.At<uint16_t>(coff + 16);
    image.fileCharacteristics = r.At<uint16_t>(coff + 18);

    // PE32+ widens the image base and the four stack and heap sizes to 64 bits; the fields in
    // between keep their offsets, the data directories move by 16 bytes.
    const size_t optional = coff + 20;
    image.magic = r.At<uint16_t>(optional);
    if (image.magic != kMagicPe32 && image.magic != kMagicPe32Plus)
        throw std::runtime_error("neither a PE32 nor a PE32+ image");
    const bool plus = image.magic == kMagicPe32Plus;
    image.entryPoint = r.At<uint32_t>(optional + 16);
    image.imageBase = plus ? r.At<uint64_t>(optional + 24) : r.At<uint32_t>(optional + 28);
    image.majorSubsystemVersion = r.At<uint16_t>(optional + 48);
    image.minorSubsystemVersion = r.At<uint16_t>(optional + 50);
    image.checksumOffset = optional + 64;
    image.checksum = r.At<uint32_t>(image.checksumOffset);
    image.sectionAlignment = r.At<uint32_t>(optional + 32);
    image.subsystem = r.At<uint16_t>(optional + 68);
    image.dllCharacteristics = r.At<uint16_t>(optional + 70);
    const uint32_t directoryCount = r.At<uint32_t>(optional + (plus ? 108 : 92));
    const size_t directories = optional + (plus ? 112 : 96);
    auto directory = [&](uint32_t index, uint32_t field) -> uint32_t {
        return directoryCount > index ? r.At<uint32_t>(directories + index * 8 + field) : 0;
    };
    const uint32_t exportRva = directory(0, 0);
    const uint32_t importRva = directory(1, 0);
    const uint32_t resourceRva = directory(2, 0);
    image.exceptionRva = directory(3, 0);
    image.exceptionSize = directory(3, 4);
    image.relocationsSize = directory(5, 4);

    size_t header = optional + optionalSize;
    for (uint16_t i = 0; i < sectionCount; ++i, header += 40) {
        Section section;
        char name[9] = {};
        r.At<uint64_t>(header); // bounds check of the name
        std::memcpy(name, image.bytes.data() + header, 8);
        section.name = name;
        section.virtualSize = r.At<uint32_t>(header + 8);
        section.virtualAddress = r.At<uint32_t>(header + 12);
        section.rawSize = r.At<uint32_t>(header + 16);
        section.rawOffset = r.At<uint32_t>(header + 20);
        section.characteristicsOffset = header + 36;
        section.characteristics = r.At<uint32_t>(header + 36);
        image.sections.push_back(section);
    }

    // Import lookup entries are pointer-sized; the top bit marks an import by ordinal.
    const size_t thunkSize = plus ? 8 : 4;
    if (importRva != 0) {
        for (size_t descriptor = FileOffset(image, importRva);; descriptor += 20) {
            const uint32_t lookupRva = r.At<uint32_t>(descriptor);
            const uint32_t nameRva = r.At<uint32_t>(descriptor + 12);
            const uint32_t thunkRva = r.At<uint32_t>(descriptor + 16);
            if (nameRva == 0 && thunkRva == 0)
                break;
            ImportedModule module;
            module.dll = r.CString(FileOffset(image, nameRva));
            for (size_t thunk = FileOffset(image, lookupRva != 0 ? lookupRva : thunkRva);;
                 thunk += thunkSize) {
                const uint64_t entry = plus ? r.At<uint64_t>(thunk) : r.At<uint32_t>(thunk);
                if (entry == 0)
                    break;
                if (entry >> (thunkSize * 8 - 1))
                    ++module.ordinals;
                else
                    module.names.push_back(
                        r.CString(FileOffset(image, static_cast<uint32_t>(entry)) + 2));
            }
            image.imports.push_back(std::move(module));
        }
    }

    if (exportRva != 0) {
        const size_t table = FileOffset(image, exportRva);
        const uint32_t nameCount = r.At<uint32_t>(table + 24);
        const size_t names = FileOffset(image, r.At<uint32_t>(table + 32));
        for (uint32_t i = 0; i < nameCount; ++i)
            image.exports.push_back(r.CString(FileOffset(image, r.At<uint32_t>(names + i * 4))));
    }
    if (resourceRva != 0) {
        // The root directory: named entries first, then those with a numeric type.
        const size_t root = FileOffset(image, resourceRva);
        const uint16_t named = r.At<uint16_t>(root + 12);
        const uint16_t numbered = r.At<uint16_t>(root + 14);
        for (uint32_t i = named; i < uint32_t{named} + numbered; ++i)
            image.resourceTypes.push_back(r.At<uint32_t>(root + 16 + i * 8));
    }

    if (image.exceptionRva != 0) {
        const size_t table = FileOffset(image, image.exceptionRva);
        for (uint32_t at = 0; at + 12 <= image.exceptionSize; at += 12)
            image.runtimeFunctions.push_back({r.At<uint32_t>(table + at),
                                              r.At<uint32_t>(table + at + 4),
                                              r.At<uint32_t>(table + at + 8)});
    }
    return image;
}

Image Read(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot open " + file.string());
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    return Parse(std::move(bytes));
}

} // namespace pe
