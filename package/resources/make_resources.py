#!/usr/bin/env python3
"""Writes the binary resources of the package QevTimerPack for one build.

    make_resources.py {win64|win32|linux} OUTPUT_FOLDER [REQUIRED ...]

Files written: PACKAGEINFO.bin, DESCRIPTION.bin, PACKAGEOPTIONS.bin,
TQEVTIMER.bmp (the palette bitmap), icon16.bin and icon32.bin (icon
images) and MAINICON.grp (an icon group). The resource scripts beside this
file take them in. REQUIRED names the packages the linux build requires, as
the loader finds them: the stand-in's libraries by their sonames. Needs only
the standard library.
"""
import math
import os
import struct
import sys

# ---------------------------------------------------------------------------
# Package identity table

PF_NEVER_BUILD = 0x00000001
PF_64BIT_TOOLS = 0x00100000
PF_PRODUCER_SHIFT = 26
PF_PACKAGE_MODULE = 0x40000000

UF_MAIN_UNIT, UF_PACKAGE_UNIT, UF_WEAK_UNIT, UF_ORG_WEAK_UNIT = 0x01, 0x02, 0x04, 0x08


def name_hash(name):
    """The hash byte of a name: the low byte of the 32-bit FNV-1a hash of the
    name in ASCII capitals, so that a name hashes alike in any spelling."""
    h = 0x811C9DC5
    for byte in name.upper().encode("ascii"):
        h = ((h ^ byte) * 0x01000193) & 0xFFFFFFFF
    return h & 0xFF


# The weakly packaged framework units that the x86 tools add: Windows
# interface units and two runtime-library units, as that build spells them.
WEAK_UNITS_X86 = [
    "Winapi.windows", "Winapi.messages", "Winapi.activex", "Winapi.shellapi",
    "Winapi.commctrl", "Winapi.richedit", "Winapi.winspool", "Winapi.commdlg",
    "Winapi.dlgs", "Winapi.shlwapi", "Winapi.uxtheme", "Winapi.winhttp",
    "Winapi.multimon", "Winapi.imagehlp", "Winapi.tlhelp32", "Winapi.mmsystem",
    "Winapi.wincodec", "Winapi.wintrust", "Winapi.oleacc", "Winapi.winsock2",
    "Winapi.wininet", "Winapi.oledlg", "Winapi.objectarray", "Winapi.propsys",
    "Winapi.structuredquery", "Winapi.knownfolders", "Winapi.gdipapi",
    "Winapi.gdipobj", "Winapi.ipexport", "System.win.crtl", "System.win.comconst",
]

BUILDS = {
    "win64": dict(
        flags=PF_PACKAGE_MODULE | (3 << PF_PRODUCER_SHIFT) | PF_64BIT_TOOLS | PF_NEVER_BUILD,
        requires=["vcl200.bpl", "rtl200.bpl"],
        contains=[(UF_MAIN_UNIT | UF_PACKAGE_UNIT, "QevTimerPack"), (0, "QevTimer"), (0, "SysInit")],
        hashed=True, description="QevTimer 1.26", size=88, padding=2),
    "win32": dict(
        flags=PF_PACKAGE_MODULE | (2 << PF_PRODUCER_SHIFT) | PF_NEVER_BUILD,
        requires=["rtl250.bpl", "vcl250.bpl"],
        contains=[(0, "Sysinit")] + [(UF_WEAK_UNIT | UF_ORG_WEAK_UNIT, u) for u in WEAK_UNITS_X86]
                 + [(0, "Qevtimerpack"), (0, "Qevtimer")],
        hashed=False, description="QevTimerPack", size=644, padding=0),
}
# The ELF build follows the x86-64 one; the stand-in's library names come
# from the command line.
BUILDS["linux"] = dict(BUILDS["win64"], requires=None, size=None)


def cstr(text):
    return text.encode("ascii") + b"\0"


def pad4(data):
    return data + b"\0" * (-len(data) % 4)


def package_info(build):
    h = name_hash if build["hashed"] else (lambda name: 0)
    out = struct.pack("<Ii", build["flags"], len(build["requires"]))
    for name in build["requires"]:
        out += bytes([h(name)]) + cstr(name)
    out += struct.pack("<i", len(build["contains"]))
    for flags, name in build["contains"]:
        out += bytes([flags, h(name)]) + cstr(name)
    out += bytes([h("QevTimerPack")]) + cstr("QevTimerPack")
    padded = pad4(out)
    if build["size"] is not None and (len(padded), len(padded) - len(out)) != (build["size"], build["padding"]):
        sys.exit(f"PACKAGEINFO is {len(out)} bytes and {len(padded) - len(out)} of padding, "
                 f"not {build['size']} with {build['padding']}")
    return padded


def description(text):
    return pad4(text.encode("utf-16-le") + b"\0\0")


