// The driver's CPUID, RDMSR and port instructions, found in the built image by disassembly
// (Wine/find_instruction_sites.py writes kwotarv.sites beside kwotarv.sys). Under Wine the
// driver runs in user mode: CPUID would answer with the host processor, RDMSR, IN and OUT
// fault. The HAL checks that the loaded image is the one the table was made from and that every
// site holds the listed bytes, then rewrites each CPUID and RDMSR site in memory to UD2 (same
// length); IN and OUT (the x64 image's port access, one or two bytes) fault by themselves and are
// left as they are. The exception handler carries out each listed instruction on the simulated
// processor or port bus. The file on disk is never changed.
//
// kwotarv.sites, one entry per line ('#' starts a comment):
//   image <SizeOfImage> <CheckSum>        (hex, from the PE optional header)
//   cpuid <rva> <bytes>                   e.g. "cpuid 0x249f 0fa2"
//   rdmsr <rva> <bytes>
//   in <rva> <bytes>                      "ec" (IN AL,DX) or "e4<port>" (IN AL,imm8)
//   out <rva> <bytes>                     "ee" (OUT DX,AL) or "e6<port>" (OUT imm8,AL)
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kwohal {

enum class Instruction { Cpuid, Rdmsr, In, Out };

struct InstructionSite {
    Instruction instruction;
    uint32_t rva = 0;
    std::vector<uint8_t> bytes;
};

struct SiteTable {
    uint32_t sizeOfImage = 0;
    uint32_t checkSum = 0;
    std::vector<InstructionSite> sites;
};

// Throws std::runtime_error naming the line that is wrong.
SiteTable ParseSiteTable(std::string_view text);

// Checks the loaded image at `base` against the table and rewrites every CPUID and RDMSR site to
// UD2. Returns
// what does not match (nothing is patched then), or an empty string.
std::string PatchSites(uint8_t* base, const SiteTable& table);

// The site at an RVA, or nullptr.
const InstructionSite* FindSite(const SiteTable& table, uint32_t rva);

} // namespace kwohal
