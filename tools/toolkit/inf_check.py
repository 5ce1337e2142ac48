"""The release gate's check of a printer driver package INF carrying the companions'
lines, the sample packages' or a driver team's own: release_gate.py calls check(path)
for every FILE ending in .inf and prints its problems as FAIL lines, its notes as
info lines. The INF is read as 64-bit Windows reads it (package.py): the sections
its x64 models reach, the companions' sections and the uninstall section. A FAIL
is what Windows refuses or its INF parser cannot read, and what breaks the
companions; what only InfVerif's stricter modes or Microsoft's signing service
object to, and Windows installs, is a note (NOTES), as is what keeps the
companions' removal from working as Microsoft's pages say (a DelFiles of a
file the INF copies, PnpLockdown=1 over the guard's file).
"""
import os
import re

from .inf_file import driver_ver, entries, field, lines, named, number, read_inf, uncommented
from .package import (DIRECTIVES, FILE_LISTS, copied_files, install_section, locate_source, x64_models,
                      x64_sections)

PRINTER_CLASS = ("printer", "{4d36e979-e325-11ce-bfc1-08002be10318}")
ROOTS = ("HKCR", "HKCU", "HKLM", "HKU", "HKR")
RUN_KEY = "software\\microsoft\\windows\\currentversion\\run"
is_run = (lambda fs: field(fs, 0).upper() == "HKLM" and field(fs, 1).lower() == RUN_KEY)  # noqa: E731
is_co = (lambda fs: field(fs, 2).lower() == "coinstallers32")  # noqa: E731
reg_type = (lambda fs: (number(field(fs, 3)) or 0) & 0xFFFF0001)  # noqa: E731  an AddReg line's: REG_SZ is 0
# "INF AddReg Directive": FLG_ADDREG_BINVALUETYPE, NOCLOBBER, DELVAL, APPEND,
# KEYONLY, OVERWRITEONLY, 64BITKEY, KEYONLY_COMMON, 32BITKEY; without
# BINVALUETYPE the high word is the type: 0 REG_SZ, 0x10000 REG_MULTI_SZ,
# 0x20000 REG_EXPAND_SZ.
ADDREG_BITS = 0x703F
# "Using Dirids" (16384-32767: shell folders) and "Printer Dirids".
DIRIDS = {-1, 1, 10, 11, 12, 13, 17, 18, 20, 21, 23, 24, 25, 30, 50, 51, 52, 53, 54, 55} \
    | set(range(16384, 32768)) | set(range(66000, 66005))
OUTSIDE_SYSTEMROOT = {-1, 1, 24, 30, 53, 54} | set(range(16384, 32768))
CORE_DRIVER = re.compile(r"\{[0-9a-f-]{36}\}", re.I)  # "Writing Core Drivers": an install section named by its GUID
# What Windows installs but InfVerif's stricter modes (its codes: "INF
# Validation Errors and Warnings"), the signing service or a printer page
# advise against: notes. What the check refuses: rules, each with its page.
STRICT, UNIVERSAL = ("InfVerif 1303, an error in its /k, /u and /w modes; Windows installs it",
                     "InfVerif 1304, an error in its /u mode only; Windows installs it")
NOTES = {"legacy co-installer": STRICT, "registry root other than HKR": UNIVERSAL,
         "copy outside %SystemRoot%": UNIVERSAL.replace("1304", "1306"),
         "PnpLockdown not 1": "InfVerif 1324, an error in its /w mode only; Windows installs it, and a program run as"
                              " an administrator may then delete the files the INF copies (INF Version Section)",
         "guard locked": "with PnpLockdown=1 Windows keeps programs from changing the files the INF copies, so the"
                         " package's uninstaller cannot delete the guard; PnpLockdown=0 lets it (INF Version Section)",
         "copied file deleted or renamed": "a file a CopyFiles directive copies must not also appear in a DelFiles or"
                                           " RenFiles directive (Accessing and Modifying Files); Windows installs it",
         "copy list naming its source file": "the printer CopyFiles page asks for destination names alone for"
                                             " installs from a web page (Point and Print); Windows installs it",
         "HKCU written in a device installation": "it is LocalSystem's hive, not a user's; Windows writes it",
         "non-ASCII text in an ANSI INF": "Windows reads it in the machine's code page; UTF-16LE reads the same"}
