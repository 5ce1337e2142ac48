"""The release gate's check of a printer driver package INF carrying the companions'
lines, the sample packages' or a driver team's own: release_gate.py calls check(path)
for every FILE ending in .inf and prints its problems as FAIL lines, its notes as
info lines. The rules are those of Microsoft's INF reference and of InfVerif's
published errors; a rule that InfVerif makes an error only in its stricter modes
gives a note. The INF is read as the device installer reads it (inf_file.py).
"""
import os
import re

from .inf_file import copied_files, driver_ver, entries, field, lines, locate, named, number, read_inf

PRINTER_CLASS = ("printer", "{4d36e979-e325-11ce-bfc1-08002be10318}")
ROOTS = ("HKCR", "HKCU", "HKLM", "HKU", "HKR")
RUN_KEY = "software\\microsoft\\windows\\currentversion\\run"
is_run = (lambda fs: field(fs, 0).upper() == "HKLM" and field(fs, 1).lower() == RUN_KEY)  # noqa: E731
is_co = (lambda fs: field(fs, 2).lower() == "coinstallers32")  # noqa: E731
reg_type = (lambda fs: (number(field(fs, 3)) or 0) & 0xFFFF0001)  # noqa: E731  an AddReg line's: REG_SZ is 0
# FLG_ADDREG_BINVALUETYPE, NOCLOBBER, DELVAL, APPEND, KEYONLY, OVERWRITEONLY,
# 64BITKEY, KEYONLY_COMMON, 32BITKEY; without BINVALUETYPE the high word is
# the type: 0 REG_SZ, 0x10000 REG_MULTI_SZ, 0x20000 REG_EXPAND_SZ.
ADDREG_BITS = 0x703F
# Using Dirids (16384-32767: shell folders) and Printer Dirids.
DIRIDS = {-1, 1, 10, 11, 12, 13, 17, 18, 20, 21, 23, 24, 25, 30, 50, 51, 52, 53, 54, 55} \
    | set(range(16384, 32768)) | set(range(66000, 66005))
OUTSIDE_SYSTEMROOT = {-1, 1, 24, 30, 53, 54} | set(range(16384, 32768))
FILE_LISTS = ("CopyFiles", "DelFiles", "RenFiles")
DIRECTIVES = FILE_LISTS + ("AddReg", "DelReg", "BitReg", "UpdateInis", "UpdateIniFields", "Ini2Reg", "Needs",
                           "AddProperty", "DelProperty", "RegisterDlls", "UnregisterDlls", "ProfileItems",
                           "AddPowerSetting")
# Directives that name a section in one of their fields (AddService: the
# service and event log sections), and DataSection.
NAMING_FIELDS = {"datasection": slice(0, 1), "addservice": slice(2, 4), "addinterface": slice(2, 3),
                 "wmiinterface": slice(2, 3), "addcomponent": slice(2, 3), "addsoftware": slice(2, 3),
                 "addeventprovider": slice(1, 2)}
# The sections an install section brings with it, and those no directive names.
INSTALL_PARTS = r"(\.nt\w*)?(\.(coinstallers|hw|services|interfaces|wmi|factdef|logconfigoverride|components" \
    r"|software))?"
STANDALONE = r"(version|manufacturer|strings|destinationdirs|controlflags|previous names|sourcedisks(names|files)" \
    r"|defaultinstall|defaultuninstall|classinstall32|interfaceinstall32|printerpackageinstallation)(\..*)?"


def place(destination):
    """A [DestinationDirs] entry's DirID and subfolder, to compare."""
    return field(destination, 0), field(destination, 1).strip("\\").lower()


def check_version(sections, problems):
    version = entries(sections, "version")
    if (field(version.get("class", []), 0).lower(), field(version.get("classguid", []), 0).lower()) != PRINTER_CLASS:
        problems.append("[Version] Class and ClassGuid are not Printer, %s" % PRINTER_CLASS[1].upper())
    if not field(version.get("provider", []), 0):
        problems.append("[Version] names no Provider")
    ver, text = driver_ver(sections), ",".join(version.get("driverver", []))
    if ver is None or ver[1] and (max(ver[1]) >= 65535 or not any(ver[1])):
        problems.append("[Version] DriverVer %r is not mm/dd/yyyy (or with '-'),w.x.y.z: a real date, each of"
                        " w.x.y.z below 65535, not 0.0.0.0" % text)


