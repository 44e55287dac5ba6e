#!/usr/bin/env python3
"""Reads the Linux build back with binutils.

    check_elf.py NM PACKAGE PACKAGE_SOURCE_FOLDER
        the package's dynamic symbols (nm) against the table of exported
        names and the exported interface
    check_elf.py --needed READELF PREFIX BINDIR LIBDIR
        the libraries each installed library and tool needs, and where it
        looks for them (readelf), against the lists below
"""
import os
import re
import subprocess
import sys

# The project's libraries each installed file needs, exactly: the libraries
# by their sonames, the tools by their file names.
OWN = {
    "libqevtimer-rtl.so.1": set(),
    "libqevtimer-vcl.so.1": {"libqevtimer-rtl.so.1"},
    "libQevTimerPack.so.1": {"libqevtimer-vcl.so.1", "libqevtimer-rtl.so.1"},
    "qev-inspect": {"libqevtimer-rtl.so.1"},
    "qev-design": {"libqevtimer-vcl.so.1", "libqevtimer-rtl.so.1"},
    "qev-bench": {"libQevTimerPack.so.1", "libqevtimer-vcl.so.1", "libqevtimer-rtl.so.1"},
}
# Beyond those, only the C and C++ runtimes that come with every system that
# has the compiler's runtime: the C library (libc6, whose older releases split
# off libpthread, libdl and librt), the compiler's unwinder and libstdc++.
SYSTEM = re.compile(r"^(libc\.so\.6|libm\.so\.6|libpthread\.so\.0|libdl\.so\.2|librt\.so\.1|ld-linux[-.\w]*\.so\.[12]"
                    r"|libgcc_s\.so\.1|libstdc\+\+\.so\.6)$")


def dynamic(readelf, path):
    """The NEEDED names, the run path and the soname (or None) of an ELF
    file, or None if it is none."""
    run = subprocess.run([readelf, "-d", "-W", path], capture_output=True, text=True)
    if run.returncode != 0 or "Not an ELF file" in run.stderr:
        return None
    needed = set(re.findall(r"\(NEEDED\)\s+Shared library: \[([^]]+)\]", run.stdout))
    runpath = re.findall(r"\((?:RUNPATH|RPATH)\)\s+Library r(?:un)?path: \[([^]]+)\]", run.stdout)
    soname = re.findall(r"\(SONAME\)\s+Library soname: \[([^]]+)\]", run.stdout)
    return needed, runpath, soname[0] if soname else None


def check_needed(readelf, prefix, bindir, libdir):
    failures = []
    seen = set()
    to_lib = os.path.relpath(libdir, bindir)
    for folder, runpath_wanted in ((bindir, f"$ORIGIN/{to_lib}"), (libdir, "$ORIGIN")):
        top = os.path.join(prefix, folder)
        for name in sorted(os.listdir(top)):
            path = os.path.join(top, name)
            if not os.path.isfile(path) or os.path.islink(path):
                continue
            info = dynamic(readelf, path)
            if info is None:
                continue
            needed, runpath, soname = info
            if soname:
                # The file the soname's link leads to, named after its version.
                if not name.startswith(soname + "."):
                    failures.append(f"{folder}/{name}: soname {soname} does not begin its name")
                link = os.path.join(top, soname)
                if os.path.realpath(link) != os.path.realpath(path):
                    failures.append(f"{folder}/{soname} is no link to {name}")
                name = soname
            seen.add(name)
            if name not in OWN:
                failures.append(f"{folder}/{name}: not a file this tree installs")
                continue
            own = {n for n in needed if not SYSTEM.match(n)}
            if own != OWN[name]:
                failures.append(f"{folder}/{name} needs {sorted(own)}, not {sorted(OWN[name])}")
            if "libc.so.6" not in needed:
                failures.append(f"{folder}/{name} does not need the C library")
            # Relocatable: the only place searched is beside the libraries.
            if runpath != [runpath_wanted]:
                failures.append(f"{folder}/{name}: run path {runpath}, not ['{runpath_wanted}']")
            print(f"{folder}/{name}: {' '.join(sorted(needed))}; run path {':'.join(runpath)}")
    for name in sorted(set(OWN) - seen):
        failures.append(f"missing: {name}")
    return failures


def main():
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    import interface  # the exported interface, beside this script

    if sys.argv[1] == "--needed":
        readelf, prefix, bindir, libdir = sys.argv[2:6]
        failures = check_needed(readelf, prefix, bindir, libdir)
        return interface.report(prefix, f"{len(OWN)} files", failures)

    nm, path, source = sys.argv[1:4]
    sys.path.insert(0, source)
    import exports  # the one table of exported names

    out = subprocess.run([nm, "-D", "--defined-only", path], capture_output=True, text=True, check=True).stdout
    names = [line.split()[-1] for line in out.splitlines() if line.strip()]
    failures = interface.check("linux", names, [name for name, _, _ in exports.exported("linux")])
    return interface.report(path, f"{len(names)} exports", failures)


if __name__ == "__main__":
    sys.exit(main())
