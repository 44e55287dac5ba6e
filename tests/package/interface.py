"""The exported interface of QevTimerPack as its callers see it, and the check
of a build's exported names against it.

The builds take their names from package/exports.py; this table is written
apart from it, from the interface callers compile against, so that a wrong
name there (a const method, another argument type) shows here.

Each row: family, the name in demangled form (as c++filt writes the Itanium
name of the x86-64 and Linux builds), the x86 build's name, and the builds
that export it. The stand-in writes the framework's closure type
`void (__closure *)(System::TObject*)` as System::TMethod<System::TObject*>.
"""
import re
import shutil
import subprocess

ALL = ("win64", "win32", "linux")
ITANIUM = ("win64", "linux")

T = "@Qevtimer@TQevTimer@"
W = "@Qevtimer@TTimerThread@"
INTERFACE = [
    ("entry", "Initialize", "Initialize", ALL),
    ("entry", "Finalize", "Finalize", ALL),
    ("entry", "Qevtimerpack::_PackageLoad()", None, ITANIUM),
    ("entry", "Qevtimerpack::_PackageUnload()", None, ITANIUM),
    ("entry", "@GetPackageInfoTable", None, ("win64",)),
    ("entry", "GetPackageInfoTable", None, ("linux",)),  # ELF names cannot carry "@"
    ("entry", "Qevtimerpack::_GetPackageInfoTable()", None, ITANIUM),
    ("entry", "Qevtimerpack::initialization()", None, ITANIUM),
    ("unit", "Qevtimer::initialization()", "@Qevtimer@initialization$qqrv", ALL),
    ("unit", "Qevtimer::Finalization()", "@Qevtimer@Finalization$qqrv", ALL),
    ("unit", "Qevtimer::Register()", "@Qevtimer@Register$qqrv", ALL),
    ("unit", "Qevtimer::LinkAPI(System::UnicodeString, System::UnicodeString)",
     "@Qevtimer@LinkAPI$qqr20System@UnicodeString20System@UnicodeString", ALL),
    ("unit", None, "@Qevtimerpack@Initialize$qqrv", ("win32",)),
    ("unit", None, "@Qevtimerpack@Finalize$qqrv", ("win32",)),
    ("private", None, "@Qevtimer@LinkedTimeGetDevCaps$1$qqrp18Qevtimer@TTimeCapsui", ("win32",)),
    ("private", None, "@Qevtimer@LinkedTimeBeginPeriod$2$qqrui", ("win32",)),
    ("private", None, "@Qevtimer@LinkedTimeEndPeriod$3$qqrui", ("win32",)),
    ("private", None, "@Qevtimer@BeginMinTimerPeriod$4$qqrv", ("win32",)),
    ("private", None, "@Qevtimer@EndMinTimerPeriod$5$qqrv", ("win32",)),
    ("variable", "Qevtimer::_timeBeginPeriod", "@Qevtimer@_timeBeginPeriod", ALL),
    ("variable", "Qevtimer::_timeEndPeriod", "@Qevtimer@_timeEndPeriod", ALL),
    ("variable", "Qevtimer::_timeGetDevCaps", "@Qevtimer@_timeGetDevCaps", ALL),
    ("TQevTimer", "Qevtimer::TQevTimer::TQevTimer(System::Classes::TComponent*)",
     T + "$bctr$qqrp25System@Classes@TComponent", ALL),
    ("TQevTimer", "Qevtimer::TQevTimer::~TQevTimer()", T + "$bdtr$qqrv", ALL),
    ("TQevTimer", "Qevtimer::TQevTimer::DoTimer()", T + "DoTimer$qqrv", ALL),
    ("TQevTimer", "Qevtimer::TQevTimer::UpdateTimer()", T + "UpdateTimer$qqrv", ALL),
    ("TQevTimer", "Qevtimer::TQevTimer::SetEnabled(bool)", T + "SetEnabled$qqro", ALL),
    ("TQevTimer", "Qevtimer::TQevTimer::SetInterval(double)", T + "SetInterval$qqrd", ALL),
    ("TQevTimer", "Qevtimer::TQevTimer::SetOnTimer(System::TMethod<System::TObject*>)",
     T + "SetOnTimer$qqrpMqqrp14System@TObject$v", ALL),
    ("TQevTimer", "Qevtimer::TQevTimer::SetPriority(System::Classes::TThreadPriority)",
     T + "SetPriority$qqr30System@Classes@TThreadPriority", ALL),
    ("TQevTimer", "Qevtimer::TQevTimer::GetCycleNumber()", T + "GetCycleNumber$qqrv", ALL),
    ("TQevTimer", "Qevtimer::TQevTimer::Start()", T + "Start$qqrv", ALL),
    ("TQevTimer", "Qevtimer::TQevTimer::Restart()", T + "Restart$qqrv", ALL),
    ("TQevTimer", "Qevtimer::TQevTimer::Stop()", T + "Stop$qqrv", ALL),
    # For subclasses defined in applications: their deleting destructors call
    # the destroying delete, their virtual tables hold ClassInfo and, on ELF,
    # their run-time type records point at TQevTimer's.
    ("subclass", "Qevtimer::TQevTimer::operator delete(Qevtimer::TQevTimer*, std::destroying_delete_t)",
     T + "$bdele$qp18Qevtimer@TQevTimer23std@destroying_delete_t", ALL),
    ("subclass", "Qevtimer::TQevTimer::ClassInfo() const", T + "ClassInfo$xqqrv", ALL),
    ("subclass", "typeinfo for Qevtimer::TQevTimer", None, ("linux",)),
    ("TTimerThread", "Qevtimer::TTimerThread::TTimerThread(Qevtimer::TQevTimer*)",
     W + "$bctr$qqrp18Qevtimer@TQevTimer", ALL),
    ("TTimerThread", "Qevtimer::TTimerThread::~TTimerThread()", W + "$bdtr$qqrv", ALL),
    ("TTimerThread", "Qevtimer::TTimerThread::CustomSleep(unsigned int)", W + "CustomSleep$qqrui", ALL),
    ("TTimerThread", "Qevtimer::TTimerThread::Execute()", W + "Execute$qqrv", ALL),
    ("vtable", "vtable for Qevtimer::TQevTimer", T, ALL),
    ("vtable", "vtable for Qevtimer::TTimerThread", W, ALL),
    ("type", "Qevtimer::TQevTimer::TypeInfo", "@$xp$18Qevtimer@TQevTimer", ALL),
    ("type", "Qevtimer::TTimerThread::TypeInfo", "@$xp$21Qevtimer@TTimerThread", ALL),
    ("type", "Qevtimer::TypeInfo_TTimeCaps", "@$xp$18Qevtimer@TTimeCaps", ALL),
    ("type", "Qevtimer::TypeInfo_PTimeCaps", "@$xp$18Qevtimer@PTimeCaps", ALL),
]