def models(sections, problems):
    """({install section: [model]} of the models 64-bit Windows reads (any NTamd64
    decoration), the install section names any models section gives)."""
    installs, amd64_models, named_installs = {}, False, set()
    for _, _, fs in lines(sections, "manufacturer"):
        for decoration in [""] + fs[1:]:
            name = field(fs, 0) + ("." + decoration if decoration else "")
            amd64 = bool(re.fullmatch(r"ntamd64(\..*)?", decoration, re.I))
            if amd64 and name.lower() not in sections:
                problems.append("[Manufacturer] names the models section [%s], which does not exist" % name)
            amd64_models |= amd64
            for _, model, mfs in lines(sections, name):
                named_installs.add(field(mfs, 0).lower())
                found = [sections[n.lower()][0] for n in (field(mfs, 0) + ".NTamd64", field(mfs, 0) + ".NT",
                                                          field(mfs, 0)) if n.lower() in sections]
                if amd64 and not found:
                    problems.append("[%s] model %s: no install section [%s] (nor .NTamd64, .NT)"
                                    % (name, model, field(mfs, 0)))
                elif amd64:
                    installs.setdefault(found[0], []).append(model)
    if not amd64_models:
        problems.append("[Manufacturer] names no models section decorated NTamd64: 64-bit Windows finds no model")
    return installs, named_installs


def named_sections(sections, problems):
    """{directive: [sections, @files it names]}: each exists and serves one kind
    of directive (CopyFiles, DelFiles and RenFiles may share one)."""
    targets, kinds = {d: [] for d in DIRECTIVES}, {}
    for lname, (name, _) in sections.items():
        for directive in () if re.fullmatch(r"strings(\..*)?|destinationdirs|sourcedisks.*", lname) else DIRECTIVES:
            for target in named(sections, name, directive):
                kind = "file list" if directive in FILE_LISTS else directive
                kinds.setdefault(target.lower(), {}).setdefault(kind, directive)
                if target.lower() in [t.lower() for t in targets[directive]]:
                    continue
                targets[directive].append(target)
                if target.lower() not in sections and target[0] != "@" and directive != "Needs":
                    problems.append("section [%s] named by %s does not exist" % (target, directive))
    problems += ["section [%s] is named by %s: a section serves one kind of directive" % (
        sections.get(t, (t,))[0], " and ".join(sorted(by.values()))) for t, by in kinds.items() if len(by) > 1]
    return targets


def check_files(sections, targets, folder, where_to, problems, legacy):
    """The files copied (inf_file.copied_files): each list has a destination, each DirID
    is one, each file is listed (unless a LayoutFile has it) and lies where they say."""
    for directive in FILE_LISTS:
        for target in targets[directive]:
            to = where_to(target, directive != "CopyFiles")
            if not to and (target[0] == "@" or target.lower() in sections):
                problems.append("[%s] named by %s has no [DestinationDirs] entry%s" % (target, directive, (
                    " and there is no DefaultDestDir" if directive == "CopyFiles" else " of its own")))
            elif directive == "CopyFiles" and number(field(to, 0)) in OUTSIDE_SYSTEMROOT:
                legacy.setdefault("copy outside %SystemRoot%", []).append("[%s] to DirID %s" % (target, field(to, 0)))
    problems += ["[DestinationDirs] %s = %s: not a DirID (Using Dirids, Printer Dirids)" % (key, field(fs, 0))
                 for key, fs in entries(sections, "destinationdirs").items() if number(field(fs, 0)) not in DIRIDS]
    layout = field(entries(sections, "version").get("layoutfile", []), 0)
    copied = copied_files(sections)
    for name, where, target, _, listed, disk in copied:
        if listed is None and not layout:
            problems.append("file %s copied by [%s] is not listed in [SourceDisksFiles] (or .amd64)" % (name, target))
        elif listed is not None and disk is None:
            problems.append("file %s is on disk %r, not in [SourceDisksNames] (or .amd64)" % (name, listed[0]))
        elif listed is not None and not locate(folder, where):
            problems.append("file %s copied by [%s] is missing from the package folder (looked for %s)"
                            % (name, target, where))
    return copied


def check_printer_install(sections, install, problems):
    """A printer install section names its driver, and copies files under their own names."""
    own = entries(sections, install)
    data = field(own.get("datasection", []), 0).lower()
    if not (own.get("driverfile") or own.get("needs") or own.get("coredriversections") or data and (
            "driverfile" in entries(sections, data) if data in sections else own.get("include"))):
        problems.append("[%s] names neither a DriverFile nor a core driver it needs (Needs=, CoreDriverSections=, a"
                        " DataSection giving DriverFile): the class installer takes its name for the driver" % install)
    for target in named(sections, install, "CopyFiles"):
        for line, key, fs in lines(sections, target):
            if key is None and (field(fs, 1) or field(fs, 2)):
                problems.append("[%s] line %d copies %s as %s: a printer copy list takes destination-file-name"
                                "[,,flag] only" % (target, line, field(fs, 1) or field(fs, 2), field(fs, 0)))


