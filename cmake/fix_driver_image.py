#!/usr/bin/python3
"""Post-link step for the driver image.

GNU ld places code marked for the INIT section in a section of that name but does not mark it
discardable, and the kernel only frees INIT after DriverEntry when it is. This step sets the
flag, refuses images the kernel must not load (a section both writable and executable, no
INIT or PAGE section, an entry point outside INIT) and writes a valid PE checksum, which the
kernel loader checks for drivers.

Run with Debian's interpreter (/usr/bin/python3), for which python3-pefile is installed.
"""

import os
import sys

import pefile

SCN_MEM_DISCARDABLE = 0x02000000
SCN_MEM_EXECUTE = 0x20000000
SCN_MEM_WRITE = 0x80000000


def section_name(section):
    return section.Name.rstrip(b"\0").decode("ascii", "replace")


def fix(path):
    pe = pefile.PE(path)
    problems = []
    sections = {section_name(s): s for s in pe.sections}

    for name in ("INIT", "PAGE"):
        if name not in sections:
            problems.append(f"no {name} section")

    init = sections.get("INIT")
    if init is not None:
        init.Characteristics |= SCN_MEM_DISCARDABLE
        entry = pe.OPTIONAL_HEADER.AddressOfEntryPoint
        if not init.contains_rva(entry):
            problems.append(f"entry point 0x{entry:X} is not in INIT")

    for name, section in sections.items():
        flags = section.Characteristics
        if flags & SCN_MEM_WRITE and flags & SCN_MEM_EXECUTE:
            problems.append(f"section {name} is both writable and executable")
        if name != "INIT" and flags & SCN_MEM_DISCARDABLE and flags & SCN_MEM_EXECUTE:
            problems.append(f"code section {name} would be discarded after load")

    if problems:
        for problem in problems:
            print(f"{path}: {problem}", file=sys.stderr)
        pe.close()
        # A refused image must not look up to date to the next build.
        os.remove(path)
        return 1

    pe.OPTIONAL_HEADER.CheckSum = pe.generate_checksum()
    data = pe.write()
    pe.close()
    with open(path, "wb") as image:
        image.write(data)
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 2:
        print("usage: fix_driver_image.py IMAGE", file=sys.stderr)
        sys.exit(2)
    sys.exit(fix(sys.argv[1]))