SECTION, ADDREG, CO = "INF DDInstall Section", "INF AddReg Directive", "INF DDInstall.CoInstallers Section"
RULES = {
    "encoding": ("is %s: Windows reads an INF as ANSI or UTF-16LE", "General Syntax Rules for INF Files"),
    "signature": ('does not open as an INF: Signature is %r, not "$Windows NT$" or "$Chicago$"', "INF Version Section"),
    "class": ("[Version] Class and ClassGuid are not Printer, %s", "System-Defined Device Setup Classes"),
    "provider": ("[Version] names no Provider", "INF Version Section"),
    "driverver": ("[Version] DriverVer %r is not mm/dd/yyyy,w.x.y.z (a real date; below 65535, not 0.0.0.0)",
                  "INF DriverVer Directive"),
    "models": ("[Manufacturer] names the models section [%s], which does not exist", "INF Manufacturer Section"),
    "no models": ("[Manufacturer] names no models section: 64-bit Windows finds no model", "INF Manufacturer Section"),
    "install": ("[%s] model %s: no install section [%s] (nor .NTamd64, .NT)", "INF Models Section"),
    "string": ("%%%s%% is used but [Strings] does not define it", "INF Strings Section"),
    "section": ("section [%s] named by %s does not exist", SECTION),
    "one kind": ("section [%s] is named by %s: a section serves one kind of directive", SECTION),
    "destination": ("[%s] named by %s has no [DestinationDirs] entry%s", "INF DestinationDirs Section"),
    "dirid": ("[DestinationDirs] %s = %s: not a DirID", "Using Dirids, Printer Dirids"),
    "listed": ("file %s copied by [%s] is not in [SourceDisksFiles] (or .amd64)", "INF SourceDisksFiles Section"),
    "disk": ("file %s is on disk %r, not in [SourceDisksNames] (or .amd64)", "INF SourceDisksNames Section"),
    "missing": ("file %s copied by [%s] is missing from the package folder (looked for %s)", "INF CopyFiles Directive"),
    "driver": ("[%s] names neither a DriverFile nor a core driver it needs (Needs, CoreDriverSections, a DataSection's"
               " DriverFile)", "Printer INF File Install Sections"),
    "root": ("%s: root %r is not one of %s", ADDREG),
    "flags": ("%s: flags %s are not made of FLG_ADDREG_* values", ADDREG),
    "companions": ("carries no companions' lines: no x64 install section (or its .CoInstallers section) writes"
                   " CoInstallers32 or a Run value", "guide, section 2"),
    "coinstaller": ('[%s.CoInstallers] registers no "<DLL>,CoInstallerE" in HKR,,CoInstallers32,0x00010000', CO),
    "system folder": ("%s is not copied to the system folder (DirID 11) by [%s.CoInstallers]", CO),
    "run": ("neither [%s] nor [%s.CoInstallers] writes the guard's Run value (HKLM,%s)", "guide, section 2"),
    "run value": ("Run value %s ([%s] line %d) is %s, not a string holding in double quotes the full path where the"
                  " package copies that file", "Run and RunOnce Registry Keys"),
    "run removal": ("no section removes the guard's Run value %s with DelReg"
                    ' (HKLM,"Software\\Microsoft\\Windows\\CurrentVersion\\Run",%s)',
                    "guide, section 2: [Companions_Uninstall]"),
}


def fault(rule, *values):
    """A FAIL line's text: the rule's words and, in brackets, its page."""
    text, page = RULES[rule]
    return "%s (%s)" % (text % values, page)


def place(destination):
    """A [DestinationDirs] entry's DirID and subfolder, to compare."""
    return field(destination, 0), field(destination, 1).strip("\\").lower()


def check_version(sections, problems):
    version = entries(sections, "version")
    if (field(version.get("class", []), 0).lower(), field(version.get("classguid", []), 0).lower()) != PRINTER_CLASS:
        problems.append(fault("class", PRINTER_CLASS[1].upper()))
    if not field(version.get("provider", []), 0):
        problems.append(fault("provider"))
    ver, text = driver_ver(sections), ",".join(version.get("driverver", []))
    if ver is None or ver[1] and (max(ver[1]) >= 65535 or not any(ver[1])):
        problems.append(fault("driverver", text))


