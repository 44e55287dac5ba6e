#!/usr/bin/env python3
"""Damaged copies of a built module, for the tools' failure tests.

    damaged_modules.py OUTPUT_FOLDER MODULE

MODULE is a PE (a Windows build's .bpl) or a 64-bit ELF file (the Linux
build's .so). Writes, each a whole copy of it but for the damage its name
says: cut-in-headers, cut-in-section-table, cut-in-half, resource-header
(the resource directory, or the embedded resource file's first entry,
damaged), other-architecture (the machine field changed) and other-system
(the headers of the other system's module format, nothing else).
"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fuzz"))
from make_module_seeds import patched, u16, u32, u64  # noqa: E402


def pe_copies(data):
    pe = u32(data, 0x3C)
    optional = pe + 24
    wide = u16(data, optional) == 0x20B
    table = optional + u16(data, pe + 20)
    resource_rva = u32(data, optional + (112 if wide else 96) + 16)
    for i in range(u16(data, pe + 6)):
        s = table + 40 * i
        va, size, raw = u32(data, s + 12), max(u32(data, s + 8), u32(data, s + 16)), u32(data, s + 20)
        if va <= resource_rva < va + size:
            root = resource_rva - va + raw
            break
    else:
        sys.exit("no section holds the resource directory")
    # The root's first entry names a data entry where a type directory belongs.
    first = root + 16 + 4
    return {
        "cut-in-headers": data[:pe + 10],
        "cut-in-section-table": data[:table + 20],
        "resource-header": patched(data, ("<I", first, u32(data, first) & 0x7FFFFFFF)),
        "other-architecture": patched(data, ("<H", pe + 4, 0x14C if wide else 0x8664)),
        # A 64-bit ELF header for x86-64 without sections or segments.
        "other-system": b"\x7fELF\x02\x01\x01" + bytes(9) + patched(bytes(48), ("<H", 2, 62)),
    }


def elf_copies(data):
    shoff, shnum = u64(data, 0x28), u16(data, 0x3C)
    headers = [shoff + 64 * i for i in range(shnum)]
    dynsym = next(h for h in headers if u32(data, h + 4) == 11)
    strings = u64(data, headers[u32(data, dynsym + 0x28)] + 0x18)
    offset, size = u64(data, dynsym + 0x18), u64(data, dynsym + 0x20)
    for at in range(offset, offset + size, 24):
        name = strings + u32(data, at)
        if data[name:name + 6] == b"_rsrc\0":
            address = u64(data, at + 8)
            break
    else:
        sys.exit("no _rsrc symbol")
    for h in headers:
        base, length = u64(data, h + 0x10), u64(data, h + 0x20)
        if u64(data, h + 8) & 2 and base <= address < base + length:
            resources = address - base + u64(data, h + 0x18)
            break
    pe = 0x40
    return {
        "cut-in-headers": data[:40],
        "cut-in-section-table": data[:shoff + 100],
        # After the resource file's size: the first entry's data size, then
        # its header size.
        "resource-header": patched(data, ("<I", resources + 8, 0xFFFFFFF0)),
        "other-architecture": patched(data, ("<H", 0x12, 3)),
        # The headers of an x86-64 PE32+ module without sections.
        "other-system": patched(bytes(pe + 24 + 240), ("<H", 0, 0x5A4D), ("<I", 0x3C, pe), ("<I", pe, 0x4550),
                                ("<H", pe + 4, 0x8664), ("<H", pe + 20, 240), ("<H", pe + 24, 0x20B)),
    }


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    folder, module = sys.argv[1:]
    os.makedirs(folder, exist_ok=True)
    data = open(module, "rb").read()
    copies = elf_copies(data) if data[:4] == b"\x7fELF" else pe_copies(data)
    copies["cut-in-half"] = data[:len(data) // 2]
    suffix = os.path.splitext(module)[1]
    for name, content in copies.items():
        with open(os.path.join(folder, name + suffix), "wb") as f:
            f.write(content)


if __name__ == "__main__":
    main()
