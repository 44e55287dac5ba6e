#!/usr/bin/env python3
"""Reads the dynamic symbols of the Linux package back with nm and checks them
against the table of exported names and the exported interface.

    check_elf.py NM PACKAGE PACKAGE_SOURCE_FOLDER
"""
import subprocess
import sys


def main():
    nm, path, source = sys.argv[1:4]
    sys.path.insert(0, source)
    import exports  # the one table of exported names
    import interface  # the exported interface, beside this script

    out = subprocess.run([nm, "-D", "--defined-only", path], capture_output=True, text=True, check=True).stdout
    names = [line.split()[-1] for line in out.splitlines() if line.strip()]
    failures = interface.check("linux", names, [name for name, _, _ in exports.exported("linux")])
    return interface.report(path, f"{len(names)} exports", failures)


if __name__ == "__main__":
    sys.exit(main())
