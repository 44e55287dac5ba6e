#!/usr/bin/env python3
"""The exported names of the package QevTimerPack: one table for every build,
and the files that the linkers take from it.

    exports.py {win64|win32|linux} OUTPUT_FOLDER

win64: QevTimerPack.def (Itanium names, plus the loader's plain and "@" names)
win32: QevTimerPack.def (the framework's own mangling only) and
       QevTimerPack-import.def (an import library that maps each Itanium
       name that C++ callers use onto the framework's name)
linux: QevTimerPack.map (a version script: plain ELF names, nothing else)

The framework's mangling, as the x86 build writes it:
  @Ns@Name$qqr<args>          a routine (register convention), args coded below
  @Ns@Class@Name$qqr<args>    a method; $xqqr<args> for a const method
  @Ns@Class@$bctr$qqr<args>   constructor;  @Ns@Class@$bdtr$qqrv  destructor
  @Ns@Class@$bdele$q<args>    a class's own operator delete (C calling convention)
  @Ns@Name$<n>$qqr<args>      the n-th unit-private routine of a unit
  @Ns@Name                    a variable;   @Ns@Class@  a virtual table
  @$xp$<len><Ns@Type>         the run-time type record of a type
Arguments: v void, o bool, d double, ui unsigned int, p pointer to, x const;
a named type is its length and its name with "@" between scopes
(25System@Classes@TComponent); pMqqr<args>$<result> is a method pointer
(closure) with those arguments and result. Back-references are not used.
"""
import os
import sys

ALL = ("win64", "win32", "linux")
ITANIUM = ("win64", "linux")

# (family, internal symbol, x86 name or None, data, other names per build)
#   other names: a dict build -> [extra exported names of the same symbol]
# A row without an x86 name is not exported by the x86 build; a row whose x86
# name is set but that lists only "win32" is exported by the x86 build alone.
TABLE = []


def N(qualified):
    """A named type as the x86 mangling writes it: length, then the name."""
    return f"{len(qualified)}{qualified}"


def row(family, symbol, x86, data=False, builds=ALL, extra=None, import_aliases=()):
    TABLE.append(dict(family=family, symbol=symbol, x86=x86, data=data, builds=builds,
                      extra=extra or {}, import_aliases=import_aliases))


# Package entry points.
row("entry", "_ZN12Qevtimerpack12_PackageLoadEv", "Initialize",
    extra={"win64": ["Initialize"], "linux": ["Initialize"]})
row("entry", "_ZN12Qevtimerpack14_PackageUnloadEv", "Finalize",
    extra={"win64": ["Finalize"], "linux": ["Finalize"]})
row("entry", "_ZN12Qevtimerpack20_GetPackageInfoTableEv", None, builds=ITANIUM,
    extra={"win64": ["@GetPackageInfoTable"], "linux": ["GetPackageInfoTable"]})
row("entry", "_ZN12Qevtimerpack14initializationEv", None, builds=ITANIUM)

# Unit routines.
row("unit", "_ZN8Qevtimer14initializationEv", "@Qevtimer@initialization$qqrv")
row("unit", "_ZN8Qevtimer12FinalizationEv", "@Qevtimer@Finalization$qqrv")
row("unit", "_ZN8Qevtimer8RegisterEv", "@Qevtimer@Register$qqrv")
row("unit", "_ZN8Qevtimer7LinkAPIEN6System13UnicodeStringES1_",
    "@Qevtimer@LinkAPI$qqr" + N("System@UnicodeString") + N("System@UnicodeString"))
row("unit", "_ZN12Qevtimerpack10InitializeEv", "@Qevtimerpack@Initialize$qqrv", builds=("win32",))
row("unit", "_ZN12Qevtimerpack8FinalizeEv", "@Qevtimerpack@Finalize$qqrv", builds=("win32",))

# Unit-private routines (x86 only), numbered in the order the unit declares them.
row("private", "_ZN8Qevtimer20LinkedTimeGetDevCapsEPNS_9TTimeCapsEj",
    "@Qevtimer@LinkedTimeGetDevCaps$1$qqrp" + N("Qevtimer@TTimeCaps") + "ui", builds=("win32",))
row("private", "_ZN8Qevtimer21LinkedTimeBeginPeriodEj", "@Qevtimer@LinkedTimeBeginPeriod$2$qqrui",
    builds=("win32",))