def models(sections, problems):
    """{install section: [model]} of the x64 models (package.x64_models)."""
    installs = {}
    for name in x64_models(sections):
        if name.lower() not in sections:
            problems.append(fault("models", name))
        for _, model, fs in lines(sections, name):
            install = install_section(sections, field(fs, 0))
            if install is None:
                problems.append(fault("install", name, model, field(fs, 0)))
            else:
                installs.setdefault(install, []).append(model)
    problems += [fault("no models")] if not lines(sections, "manufacturer") else []
    return installs


def named_sections(sections, read, problems):
    """{directive: [sections, @files]} that the read sections name: each exists
    (a Needs section may lie in an included INF) and serves one kind of
    directive (CopyFiles, DelFiles and RenFiles may share one)."""
    targets, kinds = {d: [] for d in DIRECTIVES}, {}
    for lname in sorted(read):
        for directive in DIRECTIVES:
            for target in named(sections, sections[lname][0], directive):
                kind = "file list" if directive in FILE_LISTS else directive
                kinds.setdefault(target.lower(), {}).setdefault(kind, directive)
                if target.lower() in [t.lower() for t in targets[directive]]:
                    continue
                targets[directive].append(target)
                if target.lower() not in sections and target[0] != "@" and directive != "Needs":
                    problems.append(fault("section", target, directive))
    problems += [fault("one kind", sections.get(t, (t,))[0], " and ".join(sorted(by.values())))
                 for t, by in kinds.items() if len(by) > 1]
    return targets


def check_files(sections, targets, copied, folder, where_to, problems, notes):
    """The files the read sections copy: each list has a destination, each DirID
    is one, each file is listed (unless a LayoutFile has it) and lies where they say."""
    for directive in FILE_LISTS:
        for target in targets[directive]:
            to = where_to(target, directive != "CopyFiles")
            if not to and (target[0] == "@" or target.lower() in sections):
                problems.append(fault("destination", target, directive, (
                    " and there is no DefaultDestDir" if directive == "CopyFiles" else " of its own")))
            elif to and number(field(to, 0)) not in DIRIDS:
                problems.append(fault("dirid", target.lower(), field(to, 0)))
            elif directive == "CopyFiles" and number(field(to, 0)) in OUTSIDE_SYSTEMROOT:
                notes.setdefault("copy outside %SystemRoot%", []).append("[%s] to DirID %s" % (target, field(to, 0)))
    layout = field(entries(sections, "version").get("layoutfile", []), 0)
    for name, where, target, _, listed, disk in copied:
        if listed is None and not layout:
            problems.append(fault("listed", name, target))
        elif listed is not None and disk is None:
            problems.append(fault("disk", name, listed[0]))
        elif listed is not None and not locate_source(folder, where):
            problems.append(fault("missing", name, target, where))


def check_printer_install(sections, install, problems, notes):
    """A printer install section names its driver ("Printer INF File Install
    Sections"): a DriverFile, a core driver it needs, or a DataSection giving
    one; a v4 driver ("V4 Driver INF") and a core driver's own section need none."""
    own = entries(sections, install)
    data = field(own.get("datasection", []), 0).lower()
    v4 = field(entries(sections, "version").get("classver", []), 0).startswith("4")
    if not (v4 or CORE_DRIVER.fullmatch(install) or own.get("driverfile") or own.get("needs")
            or own.get("coredriversections") or data and (
                "driverfile" in entries(sections, data) if data in sections else own.get("include"))):
        problems.append(fault("driver", install))
    for target in named(sections, install, "CopyFiles"):
        for line, key, fs in lines(sections, target):
            if key is None and (field(fs, 1) or field(fs, 2)):
                notes.setdefault("copy list naming its source file", []).append(
                    "[%s] line %d: %s from %s" % (target, line, field(fs, 0), field(fs, 1) or field(fs, 2)))


