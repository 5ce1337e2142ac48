"""An INF file as the device installer reads it: sections, ';' comments outside
quotes, "" inside quotes, %key% from [Strings], a trailing '\\' joining the next
line; and what the release gate and the catalog tool look up in it (its
DriverVer, the files it copies and where they lie in its folder)."""
import datetime
import os
import re


def split_line(text, number):
    """(key or None, [fields]) of one logical line, comment already cut off."""
    key, fields, field, quoted, i = None, [], [], False, 0
    while i < len(text):
        c = text[i]
        if quoted:
            if c == '"' and text[i + 1:i + 2] == '"':
                field.append(('"', True))
                i += 1
            elif c == '"':
                quoted = False
            else:
                field.append((c, True))
        elif c == '"':
            quoted = True
            field.append(("", True))  # "" is an empty field, not a missing one
        elif c == "," or (c == "=" and key is None and not fields):
            value = joined(field)
            if c == ",":
                fields.append(value)
            else:
                key = value
            field = []
        else:
            field.append((c, False))
        i += 1
    if quoted:
        raise ValueError("line %d: a quote is not closed" % number)
    fields.append(joined(field))
    return key, fields


def joined(chars):
    """A field's text without the blanks around it (blanks inside quotes stay)."""
    while chars and not chars[0][1] and chars[0][0].isspace():
        chars = chars[1:]
    while chars and not chars[-1][1] and chars[-1][0].isspace():
        chars = chars[:-1]
    return "".join(c for c, _ in chars)


def uncommented(line):
    """The line up to its first ';' outside quotes."""
    quoted = False
    for i, c in enumerate(line):
        if c == '"':
            quoted = not quoted
        elif c == ";" and not quoted:
            return line[:i]
    return line


def read_inf(path):
    """({lower-case section name: (name, [(line number, key, [fields])])},
    the %keys% lines use that [Strings] does not define)."""
    with open(path, "rb") as f:
        raw = f.read()
    if raw[:2] in (b"\xff\xfe", b"\xfe\xff"):
        text = raw.decode("utf-16")
    else:
        try:
            text = raw.decode("utf-8-sig")
        except UnicodeDecodeError:
            text = raw.decode("latin-1")  # an ANSI INF
    sections, current, pending = {}, None, None
    for number, line in enumerate(re.split(r"\r\n|\n|\r", text), 1):
        content = uncommented(line).rstrip()
        if pending is not None:
            start, content = pending[0], pending[1] + content
        else:
            start = number
        if content.endswith("\\"):
            pending = (start, content[:-1])
            continue
        pending = None
        if content.lstrip().startswith("["):
            end = content.find("]")
            if end < 0:
                raise ValueError("line %d: a section name without ']'" % start)
            name = content[content.index("[") + 1:end].strip()
            current = sections.setdefault(name.lower(), (name, []))
        elif content.strip():
            if current is None:
                raise ValueError("line %d is outside any section" % start)
            current[1].append((start,) + split_line(content, start))
    strings = {key.lower(): ",".join(fields) for _, key, fields in sections.get("strings", ("", []))[1] if key}
    undefined = set()

    def substitute(text):
        def one(m):
            if not m.group(1):
                return "%"
            if m.group(1).lower() in strings:
                return strings[m.group(1).lower()].replace("%%", "%")  # "%%" in [Strings] is one "%"
            if not m.group(1).isdigit():  # a number is a DirID, the installer's to fill in
                undefined.add(m.group(1))
            return m.group(0)
        return None if text is None else re.sub(r"%([^%\s]*)%", one, text)

    for lname, (_, lines) in sections.items():
        if lname != "strings":
            lines[:] = [(n, substitute(k), [substitute(f) for f in fs]) for n, k, fs in lines]
    return sections, undefined


def field(fields, i):
    return fields[i] if i < len(fields) else ""


def number(text):
    """An INF number (hex with 0x, or decimal; empty is 0), or None."""
    try:
        return int(text, 16) if text.lower().startswith("0x") else int(text or "0", 10)
    except ValueError:
        return None


def entries(sections, name):
    """{lower-case key: fields} of a section's key=value lines."""
    return {k.lower(): fs for _, k, fs in lines(sections, name) if k}


def lines(sections, name):
    """The (line number, key, [fields]) of a section; none when it does not exist."""
    return sections.get(name.lower(), ("", []))[1]


def named(sections, name, directive):
    """The section names a section's directive lines give, in order."""
    return [f for _, k, fs in lines(sections, name) if k and k.lower() == directive.lower() for f in fs if f]


def locate(folder, relative):
    """The path of a file under FOLDER, its name compared without regard to
    case as Windows does, or None when it is not there."""
    path = folder
    for part in [p for p in relative.replace("\\", "/").split("/") if p]:
        match = [n for n in (os.listdir(path) if os.path.isdir(path) else []) if n.lower() == part.lower()]
        if not match:
            return None
        path = os.path.join(path, match[0])
    return path if os.path.isfile(path) else None


def locate_source(folder, relative):
    """Where a copied file's source lies: under its name, else under its
    compressed name (the last character '_': xyzui.dl_ for xyzui.dll), which
    SetupAPI expands as it copies it; None when neither is there."""
    return locate(folder, relative) or (locate(folder, relative[:-1] + "_") if relative[-1:] != "_" else None)


def driver_ver(sections):
    """(date, [w, x, y, z] or None) of [Version] DriverVer, or None when its
    date is not month/day/year (one or two digits for month and day, '/' or
    '-' between them) or its version is not four numbers."""
    fields = entries(sections, "version").get("driverver", [])
    m = re.fullmatch(r"(\d{1,2})[/-](\d{1,2})[/-](\d{4})", field(fields, 0))
    version = field(fields, 1)
    if not m or (version and not re.fullmatch(r"\d+(\.\d+){3}", version)):
        return None
    try:
        date = datetime.date(int(m.group(3)), int(m.group(1)), int(m.group(2)))
    except ValueError:
        return None
    return date, [int(p) for p in version.split(".")] if version else None