row("private", "_ZN8Qevtimer19LinkedTimeEndPeriodEj", "@Qevtimer@LinkedTimeEndPeriod$3$qqrui", builds=("win32",))
row("private", "_ZN8Qevtimer19BeginMinTimerPeriodEv", "@Qevtimer@BeginMinTimerPeriod$4$qqrv", builds=("win32",))
row("private", "_ZN8Qevtimer17EndMinTimerPeriodEv", "@Qevtimer@EndMinTimerPeriod$5$qqrv", builds=("win32",))

# Unit variables.
row("variable", "_ZN8Qevtimer16_timeBeginPeriodE", "@Qevtimer@_timeBeginPeriod", data=True)
row("variable", "_ZN8Qevtimer14_timeEndPeriodE", "@Qevtimer@_timeEndPeriod", data=True)
row("variable", "_ZN8Qevtimer15_timeGetDevCapsE", "@Qevtimer@_timeGetDevCaps", data=True)

# TQevTimer. The complete-object constructor and destructor carry the x86
# names; C++ callers of the base-object ones reach the same code.
T = "@Qevtimer@TQevTimer@"
row("TQevTimer", "_ZN8Qevtimer9TQevTimerC1EPN6System7Classes10TComponentE",
    T + "$bctr$qqrp" + N("System@Classes@TComponent"),
    import_aliases=["_ZN8Qevtimer9TQevTimerC2EPN6System7Classes10TComponentE"])
row("TQevTimer", "_ZN8Qevtimer9TQevTimerC2EPN6System7Classes10TComponentE", None, builds=ITANIUM)
row("TQevTimer", "_ZN8Qevtimer9TQevTimerD1Ev", T + "$bdtr$qqrv", import_aliases=["_ZN8Qevtimer9TQevTimerD2Ev"])
row("TQevTimer", "_ZN8Qevtimer9TQevTimerD2Ev", None, builds=ITANIUM)
row("TQevTimer", "_ZN8Qevtimer9TQevTimerD0Ev", None, builds=ITANIUM)
row("TQevTimer", "_ZN8Qevtimer9TQevTimer7DoTimerEv", T + "DoTimer$qqrv")
row("TQevTimer", "_ZN8Qevtimer9TQevTimer11UpdateTimerEv", T + "UpdateTimer$qqrv")
row("TQevTimer", "_ZN8Qevtimer9TQevTimer10SetEnabledEb", T + "SetEnabled$qqro")
row("TQevTimer", "_ZN8Qevtimer9TQevTimer11SetIntervalEd", T + "SetInterval$qqrd")
row("TQevTimer", "_ZN8Qevtimer9TQevTimer10SetOnTimerEN6System7TMethodIJPNS1_7TObjectEEEE",
    T + "SetOnTimer$qqrpMqqrp" + N("System@TObject") + "$v")
row("TQevTimer", "_ZN8Qevtimer9TQevTimer11SetPriorityEN6System7Classes15TThreadPriorityE",
    T + "SetPriority$qqr" + N("System@Classes@TThreadPriority"))
row("TQevTimer", "_ZN8Qevtimer9TQevTimer14GetCycleNumberEv", T + "GetCycleNumber$qqrv")
row("TQevTimer", "_ZN8Qevtimer9TQevTimer5StartEv", T + "Start$qqrv")
row("TQevTimer", "_ZN8Qevtimer9TQevTimer7RestartEv", T + "Restart$qqrv")
row("TQevTimer", "_ZN8Qevtimer9TQevTimer4StopEv", T + "Stop$qqrv")
# Beyond the interface of the original unit: what the deleting destructor and
# the virtual table of a subclass defined in an application refer to.
row("subclass", "_ZN8Qevtimer9TQevTimerdlEPS0_St19destroying_delete_t",
    T + "$bdele$qp" + N("Qevtimer@TQevTimer") + N("std@destroying_delete_t"))
row("subclass", "_ZNK8Qevtimer9TQevTimer9ClassInfoEv", T + "ClassInfo$xqqrv")
row("subclass", "_ZTIN8Qevtimer9TQevTimerE", None, data=True, builds=("linux",))

