#!/usr/bin/python3
"""Reads a built Windows package back with pefile and checks it against the
generator outputs and the table of exported names.

    check_pe.py {win64|win32} PACKAGE GENERATED_FOLDER PACKAGE_SOURCE_FOLDER
"""
import os
import struct
import sys

import pefile

failures = []


def check(ok, what):
    if not ok:
        failures.append(what)


def main():
    target, path, generated, source = sys.argv[1:5]
    sys.path.insert(0, source)
    import exports  # the one table of exported names
    import interface  # the exported interface, beside this script

    pe = pefile.PE(path)
    check(pe.FILE_HEADER.Machine == (0x8664 if target == "win64" else 0x14C), "machine")

    def generated_file(name):
        with open(os.path.join(generated, name), "rb") as f:
            return f.read()

    # (type, name or id, language) -> expected bytes (None: checked below)
    expected = {
        (10, "PACKAGEINFO", 0): generated_file("PACKAGEINFO.bin"),
        (10, "DESCRIPTION", 0): generated_file("DESCRIPTION.bin"),
        (10, "PACKAGEOPTIONS", 0): generated_file("PACKAGEOPTIONS.bin"),
        (10, "PLATFORMTARGETS", 1033): b"\x03\x00",
        (2, "TQEVTIMER", 1033): generated_file("TQEVTIMER.bmp")[14:],
        (3, 1, 1033): generated_file("icon16.bin"),
        (16, 1, 1033): None,
    }
    if target == "win64":
        expected[(3, 2, 1033)] = generated_file("icon32.bin")
        expected[(14, "MAINICON", 1033)] = generated_file("MAINICON.grp")

    found = {}
    for t in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for n in t.directory.entries:
            name = str(n.name) if n.name is not None else n.id
            for lang in n.directory.entries:
                d = lang.data.struct
                found[(t.id, name, lang.id)] = pe.get_data(d.OffsetToData, d.Size)
    check(set(found) == set(expected), f"resources {sorted(map(str, found))} != {sorted(map(str, expected))}")
    for key, data in expected.items():
        if data is not None and key in found:
            check(found[key] == data, f"bytes of {key}")

    sizes = {"win64": (88, 244), "win32": (644, 4)}[target]
    check(len(found.get((10, "PACKAGEINFO", 0), b"")) == sizes[0], "PACKAGEINFO size")
    check(len(found.get((10, "PACKAGEOPTIONS", 0), b"")) == sizes[1], "PACKAGEOPTIONS size")
    check(len(found.get((2, "TQEVTIMER", 1033), b"")) == 1320, "bitmap size")
    info = found.get((10, "PACKAGEINFO", 0), b"\0" * 4)
    check(struct.unpack_from("<I", info)[0] == (0x4C100001 if target == "win64" else 0x48000001), "flags")
    # The record ends with the package name: 2 zero bytes follow in x86-64, none in x86.
    tail = b"QevTimerPack\0" + (b"\0\0" if target == "win64" else b"")
    check(info.endswith(tail), "padding after the package name")

    # The version block, as pefile reads it.
    fixed = pe.VS_FIXEDFILEINFO[0]
    strings = {}
    for info_block in pe.FileInfo[0]:
        for table in getattr(info_block, "StringTable", []):
            check(table.LangID == b"040904E4", "string table language")
            strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
        for var in getattr(info_block, "Var", []):
            check(var.entry.get(b"Translation") == "0x0409 0x04e4", f"translation {var.entry}")
    check(fixed.FileFlagsMask == 0x3F and fixed.FileFlags == 0 and fixed.FileOS == 4 and fixed.FileType == 1,
          "fixed flags")
    if target == "win64":
        check((fixed.FileVersionMS, fixed.FileVersionLS) == (0x10000, 0), "file version")
        check(strings == {"FileVersion": "1.0.0.0", "ProductVersion": "1.0.0.0"}, f"strings {strings}")
    else:
        check(fixed.FileVersionMS == 0x10003 and (fixed.ProductVersionMS, fixed.ProductVersionLS) == (0x10003, 0x10000),
              "versions")
        stamp = generated_file("version_stamp.h").decode().split()
        check(fixed.FileVersionLS == (int(stamp[2]) << 16 | int(stamp[5])), "stamped file version")
        keys = ["CompanyName", "FileVersion", "LegalCopyright", "ProductName", "ProductVersion", "ProgramID",
                "FileDescription"]
        check(sorted(strings) == sorted(keys), f"string keys {list(strings)}")
        check(strings.get("ProgramID", "").endswith(".QevTimerPack"), "ProgramID")

    # Exports: exactly the table's names for this build and the interface's
    # names under their own signatures, under the module's name.
    names = sorted(s.name.decode() for s in pe.DIRECTORY_ENTRY_EXPORT.symbols)
    failures.extend(interface.check(target, names, [name for name, _, _ in exports.exported(target)]))
    check(pe.DIRECTORY_ENTRY_EXPORT.name == b"QevTimerPack.bpl", "export directory name")
    check(("@GetPackageInfoTable" in names) == (target == "win64"), "GetPackageInfoTable")
    check(not any("GetPackageInfoTable" in n for n in names) or target == "win64", "no GetPackageInfoTable in x86")
    # Imports: exactly these modules. The multimedia library is bound at run
    # time only; an import of it would keep the package from loading where it
    # is missing. The C runtime comes with every Windows; the x86 build adds
    # the compiler's unwinder and thread library (the README's deviations).
    imports = {d.dll.decode().lower() for d in pe.DIRECTORY_ENTRY_IMPORT}
    release = "200" if target == "win64" else "250"
    expected_imports = {"kernel32.dll", "msvcrt.dll", f"rtl{release}.bpl", f"vcl{release}.bpl"}
    if target == "win32":
        expected_imports |= {"libgcc_s_dw2-1.dll", "libwinpthread-1.dll"}
    check(imports == expected_imports,
          f"imports: extra {sorted(imports - expected_imports)}, missing {sorted(expected_imports - imports)}")

    return interface.report(path, f"{len(expected)} resources, {len(names)} exports", failures)


if __name__ == "__main__":
    sys.exit(main())