def check_registry(sections, targets, device, problems, notes):
    """AddReg and DelReg lines: roots and flags."""
    for directive in ("AddReg", "DelReg"):
        for target in targets[directive]:
            for line, _, fs in lines(sections, target):
                where, root, flags = "[%s] line %d" % (target, line), field(fs, 0).upper(), number(field(fs, 3))
                if root not in ROOTS:
                    problems.append(fault("root", where, field(fs, 0), ", ".join(ROOTS)))
                elif root != "HKR":
                    notes.setdefault("registry root other than HKR", []).append("%s,%s" % (root, field(fs, 1)))
                if directive == "AddReg" and root == "HKCU" and target.lower() in device:
                    notes.setdefault("HKCU written in a device installation", []).append(where)
                if directive == "AddReg" and (flags is None or flags & 0xFFFF & ~ADDREG_BITS
                                              or not flags & 1 and flags >> 16 > 2):
                    problems.append(fault("flags", where, field(fs, 3)))


def reg_lines(sections, section, match):
    """(section, line, fields) of the AddReg lines a section names that MATCH."""
    return [(t, line, fs) for t in named(sections, section, "AddReg") for line, _, fs in lines(sections, t)
            if match(fs)]


def locked_down(sections):
    """Whether [Version] says PnpLockdown=1."""
    return number(field(entries(sections, "version").get("pnplockdown", []), 0)) == 1


def check_companions(sections, installs, where_to, copied, problems, notes, found):
    """In every install section carrying them (or its .CoInstallers section): the
    co-installer registered and copied to the system folder, the guard's Run
    value holding the path where the package copies it; and the sections that
    remove that value (returned)."""
    def writes(install, match):
        return [v for part in ("", ".CoInstallers") for v in reg_lines(sections, install + part, match)]

    carriers = [i for i in installs if writes(i, is_run) or writes(i, is_co)]
    if not carriers:
        problems.append(fault("companions"))
    guards = []
    for install in carriers:
        dlls = [e.split(",")[0] for _, _, fs in reg_lines(sections, install + ".CoInstallers", is_co) for e in fs[4:]
                if (field(fs, 0).upper(), field(fs, 1), reg_type(fs)) == ("HKR", "", 0x10000)
                and re.fullmatch(r"[^,\\/]+\.dll,CoInstallerE", e, re.I)]
        if not dlls:
            problems.append(fault("coinstaller", install))
        lists = [t.lower() for t in named(sections, install + ".CoInstallers", "CopyFiles")]
        for dll in dlls:
            if "11" not in [field(where_to(t), 0) for _, _, t, n, _, _ in copied
                            if n.lower() == dll.lower() and t.lower() in lists]:
                problems.append(fault("system folder", dll, install))
            found["co-installer %s,CoInstallerE to system32" % dll] = 1
        runs = writes(install, is_run)
        if not runs:
            problems.append(fault("run", install, install, RUN_KEY))
        for target, line, fs in runs:
            data = ",".join(fs[4:])
            path = re.fullmatch(r'"%(-?\d+)%((?:\\[^\\"]+)*)\\[^\\"]+"', data)
            copies = [(n, where_to(t)) for _, _, t, n, _, _ in copied
                      if n.lower() == re.split(r"[\\/]", data.strip('"'))[-1].lower()]
            if reg_type(fs) not in (0, 0x20000) or not path or (
                    path.group(1), path.group(2).strip("\\").lower()) not in [place(to) for _, to in copies]:
                problems.append(fault("run value", field(fs, 2), target, line, data))
            found["guard run as %s" % data] = 1
            guards += [(field(fs, 2),) + c for c in copies[:1] if (field(fs, 2),) + c not in guards]
    # The package's uninstall section, which its uninstaller runs, removes the
    # Run value (DelReg). The guard's file the uninstaller deletes itself: this
    # INF copies it, so no DelFiles may name it, and PnpLockdown=1 would keep
    # the uninstaller from deleting it.
    uninstalls = []
    for value, name, to in guards:
        # A DelReg section that does not exist is reported with the sections.
        removing = [s for s, _ in sections.values() if any(t.lower() not in sections or any(
            is_run(fs) and field(fs, 2).lower() == value.lower() for _, _, fs in lines(sections, t))
            for t in named(sections, s, "DelReg"))]
        if not removing:
            problems.append(fault("run removal", value, value))
        if locked_down(sections):
            notes.setdefault("guard locked", []).append(name)
        uninstalls += removing
        found.update(("[%s] removes the guard's Run value" % s, 1) for s in removing)
    return uninstalls


