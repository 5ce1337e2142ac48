#!/usr/bin/env python3
"""The release gate's checks of a sample driver package INF.

    release_gate.py dist/package/<GUARD>-<COINSTALLER>/printer.inf ...

release_gate.py calls check(path) for every FILE ending in .inf and prints
one "FAIL <folder>/printer.inf: ..." line per problem it returns. The INF is
read (tools/common/inf_file.py) as the device installer reads it, because
the installers' own parsers open most faulty INFs without a word and the
fault shows only when an installation fails or hangs.
"""
import datetime
import os
import re
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "common"))
from inf_file import entries, field, named, number, present, read_inf  # noqa: E402

PRINTER_CLASS_GUID = "{4D36E979-E325-11CE-BFC1-08002BE10318}"
REG_ROOTS = ("HKCR", "HKCU", "HKLM", "HKU", "HKR")
# FLG_ADDREG_*: NOCLOBBER, DELVAL, APPEND, KEYONLY, OVERWRITEONLY, 64BITKEY,
# KEYONLY_COMMON, 32BITKEY; the type field is 0xFFFF0001 (0x1: BINVALUETYPE).
ADDREG_FLAG_BITS = 0x000001FE
ADDREG_TYPE_MASK = 0xFFFF0001
ADDREG_TYPES = {0x00000000, 0x00010000, 0x00020000, 0x00010001, 0x00020001}
BINVALUETYPE = 0x00000001
KNOWN_DIRIDS = {10, 11, 12, 16422, 16426, 66000, 66001, 66002, 66003}
DIRIDS_UNKNOWN_TO_SOME = {13, 99, 66004, 16447}  # Wine's SetupAPI resolves none of these
RUN_KEY = "Software\\Microsoft\\Windows\\CurrentVersion\\Run"
DIRECTIVES = ("CopyFiles", "AddReg", "DelReg", "DelFiles")
UNINSTALL = "Companions_Uninstall"


def addreg_flags(text):
    """The flags of an AddReg line, or None when they are not a number made of
    FLG_ADDREG_* values (any type field goes only with BINVALUETYPE)."""
    flags = number(text)
    if flags is None or flags & ~(ADDREG_FLAG_BITS | ADDREG_TYPE_MASK) or (
            flags & ADDREG_TYPE_MASK not in ADDREG_TYPES and not flags & BINVALUETYPE):
        return None
    return flags


def check_version(sections, folder, problems):
    """Whether it opens as a Windows NT INF at all; the [Version] faults."""
    if "version" not in sections:
        problems.append("does not open as a Windows NT INF: no [Version] section")
        return False
    version = entries(sections, "version")
    signature = field(version.get("signature", []), 0)
    if signature.lower() != "$windows nt$":
        problems.append('does not open as a Windows NT INF: [Version] Signature is "%s", not "$Windows NT$"'
                        % signature)
        return False
    if field(version.get("class", []), 0).lower() != "printer":
        problems.append("[Version] Class is %r, not Printer" % field(version.get("class", []), 0))
    if field(version.get("classguid", []), 0).upper() != PRINTER_CLASS_GUID:
        problems.append("[Version] ClassGuid is %r, not the printer class %s"
                        % (field(version.get("classguid", []), 0), PRINTER_CLASS_GUID))
    if not field(version.get("provider", []), 0):
        problems.append("[Version] names no Provider")
    date, ver = field(version.get("driverver", []), 0), field(version.get("driverver", []), 1)
    m = re.fullmatch(r"(\d\d)/(\d\d)/(\d{4})", date)
    try:
        good = bool(m) and bool(datetime.date(int(m.group(3)), int(m.group(1)), int(m.group(2))))
    except ValueError:
        good = False
    if not good or not re.fullmatch(r"\d+(\.\d+){3}", ver) or max(int(p) for p in ver.split(".")) > 65535:
        problems.append("[Version] DriverVer %r is not mm/dd/yyyy,w.x.y.z" % ",".join(version.get("driverver", [])))
    for key, fs in version.items():
        if key.startswith("catalogfile") and field(fs, 0) and not present(folder, field(fs, 0)):
            problems.append("[Version] names the catalog %s, which is not beside the INF"
                            " (a missing catalog breaks the installation)" % field(fs, 0))
    return True


