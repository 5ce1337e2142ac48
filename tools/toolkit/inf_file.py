"""An INF file as the device installer reads it: sections, ';' comments outside
quotes, "" inside quotes, %key% from [Strings], a trailing '\\' joining the next
line; and the lines and entries the checks and the catalog tool look up in it."""
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