def check_registry(sections, targets, device, problems, legacy):
    """AddReg and DelReg lines: roots, flags, and keys a driver package must not write."""
    for directive in ("AddReg", "DelReg"):
        for target in targets[directive]:
            for line, _, fs in lines(sections, target):
                where, root, flags = "[%s] line %d" % (target, line), field(fs, 0).upper(), number(field(fs, 3))
                if root not in ROOTS:
                    problems.append("%s: root %r is not one of %s" % (where, field(fs, 0), ", ".join(ROOTS)))
                elif root != "HKR":
                    legacy.setdefault("registry root other than HKR", []).append("%s,%s" % (root, field(fs, 1)))
                if root == "HKLM" and re.match(r"system\\currentcontrolset\\services(\\|$)", field(fs, 1), re.I):
                    problems.append("%s writes under HKLM\\%s, not through HKR" % (where, field(fs, 1)))
                if directive == "AddReg" and root == "HKCU" and target.lower() in device:
                    problems.append("%s writes HKCU in a device installation: LocalSystem's hive, not a user's" % where)
                if directive == "AddReg" and (flags is None or flags & 0xFFFF & ~ADDREG_BITS
                                              or not flags & 1 and flags >> 16 > 2):
                    problems.append("%s: flags %s are not made of FLG_ADDREG_* values (undefined bits, or a type"
                                    " of its own without BINVALUETYPE)" % (where, field(fs, 3)))


def reg_lines(sections, section, match):
    """(section, line, fields) of the AddReg lines a section names that MATCH."""
    return [(t, line, fs) for t in named(sections, section, "AddReg") for line, _, fs in lines(sections, t)
            if match(fs)]


def check_companions(sections, installs, where_to, copied, problems, found):
    """In every install section carrying them (or its .CoInstallers section): the
    co-installer registered and copied to the system folder, the guard's Run
    value holding the path where the package copies it; and the sections that
    remove them (returned)."""
    def writes(install, match):
        return [v for part in ("", ".CoInstallers") for v in reg_lines(sections, install + part, match)]

    carriers = [i for i in installs if writes(i, is_run) or writes(i, is_co)]
    if not carriers:
        problems.append("carries no companions' lines: no install section of an NTamd64 model (or its .CoInstallers"
                        " section) writes CoInstallers32 or a Run value (guide, section 2)")
    guards = []
    for install in carriers:
        dlls = [e.split(",")[0] for _, _, fs in reg_lines(sections, install + ".CoInstallers", is_co) for e in fs[4:]
                if (field(fs, 0).upper(), field(fs, 1), reg_type(fs)) == ("HKR", "", 0x10000)
                and re.fullmatch(r"[^,\\/]+\.dll,CoInstallerE", e, re.I)]
        if not dlls:
            problems.append('[%s.CoInstallers] registers no "<DLL>,CoInstallerE" among the strings of'
                            " HKR,,CoInstallers32,0x00010000" % install)
        lists = [t.lower() for t in named(sections, install + ".CoInstallers", "CopyFiles")]
        for dll in dlls:
            if "11" not in [field(where_to(t), 0) for _, _, t, n, _, _ in copied
                            if n.lower() == dll.lower() and t.lower() in lists]:
                problems.append("%s is not copied to the system folder (DirID 11) by [%s.CoInstallers]"
                                % (dll, install))
            found["co-installer %s,CoInstallerE to system32" % dll] = 1
        runs = writes(install, is_run)
        if not runs:
            problems.append("neither [%s] nor [%s.CoInstallers] writes the guard's Run value (HKLM,%s)"
                            % (install, install, RUN_KEY))
        for target, line, fs in runs:
            data = ",".join(fs[4:])
            path = re.fullmatch(r'"%(-?\d+)%((?:\\[^\\"]+)*)\\[^\\"]+"', data)
            copies = [(n, where_to(t)) for _, _, t, n, _, _ in copied
                      if n.lower() == re.split(r"[\\/]", data.strip('"'))[-1].lower()]
            if reg_type(fs) not in (0, 0x20000) or not path or (
                    path.group(1), path.group(2).strip("\\").lower()) not in [place(to) for _, to in copies]:
                problems.append("Run value %s ([%s] line %d) is %s, not a string (REG_SZ, REG_EXPAND_SZ) holding in"
                                " double quotes the full path where the package copies that file"
                                % (field(fs, 2), target, line, data))
            found["guard run as %s" % data] = 1
            guards += [(field(fs, 2).lower(),) + c for c in copies[:1] if (field(fs, 2).lower(),) + c not in guards]
    # The package's uninstall section, which its uninstaller runs: it deletes the
    # guard where it is copied (DelFiles) and removes the Run value (DelReg).
    uninstalls = []
    for value, name, to in guards:
        deleting = [s for s, _ in sections.values() if any(
            place(where_to(t, True)) == place(to) and name.lower() in [field(fs, 0).lower() for _, _, fs in
                                                                       lines(sections, t)]
            for t in named(sections, s, "DelFiles"))]
        # A DelReg section that does not exist is reported with the sections.
        removing = [s for s in deleting if any(t.lower() not in sections or any(
            is_run(fs) and field(fs, 2).lower() == value for _, _, fs in lines(sections, t))
            for t in named(sections, s, "DelReg"))]
        if not deleting:
            problems.append("no section removes the guard: none has DelFiles of a list holding %s where it is copied"
                            " (guide, section 2: [Companions_Uninstall])" % name)
        elif not removing:
            problems.append("[%s] deletes %s but its DelReg does not remove the Run value %s"
                            % (deleting[0], name, value))
        uninstalls += deleting
        found.update(("[%s] removes the guard and its Run value" % s, 1) for s in removing)
    return uninstalls


