// Reading the site table and patching the loaded image.
#include "instruction_sites.hpp"

#include <windows.h>

#include <cstdio>
#include <sstream>
#include <stdexcept>

#include "kernel/rtl/text.hpp"

namespace kwohal {

namespace {

constexpr uint8_t kUd2[2] = {0x0F, 0x0B};

uint32_t Number(const std::string& word, int line)
{
    try {
        size_t used = 0;
        const unsigned long value = std::stoul(word, &used, 16);
        if (used == word.size())
            return static_cast<uint32_t>(value);
    } catch (const std::exception&) {
    }
    throw std::runtime_error("kwotarv.sites line " + std::to_string(line) + ": '" + word +
                             "' is not a hex number");
}

std::vector<uint8_t> Bytes(const std::string& word, int line)
{
    std::vector<uint8_t> bytes;
    if (word.size() % 2 != 0 || word.empty())
        throw std::runtime_error("kwotarv.sites line " + std::to_string(line) + ": bad bytes '" +
                                 word + "'");
    for (size_t i = 0; i < word.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(Number(word.substr(i, 2), line)));
    return bytes;
}

} // namespace

SiteTable ParseSiteTable(std::string_view text)
{
    SiteTable table;
    bool haveImage = false;
    std::istringstream in{std::string(text)};
    std::string raw;
    for (int line = 1; std::getline(in, raw); ++line) {
        raw = raw.substr(0, raw.find('#'));
        std::istringstream words(raw);
        std::string kind, first, second, extra;
        if (!(words >> kind))
            continue;
        if (!(words >> first >> second) || (words >> extra))
            throw std::runtime_error("kwotarv.sites line " + std::to_string(line) +
                                     ": expected three words");
        if (kind == "image") {
            table.sizeOfImage = Number(first, line);
            table.checkSum = Number(second, line);
            haveImage = true;
            continue;
        }
        InstructionSite site;
        uint8_t opcode = 0; // of a port instruction: its byte form without and with a port number
        if (kind == "cpuid")
            site.instruction = Instruction::Cpuid;
        else if (kind == "rdmsr")
            site.instruction = Instruction::Rdmsr;
        else if (kind == "in") {
            site.instruction = Instruction::In;
            opcode = 0xEC;
        } else if (kind == "out") {
            site.instruction = Instruction::Out;
            opcode = 0xEE;
        } else
            throw std::runtime_error("kwotarv.sites line " + std::to_string(line) +
                                     ": unknown instruction '" + kind + "'");
        site.rva = Number(first, line);
        site.bytes = Bytes(second, line);
        if (opcode == 0 && site.bytes.size() != sizeof kUd2)
            throw std::runtime_error("kwotarv.sites line " + std::to_string(line) +
                                     ": the instruction is not two bytes long");
        // EC/EE take the port from DX, E4/E6 from the byte that follows.
        if (opcode != 0 && !(site.bytes.size() == 1 && site.bytes[0] == opcode) &&
            !(site.bytes.size() == 2 && site.bytes[0] == opcode - 8))
            throw std::runtime_error("kwotarv.sites line " + std::to_string(line) + ": '" + second +
                                     "' is not a byte-sized " + kind);
        table.sites.push_back(std::move(site));
    }
    if (!haveImage)
        throw std::runtime_error("kwotarv.sites has no 'image' line");
    return table;
}

std::string PatchSites(uint8_t* base, const SiteTable& table)
{
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const uint32_t size = nt->OptionalHeader.SizeOfImage;
    if (size != table.sizeOfImage || nt->OptionalHeader.CheckSum != table.checkSum)
        return "the loaded image (size " + sim::text::Hex(size) + ", checksum " +
               sim::text::Hex(nt->OptionalHeader.CheckSum) +
               ") is not the one kwotarv.sites was made from (size " +
               sim::text::Hex(table.sizeOfImage) + ", checksum " + sim::text::Hex(table.checkSum) +
               ")";
    for (const auto& site : table.sites) {
        if (site.rva + site.bytes.size() > size)
            return "site " + sim::text::Hex(site.rva) + " lies outside the image";
        for (size_t i = 0; i < site.bytes.size(); ++i)
            if (base[site.rva + i] != site.bytes[i])
                return "the image does not hold the listed instruction at " +
                       sim::text::Hex(site.rva);
    }
    for (const auto& site : table.sites) {
        if (site.instruction == Instruction::In || site.instruction == Instruction::Out)
            continue;
        uint8_t* at = base + site.rva;
        DWORD old = 0;
        VirtualProtect(at, sizeof kUd2, PAGE_EXECUTE_READWRITE, &old);
        std::copy(std::begin(kUd2), std::end(kUd2), at);
        VirtualProtect(at, sizeof kUd2, old, &old);
        FlushInstructionCache(GetCurrentProcess(), at, sizeof kUd2);
    }
    return {};
}

const InstructionSite* FindSite(const SiteTable& table, uint32_t rva)
{
    for (const auto& site : table.sites)
        if (site.rva == rva)
            return &site;
    return nullptr;
}

} // namespace kwohal