def check_removals(sections, copied, where_to, notes):
    """No DelFiles or RenFiles names a file the INF copies where it copies it;
    and the lockdown the INF declares."""
    placed = {(place(where_to(t)), n.lower()) for _, _, t, n, _, _ in copied}
    for s, _ in sections.values():
        for directive in ("DelFiles", "RenFiles"):
            for t in named(sections, s, directive):
                for _, _, fs in lines(sections, t):
                    names = fs[:2] if directive == "RenFiles" else fs[:1]
                    notes.setdefault("copied file deleted or renamed", []).extend(
                        "[%s] %s %s" % (s, directive, n) for n in names if (place(where_to(t)), n.lower()) in placed)
    lockdown = field(entries(sections, "version").get("pnplockdown", []), 0)
    if not locked_down(sections):
        notes.setdefault("PnpLockdown not 1", []).append("[Version] PnpLockdown=%s" % lockdown if lockdown else
                                                         "[Version] has no PnpLockdown")


def check(path):
    """(problems, summary, notes) of one INF."""
    try:
        with open(path, "rb") as f:
            raw = f.read()
        sections, undefined = read_inf(path)
    except (OSError, ValueError) as error:
        return ["cannot be read as an INF: %s" % error], "", []
    problems, notes, found = [], {}, {}
    encoding = {b"\xfe\xff": "UTF-16BE", b"\xef\xbb": "UTF-8 with a byte-order mark"}.get(raw[:2])
    if encoding:
        problems.append(fault("encoding", encoding))
    elif raw[:2] != b"\xff\xfe":  # non-ASCII outside comments
        notes["non-ASCII text in an ANSI INF"] = ["line %d" % n for n, text in enumerate(
            raw.decode("latin-1").splitlines(), 1) if any(ord(c) > 0x7F for c in uncommented(text))]
    signature = field(entries(sections, "version").get("signature", []), 0)
    if signature.lower() not in ("$windows nt$", "$chicago$"):
        return problems + [fault("signature", signature)], "", []
    folder = os.path.dirname(os.path.abspath(path))
    check_version(sections, problems)
    installs = models(sections, problems)
    problems += [fault("string", key) for key in sorted(undefined)]
    dests = entries(sections, "destinationdirs")

    def where_to(target, own_only=False):
        """Its own [DestinationDirs] entry, else (CopyFiles alone) DefaultDestDir."""
        return dests.get(target.lower(), [] if own_only else dests.get("defaultdestdir", []))

    copied = copied_files(sections)
    uninstalls = check_companions(sections, installs, where_to, copied, problems, notes, found)
    check_removals(sections, copied, where_to, notes)
    targets = named_sections(sections, x64_sections(sections, uninstalls), problems)
    check_files(sections, targets, copied, folder, where_to, problems, notes)
    device = set()
    for install in installs:
        check_printer_install(sections, install, problems, notes)
        for part in [install.lower() + p for p in (".coinstallers", "") if install.lower() + p in sections]:
            device.update(t.lower() for t in named(sections, part, "AddReg"))
            if part.endswith(".coinstallers"):
                notes.setdefault("legacy co-installer", []).append("[%s]" % sections[part][0])
    check_registry(sections, targets, device, problems, notes)
    return list(dict.fromkeys(problems)), "; ".join(
        ["printer INF, install %s" % ", ".join("[%s]" % i for i in installs),
         "%d files copied, all in the package folder" % len(copied) if all(c[4] for c in copied) else
         "%d files copied, %d of them from the LayoutFile" % (len(copied), sum(not c[4] for c in copied))]
        + list(found)), ["%s (%s): %s" % (what, ", ".join(dict.fromkeys(where)), NOTES[what])
                         for what, where in sorted(notes.items()) if where]