# The directives that name sections ("INF DDInstall Section" and the pages
# of each directive), and the fields of those that name one in a field of
# their own (AddService: the service and event log sections; DataSection).
FILE_LISTS = ("CopyFiles", "DelFiles", "RenFiles")
DIRECTIVES = FILE_LISTS + ("AddReg", "DelReg", "BitReg", "UpdateInis", "UpdateIniFields", "Ini2Reg", "Needs",
                           "AddProperty", "DelProperty", "RegisterDlls", "UnregisterDlls", "ProfileItems",
                           "AddPowerSetting")
NAMING_FIELDS = {"datasection": slice(0, 1), "addservice": slice(2, 4), "addinterface": slice(2, 3),
                 "wmiinterface": slice(2, 3), "addcomponent": slice(2, 3), "addsoftware": slice(2, 3),
                 "addeventprovider": slice(1, 2)}
# The parts of an install section that the device installer reads with it.
INSTALL_PARTS = ("", ".coinstallers", ".hw", ".services", ".interfaces", ".wmi", ".events", ".components",
                 ".software", ".factdef", ".logconfigoverride")


def x64_models(sections):
    """The models sections 64-bit Windows reads ("Creating INF Files for
    Multiple Platforms"): for each [Manufacturer] line, those it decorates
    NTamd64 (with or without an OS version: NTamd64.10.0...16299), else its
    undecorated one. The device installer's package mode chooses the same."""
    found = []
    for _, _, fs in lines(sections, "manufacturer"):
        decorated = [field(fs, 0) + "." + d for d in fs[1:] if re.fullmatch(r"ntamd64(\..*)?", d, re.I)]
        found += decorated or [field(fs, 0)]
    return found


def install_section(sections, name):
    """The install section 64-bit Windows uses for a model's NAME: NAME.NTamd64,
    else NAME.NT, else NAME; None when there is none."""
    return next((sections[n.lower()][0] for n in (name + ".NTamd64", name + ".NT", name)
                 if n.lower() in sections), None)


def section_names(sections, name):
    """The sections the lines of a section name: by its directives, in fields of
    AddService and the like, DataSection, and CoreDriverSections (each quoted
    field a core driver's GUID and the sections of it to read)."""
    found = []
    for _, key, fs in lines(sections, name):
        key = (key or "").lower()
        if key in [d.lower() for d in DIRECTIVES]:
            found += [f for f in fs if f]
        elif key in NAMING_FIELDS:
            found += [f for f in fs[NAMING_FIELDS[key]] if f]
        elif key == "coredriversections":
            found += [p.strip() for f in fs for p in f.split(",")[1:] if p.strip()]
    return found


def x64_sections(sections, also=()):
    """The lower-case names of the sections 64-bit Windows reads: its x64
    models, the install sections they name with their parts, every section a
    read section names, and the sections ALSO names (an uninstall section)."""
    todo = [m.lower() for m in x64_models(sections)] + [a.lower() for a in also]
    for models in x64_models(sections):
        for _, _, fs in lines(sections, models):
            install = install_section(sections, field(fs, 0))
            todo += [install.lower() + p for p in INSTALL_PARTS] if install else []
    read = set()
    while todo:
        name = todo.pop()
        if name not in read and name in sections:
            read.add(name)
            todo += [n.lower() for n in section_names(sections, name)]
    return read


def copied_files(sections, read=None):
    """(file name, its path in the package folder, the section or @file that
    copies it, the name it is installed as, its [SourceDisksFiles] entry or
    None, its disk's [SourceDisksNames] entry or None) of every file a CopyFiles
    directive of a READ section (by default what 64-bit Windows reads) copies,
    once per section, in the INF's order. The path comes from
    [SourceDisksFiles] (its subfolder) and [SourceDisksNames] (the disk's path),
    the .amd64 decorations first, as 64-bit Windows looks them up (never .x86);
    a file listed in neither lies at the top."""
    read = x64_sections(sections) if read is None else read
    targets = []
    for lname, (name, _) in sections.items():
        if lname in read:
            for target in named(sections, name, "CopyFiles"):
                if target.lower() not in [t.lower() for t in targets]:
                    targets.append(target)
    disks = dict(entries(sections, "sourcedisksnames"), **entries(sections, "sourcedisksnames.amd64"))
    sources = dict(entries(sections, "sourcedisksfiles"), **entries(sections, "sourcedisksfiles.amd64"))
    copied, seen = [], set()
    for target in targets:
        lines = [[target[1:]]] if target.startswith("@") else \
            [([k] if k is not None else []) + fs for _, k, fs in sections.get(target.lower(), ("", []))[1]]
        for fs in lines:
            name = field(fs, 1) or field(fs, 0)
            if not name or (name.lower(), target.lower()) in seen:
                continue
            seen.add((name.lower(), target.lower()))
            listed = sources.get(name.lower())
            disk = disks.get(field(listed or [], 0))
            parts = "/".join((field(disk or [], 3), field(listed or [], 1), name)).replace("\\", "/").split("/")
            copied.append((name, "/".join(p for p in parts if p), target, field(fs, 0), listed, disk))
    return copied


def hardware_ids(sections):
    """The IDs (hardware and compatible) the x64 models name, in lower case
    and in order, each once."""
    ids = []
    for models in x64_models(sections):
        for _, _, fs in lines(sections, models):
            ids += [i.lower() for i in fs[1:] if i and i.lower() not in ids]
    return ids