def install_sections(sections, problems):
    """The DDInstall section of every 64-bit model, as the INF spells it."""
    installs = []
    if not sections.get("manufacturer", ("", []))[1]:
        problems.append("no [Manufacturer] section naming models")
    for _, _, fs in sections.get("manufacturer", ("", []))[1]:
        base, decorations = field(fs, 0), [d.lower() for d in fs[1:]]
        versioned = [d for d in fs[1:] if re.fullmatch(r"ntamd64\..+", d, re.I)]
        if versioned:
            problems.append("[Manufacturer] decorates %s as %s: a decoration with an OS version finds no"
                            " driver on some installers (decorate it NTamd64)" % (base, versioned[0]))
        if "ntamd64" not in decorations:
            if not versioned:
                problems.append("[Manufacturer] gives %s no NTamd64 decoration: no models for 64-bit Windows"
                                % base)
            continue
        models = sections.get((base + ".NTamd64").lower())
        if models is None:
            problems.append("models section [%s.NTamd64] named by [Manufacturer] does not exist" % base)
            continue
        if not models[1]:
            problems.append("models section [%s] lists no model" % models[0])
        for _, model, mfs in models[1]:
            found = [sections[n.lower()][0] for n in (field(mfs, 0) + ".NTamd64", field(mfs, 0))
                     if n.lower() in sections]
            if not found:
                problems.append("install section [%s.NTamd64] (or [%s]) of model %s does not exist"
                                % (field(mfs, 0), field(mfs, 0), model))
            elif found[0] not in installs:
                installs.append(found[0])
    return installs