# TTimerThread.
W = "@Qevtimer@TTimerThread@"
row("TTimerThread", "_ZN8Qevtimer12TTimerThreadC1EPNS_9TQevTimerE", W + "$bctr$qqrp" + N("Qevtimer@TQevTimer"),
    import_aliases=["_ZN8Qevtimer12TTimerThreadC2EPNS_9TQevTimerE"])
row("TTimerThread", "_ZN8Qevtimer12TTimerThreadC2EPNS_9TQevTimerE", None, builds=ITANIUM)
row("TTimerThread", "_ZN8Qevtimer12TTimerThreadD1Ev", W + "$bdtr$qqrv",
    import_aliases=["_ZN8Qevtimer12TTimerThreadD2Ev"])
row("TTimerThread", "_ZN8Qevtimer12TTimerThreadD2Ev", None, builds=ITANIUM)
row("TTimerThread", "_ZN8Qevtimer12TTimerThreadD0Ev", None, builds=ITANIUM)
row("TTimerThread", "_ZN8Qevtimer12TTimerThread11CustomSleepEj", W + "CustomSleep$qqrui")
row("TTimerThread", "_ZN8Qevtimer12TTimerThread7ExecuteEv", W + "Execute$qqrv")

# Virtual tables.
row("vtable", "_ZTVN8Qevtimer9TQevTimerE", T, data=True)
row("vtable", "_ZTVN8Qevtimer12TTimerThreadE", W, data=True)

# Run-time type records.
row("type", "_ZN8Qevtimer9TQevTimer8TypeInfoE", "@$xp$" + N("Qevtimer@TQevTimer"), data=True)
row("type", "_ZN8Qevtimer12TTimerThread8TypeInfoE", "@$xp$" + N("Qevtimer@TTimerThread"), data=True)
row("type", "_ZN8Qevtimer18TypeInfo_TTimeCapsE", "@$xp$" + N("Qevtimer@TTimeCaps"), data=True)
row("type", "_ZN8Qevtimer18TypeInfo_PTimeCapsE", "@$xp$" + N("Qevtimer@PTimeCaps"), data=True)

# The ELF build's embedded resource file, read by the stand-in's resource lookup.
row("resources", "_rsrc", None, data=True, builds=("linux",))


def exported(build):
    """(exported name, internal symbol, data) for every export of a build."""
    out = []
    for r in TABLE:
        if build not in r["builds"]:
            continue
        if build == "win32":
            if r["x86"]:
                out.append((r["x86"], r["symbol"], r["data"]))
            continue
        out.append((r["symbol"], r["symbol"], r["data"]))
        for name in r["extra"].get(build, []):
            out.append((name, r["symbol"], r["data"]))
    return out


def check_x86_names():
    names = [r["x86"] for r in TABLE if r["x86"] and "win32" in r["builds"]]
    if len(names) != len(set(names)):
        sys.exit("an x86 name is used twice")


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in ALL:
        sys.exit(__doc__)
    build, folder = sys.argv[1], sys.argv[2]
    check_x86_names()
    os.makedirs(folder, exist_ok=True)
    files = {}
    if build == "linux":
        names = "".join(f"    {name};\n" for name, _, _ in exported(build))
        files["QevTimerPack.map"] = "{\n  global:\n" + names + "  local: *;\n};\n"
    else:
        lines = ['LIBRARY "QevTimerPack.bpl"', "EXPORTS"]
        for name, symbol, data in exported(build):
            entry = f'  "{name}"' if name == symbol else f'  "{name}" = {symbol}'
            lines.append(entry + (" DATA" if data else ""))
        files["QevTimerPack.def"] = "\n".join(lines) + "\n"
    if build == "win32":
        lines = ['LIBRARY "QevTimerPack.bpl"', "EXPORTS"]
        for r in TABLE:
            if "win32" in r["builds"] and r["x86"]:
                for symbol in [r["symbol"]] + list(r["import_aliases"]):
                    lines.append(f'  {symbol}{" DATA" if r["data"] else ""} == "{r["x86"]}"')
        files["QevTimerPack-import.def"] = "\n".join(lines) + "\n"
    for name, text in files.items():
        path = os.path.join(folder, name)
        if os.path.exists(path) and open(path).read() == text:
            continue
        with open(path, "w") as f:
            f.write(text)


if __name__ == "__main__":
    main()
