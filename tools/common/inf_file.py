"""An INF file as the device installer reads it: sections, ';' comments outside
quotes, "" inside quotes, %key% from [Strings], a trailing '\\' joining the next
line; and what the release gate and the catalog tool look up in it (the
catalog it names, the files it copies and where they lie in its folder)."""
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
                return strings[m.group(1).lower()]
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
    return {k.lower(): fs for _, k, fs in sections.get(name.lower(), ("", []))[1] if k}


def named(sections, name, directive):
    """The section names a section's directive lines give, in order."""
    return [f for _, k, fs in sections.get(name.lower(), ("", []))[1]
            if k and k.lower() == directive.lower() for f in fs if f]


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


def present(folder, relative):
    """Whether a file is there, its name compared without regard to case as Windows does."""
    return locate(folder, relative) is not None


def catalog_name(sections):
    """The catalog [Version] names for 64-bit Windows: CatalogFile.NTamd64,
    else CatalogFile; None when it names none."""
    version = entries(sections, "version")
    return field(version.get("catalogfile.ntamd64", []), 0) or field(version.get("catalogfile", []), 0) or None


def copied_files(sections):
    """(file name, its path in the package folder, the section or @file that
    copies it) of every file a CopyFiles directive copies, each once, in the
    INF's order. The path comes from [SourceDisksFiles] (its subfolder) and
    [SourceDisksNames] (the disk's path), the .amd64 decorations first, as
    64-bit Windows looks them up; a file listed in neither lies at the top."""
    targets = []
    for lname, (name, _) in sections.items():
        if lname not in ("strings", "destinationdirs"):
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
            if not name or name.lower() in seen:
                continue
            seen.add(name.lower())
            listed = sources.get(name.lower(), [])
            disk = disks.get(field(listed, 0), [])
            parts = "/".join((field(disk, 3), field(listed, 1), name)).replace("\\", "/").split("/")
            copied.append((name, "/".join(p for p in parts if p), target))
    return copied