def listed(build):
    """The interface's names in a build: x86 names for win32, demangled ones otherwise."""
    return {x86 if build == "win32" else name for _, name, x86, builds in INTERFACE if build in builds}


def demangled(names):
    """Each name as c++filt writes it (names that are no Itanium names stay as they are)."""
    filt = shutil.which("c++filt")
    if not filt:
        raise SystemExit("c++filt (binutils) is needed to read the exported names")
    out = subprocess.run([filt], input="\n".join(names) + "\n", capture_output=True, text=True, check=True)
    return out.stdout.splitlines()


def entity(build, name):
    """What a name stands for without its signature: the qualified name up to
    its arguments (x86: up to the "$qqr" mark and any unit-private number)."""
    if build == "win32":
        m = re.match(r"(.*?)(\$\d+)?\$x?qqr", name)
        return m.group(1) if m else name
    return name.split("(", 1)[0]


def check(build, names, generated):
    """Failures of a build's exported names: not exactly the generator's table
    `generated` (exports.py), an interface name missing, or an entity of the
    interface exported under another signature."""
    failures = []
    names, generated = sorted(names), sorted(generated)
    if names != generated:
        failures.append(f"exports differ from exports.py: extra {set(names) - set(generated)}, "
                        f"missing {set(generated) - set(names)}")
    seen = set(names) if build == "win32" else set(demangled(names))
    want = listed(build)
    for name in sorted(want - seen):
        failures.append(f"interface name not exported: {name}")
    entities = {entity(build, name) for name in want}
    for name in sorted(seen - want):
        if entity(build, name) in entities:
            failures.append(f"exported under another signature than the interface's: {name}")
    return failures


def report(path, counts, failures):
    """Prints the failures and a summary line; the script's exit status."""
    for f in failures:
        print("FAILED:", f)
    print(f"{path}: {counts}, {len(failures)} failures")
    return 1 if failures else 0
