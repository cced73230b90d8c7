#!/usr/bin/env python3
"""read_all.py: read_all.c through ctypes. Prints the chip's description and every channel,
one line per channel, exactly as read_all.c does.

The library is found beside this file's build or named by KWOTARV_LIBRARY (a path to
kwotarv.dll or libkwotarv.so); on Linux the board comes from KWOTARV_BOARD."""
import ctypes
import os
import sys

KWO_OK = 0
KWO_ERROR_BUFFER_TOO_SMALL = 3
KWO_KIND_VOLTAGE, KWO_KIND_TEMPERATURE, KWO_KIND_FAN = 1, 2, 3
KWO_NO_LIMIT = -1.0e300
KWO_NO_RPM = -1.0


class Channel(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char * 100), ("unit", ctypes.c_char * 12),
                ("kind", ctypes.c_uint32), ("index", ctypes.c_uint32),
                ("has_value", ctypes.c_int32), ("alarm", ctypes.c_int32),
                ("value", ctypes.c_double), ("low", ctypes.c_double),
                ("high", ctypes.c_double), ("rpm", ctypes.c_double)]


class InfoGroup(ctypes.Structure):
    _fields_ = [("kind", ctypes.c_uint32), ("attribute", ctypes.c_uint32),
                ("attribute2", ctypes.c_uint32), ("names", ctypes.c_char * 196)]


class ChipInfo(ctypes.Structure):
    _fields_ = [("description", ctypes.c_char * 388), ("voltage_list", ctypes.c_char * 196),
                ("block_size", ctypes.c_uint32), ("group_count", ctypes.c_uint32),
                ("groups", InfoGroup * 4)]


def load_library():
    path = os.environ.get("KWOTARV_LIBRARY") or ("kwotarv.dll" if os.name == "nt" else "libkwotarv.so")
    lib = ctypes.CDLL(path)
    lib.kwo_open.argtypes = [ctypes.POINTER(ctypes.c_uint32)]
    lib.kwo_close.argtypes = [ctypes.c_uint32]
    lib.kwo_read_all.argtypes = [ctypes.c_uint32, ctypes.POINTER(Channel), ctypes.c_uint32,
                                 ctypes.POINTER(ctypes.c_uint32)]
    lib.kwo_describe.argtypes = [ctypes.c_uint32, ctypes.POINTER(ChipInfo)]
    lib.kwo_status_text.argtypes = [ctypes.c_int32]
    lib.kwo_status_text.restype = ctypes.c_char_p
    for name in ("kwo_open", "kwo_close", "kwo_read_all", "kwo_describe"):
        getattr(lib, name).restype = ctypes.c_int32
    return lib


def number(kind, value, present=True):
    decimals = {KWO_KIND_VOLTAGE: 2, KWO_KIND_TEMPERATURE: 1}.get(kind, 0)
    return "%.*f" % (decimals, value) if present else "none"


def channel_line(c):
    kind = {KWO_KIND_VOLTAGE: "voltage", KWO_KIND_TEMPERATURE: "temperature"}.get(c.kind, "fan")
    value = number(c.kind, c.value) if c.has_value else "-"
    alarm = ["ok", "low", "high", "stopped"][c.alarm] if 0 <= c.alarm <= 3 else "?"
    line = "%s %u %s = %s %s, limits %s .. %s, %s" % (
        kind, c.index, c.name.decode(), value, c.unit.decode(),
        number(c.kind, c.low, c.low != KWO_NO_LIMIT),
        number(c.kind, c.high, c.high != KWO_NO_LIMIT), alarm)
    if c.kind == KWO_KIND_FAN and c.rpm != KWO_NO_RPM:
        line += ", %.0f rpm" % c.rpm
    return line


def main():
    lib = load_library()

    def check(what, status):
        if status != KWO_OK:
            sys.stderr.write("read_all: %s: %s\n" % (what, lib.kwo_status_text(status).decode()))
            sys.exit(1)

    handle = ctypes.c_uint32()
    check("kwo_open", lib.kwo_open(ctypes.byref(handle)))
    info = ChipInfo()
    check("kwo_describe", lib.kwo_describe(handle, ctypes.byref(info)))
    lines = ["chip " + info.description.decode()]

    # Ask for the count first, then read into a buffer of that size.
    count = ctypes.c_uint32()
    status = lib.kwo_read_all(handle, None, 0, ctypes.byref(count))
    channels = (Channel * count.value)()
    if status == KWO_ERROR_BUFFER_TOO_SMALL:
        status = lib.kwo_read_all(handle, channels, count.value, ctypes.byref(count))
    check("kwo_read_all", status)
    lines += [channel_line(channels[i]) for i in range(count.value)]
    check("kwo_close", lib.kwo_close(handle))
    sys.stdout.buffer.write(("\n".join(lines) + "\n").encode("utf-8"))


if __name__ == "__main__":
    main()