def unread_sections(sections, targets, uninstalls, named_installs):
    """The sections that no directive, [Manufacturer], model, DataSection nor the
    uninstaller names, and that are no install section's part."""
    read = {t.lower() for d in DIRECTIVES for t in targets[d]} | {s.lower() for s in uninstalls}
    for _, key, fs in [line for _, section in sections.values() for line in section]:
        read.update(f.lower() for f in fs[NAMING_FIELDS.get((key or "").lower(), slice(0))])
    for _, _, fs in lines(sections, "manufacturer"):
        read.update((field(fs, 0) + ("." + d if d else "")).lower() for d in [""] + fs[1:])
    return ["section [%s] is named by nothing: Windows never reads it" % name for lname, (name, _) in sections.items()
            if not (lname in read or lname[:-9] in read and lname.endswith(".security") or re.fullmatch(
                STANDALONE, lname) or any(re.fullmatch(re.escape(i) + INSTALL_PARTS, lname) for i in named_installs))]


def check(path):
    """(problems, summary, notes) of one INF."""
    try:
        with open(path, "rb") as f:
            raw = f.read()
        sections, undefined = read_inf(path)
    except (OSError, ValueError) as error:
        return ["cannot be read as an INF: %s" % error], "", []
    problems, legacy, found = [], {}, {}
    encoding = {b"\xfe\xff": "UTF-16BE", b"\xef\xbb": "UTF-8 with a byte-order mark"}.get(raw[:2])
    if encoding or raw[:2] != b"\xff\xfe" and any(b > 0x7F for b in raw):
        problems.append("is %s: Windows reads an INF as ANSI or UTF-16LE (one with non-ASCII characters as UTF-16LE)"
                        % (encoding or "not UTF-16LE but has non-ASCII characters"))
    signature = field(entries(sections, "version").get("signature", []), 0)
    if signature.lower() not in ("$windows nt$", "$chicago$"):
        return problems + ['does not open as an INF: [Version] Signature is %r, not "$Windows NT$" or "$Chicago$"'
                           % signature], "", []
    folder = os.path.dirname(os.path.abspath(path))
    check_version(sections, problems)
    installs, named_installs = models(sections, problems)
    problems += ["%%%s%% is used but [Strings] does not define it" % key for key in sorted(undefined)]
    targets = named_sections(sections, problems)
    dests = entries(sections, "destinationdirs")

    def where_to(target, own_only=False):
        """Its own [DestinationDirs] entry, else (CopyFiles alone) DefaultDestDir."""
        return dests.get(target.lower(), [] if own_only else dests.get("defaultdestdir", []))

    copied = check_files(sections, targets, folder, where_to, problems, legacy)
    device = set()
    for install in installs:
        check_printer_install(sections, install, problems)
        for part in [p for p in sections if re.fullmatch(re.escape(install.lower()) + INSTALL_PARTS, p)]:
            device.update(t.lower() for t in named(sections, part, "AddReg"))
            if part.endswith(".coinstallers"):
                legacy.setdefault("legacy co-installer", []).append("[%s]" % sections[part][0])
    check_registry(sections, targets, device, problems, legacy)
    uninstalls = check_companions(sections, installs, where_to, copied, problems, found)
    problems += unread_sections(sections, targets, uninstalls, named_installs)
    notes = ["%s (%s): an error only in InfVerif's stricter modes (/u, /w, /k); Windows installs it"
             % (what, ", ".join(dict.fromkeys(where))) for what, where in sorted(legacy.items())]
    return list(dict.fromkeys(problems)), "; ".join(
        ["printer INF, install %s" % ", ".join("[%s]" % i for i in installs),
         "%d files copied, all in the package folder" % len(copied) if all(c[4] for c in copied) else
         "%d files copied, %d of them from the LayoutFile" % (len(copied), sum(not c[4] for c in copied))]
        + list(found)), notes
