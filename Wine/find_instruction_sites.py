#!/usr/bin/python3
"""Writes the table of the driver image's CPUID, RDMSR and port instructions (kwotarv.sites) for
the replacement HAL that runs the image under Wine (Wine/hal/instruction_sites.hpp has the
format). The x86 image reaches ports through HAL.dll's READ_PORT_UCHAR/WRITE_PORT_UCHAR; the x64
DDK makes those inline IN and OUT instructions, listed here in their byte forms.

    find_instruction_sites.py OBJDUMP IMAGE OUTPUT

The sites come from the mingw objdump's disassembly of the image, the image size and checksum
from its optional header, so the table always belongs to the image it was made from. Any other
privileged instruction in the image is an error: the HAL could not carry it out.
"""
import re
import subprocess
import sys

HANDLED = {"cpuid", "rdmsr"}
# Byte-sized port access: IN AL,DX / OUT DX,AL and IN AL,imm8 / OUT imm8,AL.
PORT_OPCODES = {"ec": "in", "ee": "out", "e4": "in", "e6": "out"}
PRIVILEGED = {"wrmsr", "rdtscp", "rdpmc", "in", "out", "ins", "outs", "cli", "sti", "hlt",
              "invlpg", "wbinvd", "lgdt", "lidt", "lmsw", "clts", "xsetbv"}
INSTRUCTION = re.compile(r"^\s*([0-9a-f]+):\s+((?:[0-9a-f]{2} )+)\s*([a-z][a-z0-9.]*)")


def objdump(tool, *args):
    return subprocess.run([tool, *args], check=True, capture_output=True, text=True).stdout


def header_value(headers, name):
    match = re.search(r"^%s\s+([0-9a-fA-F]+)" % name, headers, re.MULTILINE)
    if not match:
        sys.exit("find_instruction_sites: the image header has no %s" % name)
    return int(match.group(1), 16)


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    tool, image, output = sys.argv[1:]
    headers = objdump(tool, "-p", image)
    base = header_value(headers, "ImageBase")
    lines = ["# CPUID, RDMSR and port instruction sites of %s (generated; RVA and instruction bytes)" % image,
             "image 0x%x 0x%x" % (header_value(headers, "SizeOfImage"),
                                  header_value(headers, "CheckSum"))]
    for line in objdump(tool, "-d", image).splitlines():
        match = INSTRUCTION.match(line)
        if not match:
            continue
        address, raw, mnemonic = match.groups()
        code = raw.replace(" ", "")
        if mnemonic in ("in", "out") and PORT_OPCODES.get(code[:2]) == mnemonic:
            lines.append("%s 0x%x %s" % (mnemonic, int(address, 16) - base, code))
            continue
        if mnemonic in PRIVILEGED:
            sys.exit("find_instruction_sites: %s at 0x%s cannot run under Wine" % (mnemonic, address))
        if mnemonic in HANDLED:
            lines.append("%s 0x%x %s" % (mnemonic, int(address, 16) - base, code))
    with open(output, "w") as out:
        out.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