def check(path):
    """(problems, summary) of one INF."""
    try:
        sections, undefined = read_inf(path)
    except (OSError, ValueError) as error:
        return ["cannot be read as an INF: %s" % error], ""
    problems = []
    folder = os.path.dirname(os.path.abspath(path))
    if not check_version(sections, folder, problems):
        return problems, ""  # nothing else of it is read
    installs = install_sections(sections, problems)
    for kind in ("SourceDisksNames", "SourceDisksFiles"):
        if kind.lower() not in sections:
            decorated = [n for l, (n, _) in sections.items() if l.startswith(kind.lower() + ".")]
            problems.append("no [%s]%s" % (kind, " (only [%s], which some installers ignore)" % decorated[0]
                                           if decorated else ""))
    for key in sorted(undefined):
        problems.append("%%%s%% is used but [Strings] does not define it" % key)

    # Every section a directive names, from any section that has directives.
    referenced = {d: [] for d in DIRECTIVES}
    for lname, (name, _) in sections.items():
        if lname not in ("strings", "destinationdirs"):
            for directive in DIRECTIVES:
                for target in named(sections, name, directive):
                    if target.lower() not in [t.lower() for t in referenced[directive]]:
                        referenced[directive].append(target)
    for directive, targets in referenced.items():
        for target in targets:
            if not (target.startswith("@") and directive in ("CopyFiles", "DelFiles")) \
                    and target.lower() not in sections:
                problems.append("section [%s] named by %s does not exist" % (target, directive))
    destinations = entries(sections, "destinationdirs")
    for directive in ("CopyFiles", "DelFiles"):
        for target in referenced[directive]:
            if target.startswith("@"):  # a single file goes to DefaultDestDir
                key, where = "defaultdestdir", "DefaultDestDir"
                missing = "%s=%s needs a DefaultDestDir in [DestinationDirs]" % (directive, target)
            else:
                key, where = target.lower(), target
                missing = ("section [%s] named by %s has no [DestinationDirs] entry of its own"
                           " (DefaultDestDir does not count for this package)" % (target, directive))
            if key not in destinations:
                if key == "defaultdestdir" or key in sections:
                    problems.append(missing)
                continue
            dirid = field(destinations[key], 0)
            where = "[DestinationDirs] %s = %s" % (where, dirid)
            if not dirid.isdigit():
                problems.append("%s: the DirID is not a number" % where)
            elif int(dirid) in DIRIDS_UNKNOWN_TO_SOME:
                problems.append("%s: DirID %s is unknown to some installers" % (where, dirid))
            elif int(dirid) not in KNOWN_DIRIDS:
                problems.append("%s: DirID %s is not one of the known folders (%s)"
                                % (where, dirid, ", ".join(str(d) for d in sorted(KNOWN_DIRIDS))))

    # Every copied file listed with its disk, and there.
    disks = entries(sections, "sourcedisksnames")
    sources = entries(sections, "sourcedisksfiles")
    copied = []  # (file name, the section that copies it, or @file)
    for target in referenced["CopyFiles"]:
        lines = [[target[1:]]] if target.startswith("@") else \
            [([k] if k is not None else []) + fs for _, k, fs in sections.get(target.lower(), ("", []))[1]]
        copied += [(field(fs, 1) or field(fs, 0), target) for fs in lines if field(fs, 1) or field(fs, 0)]
    for name, target in copied:
        listed = sources.get(name.lower())
        if listed is None:
            problems.append("file %s copied by [%s] is not listed in [SourceDisksFiles]" % (name, target))
        elif field(listed, 0) not in disks:
            problems.append("file %s is on disk %r of [SourceDisksFiles], which [SourceDisksNames] does not have"
                            % (name, field(listed, 0)))
        elif not present(folder, "/".join((field(disks[field(listed, 0)], 3), field(listed, 1), name))):
            problems.append("file %s copied by [%s] is missing from the package folder (the installation fails,"
                            " and on some installers a missing first file loops for ever)" % (name, target))

    # Registry lines: roots, and AddReg flags made of known bits.
    for directive in ("AddReg", "DelReg"):
        for target in referenced[directive]:
            for line, _, fs in sections.get(target.lower(), ("", []))[1]:
                if field(fs, 0).upper() not in REG_ROOTS:
                    problems.append("[%s] line %d: root %r is not one of %s"
                                    % (target, line, field(fs, 0), ", ".join(REG_ROOTS)))
                if directive == "DelReg":
                    continue
                if number(field(fs, 3)) is None:
                    problems.append("[%s] line %d: flags %r are not a number" % (target, line, field(fs, 3)))
                elif addreg_flags(field(fs, 3)) is None:
                    problems.append("[%s] line %d: flags %s are not made of FLG_ADDREG_* values"
                                    % (target, line, field(fs, 3)))

    def reg_lines(section, directive):
        return [(t, line, fs) for t in named(sections, section, directive) if t.lower() in sections
                for line, _, fs in sections[t.lower()][1]]

    def destination(target):
        return destinations.get("defaultdestdir" if target.startswith("@") else target.lower(), [])

    # The co-installer: copied to the system folder and named by CoInstallers32.
    summary = []
    for install in installs:
        co = install + ".CoInstallers"
        if co.lower() not in sections:
            problems.append("[%s] does not exist (the co-installer is never registered)" % co)
            continue
        co_copies = [t.lower() for t in named(sections, co, "CopyFiles")]
        co_files = {name.lower(): target for name, target in copied if target.lower() in co_copies}
        values = [v for v in reg_lines(co, "AddReg") if field(v[2], 2).lower() == "coinstallers32"]
        if not values:
            problems.append("[%s] writes no CoInstallers32 value" % co)
        for target, line, fs in values:
            where = "CoInstallers32 ([%s] line %d)" % (target, line)
            dll = re.fullmatch(r"([^,\\/]+\.[dD][lL][lL]),CoInstallerE", field(fs, 4))
            if field(fs, 0).upper() in REG_ROOTS and (field(fs, 0).upper() != "HKR" or field(fs, 1)):
                problems.append("%s is written to %s,%s, not to HKR with no subkey"
                                % (where, field(fs, 0), field(fs, 1)))
            if addreg_flags(field(fs, 3)) not in (None, 0x00010000, 0x00010008):  # None: reported above
                problems.append("%s: flags %s, not 0x00010000 (a multi-string)" % (where, field(fs, 3)))
            if len(fs) != 5 or not dll:
                problems.append('%s is "%s", not "<TAG>.dll,CoInstallerE"' % (where, ",".join(fs[4:])))
            elif dll.group(1).lower() not in co_files:
                problems.append("%s names %s, which [%s] does not copy" % (where, dll.group(1), co))
            elif destination(co_files[dll.group(1).lower()]) and \
                    field(destination(co_files[dll.group(1).lower()]), 0) != "11":
                problems.append("%s names %s, which is copied to DirID %s, not the system folder (11)"
                                % (where, dll.group(1), field(destination(co_files[dll.group(1).lower()]), 0)))
            else:
                summary.append("co-installer %s to system32" % field(fs, 4))

    # The guard: started at logon by a Run value holding its quoted full path.
    guards = [(name[:-4], target) for name, target in copied if name.lower().endswith(".exe")]
    if not guards:
        problems.append("copies no power guard (.exe)")
    for tag, target in guards:
        want_folder = destination(target)
        folder_ok = field(want_folder, 0) == "16422" and field(want_folder, 1)
        if want_folder and not folder_ok:
            problems.append("%s.exe is copied to %s, not to a folder under Program Files (16422,<folder>)"
                            % (tag, ",".join(want_folder) or "no folder"))
        want = '"%%16422%%\\%s\\%s.exe"' % (field(want_folder, 1), tag)
        for install in installs:
            # In the install section or in its .CoInstallers section, which
            # SetupAPI itself processes.
            values = [v for section in (install, install + ".CoInstallers")
                      for v in reg_lines(section, "AddReg") if field(v[2], 2).lower() == tag.lower()]
            if not values:
                problems.append("neither [%s] nor its .CoInstallers section writes the Run value %s for the guard"
                                % (install, tag))
            for vtarget, line, fs in values:
                where = "Run value %s ([%s] line %d)" % (tag, vtarget, line)
                if field(fs, 0).upper() in REG_ROOTS and (field(fs, 0).upper() != "HKLM"
                                                          or field(fs, 1).lower() != RUN_KEY.lower()):
                    problems.append("%s is written to %s,%s, not to HKLM,%s"
                                    % (where, field(fs, 0), field(fs, 1), RUN_KEY))
                if addreg_flags(field(fs, 3)) not in (None, 0):
                    problems.append("%s: flags %s, not 0x00000000 (REG_SZ; other types do not run everywhere)"
                                    % (where, field(fs, 3)))
                data = ",".join(fs[4:])
                if len(data) < 2 or data[0] != '"' or data[-1] != '"':
                    problems.append("%s: the path %s is not in double quotes (with a space in it another program"
                                    " can start in the guard's place)" % (where, data))
                elif data.lower() != want.lower() and folder_ok:
                    problems.append("%s is %s, not %s (where [DestinationDirs] puts %s.exe)"
                                    % (where, data, want, tag))
                else:
                    summary.append("guard %s run as %s" % (tag, data))

    # The removal: the guard's files and its Run value.
    if UNINSTALL.lower() not in sections:
        problems.append("no [%s] section (nothing removes the guard and its Run value)" % UNINSTALL)
    else:
        deleted = [t.lower() for t in named(sections, UNINSTALL, "DelFiles")]
        delreg = named(sections, UNINSTALL, "DelReg")
        for tag, target in guards:
            if target.lower() not in deleted:
                problems.append("[%s] DelFiles does not name [%s], which copies %s.exe" % (UNINSTALL, target, tag))
            removes = [fs for _, _, fs in reg_lines(UNINSTALL, "DelReg") if field(fs, 0).upper() == "HKLM"
                       and field(fs, 1).lower() == RUN_KEY.lower() and field(fs, 2).lower() == tag.lower()]
            # A DelReg section that is missing is reported above.
            if not removes and (not delreg or any(t.lower() in sections for t in delreg)):
                problems.append("[%s] DelReg does not remove the Run value %s (HKLM,%s,%s)"
                                % (UNINSTALL, tag, RUN_KEY, tag))
    return problems, "; ".join(["printer INF, install %s" % ", ".join("[%s]" % i for i in installs),
                                "%d files copied, all beside it" % len(copied)] + summary
                               + ["[%s] removes the guard" % UNINSTALL])
