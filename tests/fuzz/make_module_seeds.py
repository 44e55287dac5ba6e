#!/usr/bin/env python3
"""Seeds for the module reader's fuzz target, made from built modules.

    make_module_seeds.py OUTPUT_FOLDER NAME=MODULE [NAME=MODULE ...]

Each module (a PE or a 64-bit ELF file, such as a build's QevTimerPack.bpl
or libQevTimerPack.so) is cut down to what the reader looks at: for PE the
headers and the one section holding the export directory; for ELF the
header, the dynamic symbols, their strings and three section headers. The
result, NAME.bin, reads to the same exports as the module. Damaged copies of
it follow: NAME-<damage>.bin.
"""
import os
import struct
import sys


def u16(b, at):
    return struct.unpack_from("<H", b, at)[0]


def u32(b, at):
    return struct.unpack_from("<I", b, at)[0]


def u64(b, at):
    return struct.unpack_from("<Q", b, at)[0]


def patched(data, *edits):
    """A copy of `data` with each (format, offset, value) of `edits` written in."""
    b = bytearray(data)
    for fmt, at, value in edits:
        struct.pack_into(fmt, b, at, value)
    return bytes(b)


def shrink_pe(data):
    pe = u32(data, 0x3C)
    count, optional_size = u16(data, pe + 6), u16(data, pe + 20)
    optional = pe + 24
    wide = u16(data, optional) == 0x20B
    export_rva = u32(data, optional + (112 if wide else 96))
    table = optional + optional_size
    for i in range(count):
        s = table + 40 * i
        va, vsize, rsize, raw = u32(data, s + 12), u32(data, s + 8), u32(data, s + 16), u32(data, s + 20)
        if va <= export_rva < va + max(vsize, rsize):
            break
    else:
        sys.exit("no section holds the export directory")
    head = bytearray(data[:table + 40])
    head[table:table + 40] = data[s:s + 40]
    struct.pack_into("<H", head, pe + 6, 1)
    start = (len(head) + 15) & ~15
    head += bytes(start - len(head))
    struct.pack_into("<I", head, table + 20, start)
    body = data[raw:raw + rsize]
    # The export section's raw size is padded to the file alignment; the
    # names end well before it.
    end = len(body.rstrip(b"\0")) + 1
    struct.pack_into("<I", head, table + 16, end)
    return bytes(head) + body[:end], dict(pe=pe, table=table, optional=optional, wide=wide, start=start,
                                          export_dir=export_rva - va + start, va=va)


def shrink_elf(data):
    shoff, shnum = u64(data, 0x28), u16(data, 0x3C)
    for i in range(shnum):
        s = shoff + 64 * i
        if u32(data, s + 4) == 11:
            break
    else:
        sys.exit("no dynamic symbol table")
    link = u32(data, s + 0x28)
    l = shoff + 64 * link
    sym_off, sym_size = u64(data, s + 0x18), u64(data, s + 0x20)
    str_off, str_size = u64(data, l + 0x18), u64(data, l + 0x20)
    out = bytearray(data[:64])
    symbols = len(out)
    out += data[sym_off:sym_off + sym_size]
    strings = len(out)
    out += data[str_off:str_off + str_size]
    out += bytes((-len(out)) % 8)
    headers = len(out)
    out += bytes(64)                                   # the null section
    dynsym = bytearray(data[s:s + 64])
    struct.pack_into("<Q", dynsym, 0x18, symbols)
    struct.pack_into("<I", dynsym, 0x28, 2)
    out += dynsym
    dynstr = bytearray(data[l:l + 64])
    struct.pack_into("<Q", dynstr, 0x18, strings)
    out += dynstr
    struct.pack_into("<Q", out, 0x20, 0)               # no program headers
    struct.pack_into("<H", out, 0x38, 0)
    struct.pack_into("<Q", out, 0x28, headers)
    struct.pack_into("<H", out, 0x3C, 3)
    struct.pack_into("<H", out, 0x3E, 0)
    return bytes(out), dict(headers=headers, symbols=symbols, strings=strings)


def damaged_pe(small, at):
    out = {}
    out["cut-in-names"] = small[:len(small) - 40]
    out["cut-in-headers"] = small[:at["table"] + 20]
    out["pe-offset-past-end"] = patched(small, ("<I", 0x3C, len(small) + 100))
    out["export-outside-sections"] = patched(small, ("<I", at["optional"] + (112 if at["wide"] else 96), 0x7FFFFFF0))
    out["huge-name-count"] = patched(small, ("<I", at["export_dir"] + 24, 0xFFFFFFFF))
    out["huge-section-count"] = patched(small, ("<H", at["pe"] + 6, 0xFFFF))
    # Every name pointer at the module name: the same text again and again.
    b = bytearray(small)
    names = u32(b, at["export_dir"] + 32) - at["va"] + at["start"]
    count = u32(b, at["export_dir"] + 24)
    name = u32(b, at["export_dir"] + 12)
    for i in range(count):
        struct.pack_into("<I", b, names + 4 * i, name)
    out["names-repeat"] = bytes(b)
    # The name pointers point back into the pointer table: a loop of bytes.
    b = bytearray(small)
    for i in range(count):
        struct.pack_into("<I", b, names + 4 * i, u32(small, at["export_dir"] + 32))
    out["names-loop"] = bytes(b)
    return out


def damaged_elf(small, at):
    out = {}
    out["cut-in-strings"] = small[:at["headers"] - 20]
    out["cut-in-headers"] = small[:at["headers"] + 100]
    out["huge-symbol-size"] = patched(small, ("<Q", at["headers"] + 64 + 0x20, 0xFFFFFFFFFFFFFF00))
    out["symbol-size-1"] = patched(small, ("<Q", at["headers"] + 64 + 0x38, 1))
    out["section-headers-repeat"] = patched(small, ("<H", 0x3A, 0), ("<H", 0x3C, 0xFFFF))
    out["strings-are-symbols"] = patched(small, ("<I", at["headers"] + 64 + 0x28, 1))
    out["two-symbol-tables"] = patched(small, ("<I", at["headers"] + 128 + 4, 11))
    out["section-headers-far"] = patched(small, ("<Q", 0x28, 1 << 63))
    return out


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    folder = sys.argv[1]
    os.makedirs(folder, exist_ok=True)
    for arg in sys.argv[2:]:
        name, path = arg.split("=", 1)
        data = open(path, "rb").read()
        if data[:4] == b"\x7fELF":
            small, at = shrink_elf(data)
            damaged = damaged_elf(small, at)
        else:
            small, at = shrink_pe(data)
            damaged = damaged_pe(small, at)
        files = {f"{name}.bin": small}
        files.update({f"{name}-{k}.bin": v for k, v in damaged.items()})
        for file, content in files.items():
            with open(os.path.join(folder, file), "wb") as f:
                f.write(content)
            print(f"{file}: {len(content)} bytes")


if __name__ == "__main__":
    main()