def package_options(target):
    """The build settings record: a 0x30 mark and three zero bytes; the x86-64
    tools add the settings as (id, length, text) items, zero-padded to 244."""
    out = b"\x30\0\0\0"
    if target == "win32":
        return out
    settings = [(1, "DEBUG;"), (2, "QevTimer 1.26"), (3, "QevTimerPack"), (4, "Win64"), (5, ".bpl")]
    for ident, text in settings:
        data = text.encode("ascii")
        out += bytes([ident, len(data)]) + data
    return out + b"\0" * (244 - len(out))


# ---------------------------------------------------------------------------
# Pictures

LIGHT_BLUE, DARK_GREY, BLACK, MAGENTA = (166, 202, 240), (64, 64, 64), (0, 0, 0), (255, 0, 255)


def clock_face(size):
    """Rows (top first) of colour names: a round face ('face') with a rim
    ('rim'), two hands ('hand') pointing at twelve and at three, and the
    background ('bg') outside the circle."""
    c = (size - 1) / 2
    outer, inner = size / 2 - 0.05, size / 2 - 1.5 * size / 16
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            d = math.hypot(x - c, y - c)
            row.append("bg" if d > outer else "rim" if d > inner else "face")
        rows.append(row)
    mid = size // 2
    for y in range(int(size * 3 / 16), mid):       # minute hand, up to twelve
        rows[y][mid - 1] = "hand"
    for x in range(mid - 1, int(size * 12 / 16)):  # hour hand, to three
        rows[mid - 1][x] = "hand"
    return rows


def bitmap_8bpp():
    """The palette bitmap: 16 x 16, 8 bits per pixel, bottom-up, 256 colours."""
    index = {"bg": 0, "face": 1, "rim": 2, "hand": 3}
    colours = [MAGENTA, LIGHT_BLUE, DARK_GREY, BLACK]
    colours += [(g, g, g) for g in range(0, 256, 1)][: 256 - len(colours)]
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in colours)
    rows = clock_face(16)
    pixels = b"".join(bytes(index[p] for p in row) for row in reversed(rows))
    info = struct.pack("<IiiHHIIiiII", 40, 16, 16, 1, 8, 0, len(pixels), 0, 0, 0, 0)
    header = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(palette) + len(pixels), 0, 0,
                         14 + len(info) + len(palette))
    return header + info + palette + pixels


def icon_image(size):
    """An icon image of 4 bits per pixel: header, 16 colours, colour rows and
    the transparency mask, both bottom-up."""
    index = {"bg": 0, "face": 1, "rim": 2, "hand": 3}
    colours = [BLACK, LIGHT_BLUE, DARK_GREY, BLACK] + [(255, 255, 255)] * 12
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in colours)
    rows = list(reversed(clock_face(size)))
    xor = b""
    mask = b""
    for row in rows:
        nibbles = [index[p] for p in row]
        line = bytes((nibbles[i] << 4) | nibbles[i + 1] for i in range(0, size, 2))
        xor += line + b"\0" * (-len(line) % 4)
        bits = 0
        for p in row:
            bits = (bits << 1) | (p == "bg")
        line = bits.to_bytes(size // 8, "big")
        mask += line + b"\0" * (-len(line) % 4)
    info = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 4, 0, len(xor) + len(mask), 0, 0, 16, 0)
    return info + palette + xor + mask


def icon_group(entries):
    """An icon group: (size, image bytes, identifier) per entry."""
    out = struct.pack("<HHH", 0, 1, len(entries))
    for size, image, ident in entries:
        out += struct.pack("<BBBBHHIH", size % 256, size % 256, 16, 0, 1, 4, len(image), ident)
    return out


def main():
    if len(sys.argv) < 3 or sys.argv[1] not in BUILDS or (len(sys.argv) > 3) != (sys.argv[1] == "linux"):
        sys.exit(__doc__)
    target, folder = sys.argv[1], sys.argv[2]
    build = BUILDS[target]
    if target == "linux":
        build = dict(build, requires=sys.argv[3:])
    os.makedirs(folder, exist_ok=True)
    icon16, icon32 = icon_image(16), icon_image(32)
    files = {
        "PACKAGEINFO.bin": package_info(build),
        "DESCRIPTION.bin": description(build["description"]),
        "PACKAGEOPTIONS.bin": package_options(target),
        "TQEVTIMER.bmp": bitmap_8bpp(),
        "icon16.bin": icon16,
        "icon32.bin": icon32,
        "MAINICON.grp": icon_group([(32, icon32, 2)]),
    }
    assert len(icon16) == 296 and len(icon32) == 744 and len(files["TQEVTIMER.bmp"]) == 14 + 1320
    for name, data in files.items():
        path = os.path.join(folder, name)
        try:
            with open(path, "rb") as f:
                if f.read() == data:
                    continue  # unchanged: keep the time stamp
        except OSError:
            pass
        with open(path, "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
