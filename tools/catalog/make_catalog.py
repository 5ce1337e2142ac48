#!/usr/bin/env python3
"""Writes the unsigned security catalog of a driver package folder.

    make_catalog.py FOLDER [--time EPOCH]
    ./build.sh catalog FOLDER [--time EPOCH]

For every INF in FOLDER (*.inf beside each other), the catalog its [Version]
names (CatalogFile.NTamd64, else CatalogFile) is written beside it: every
file of FOLDER and its subfolders is a member (the catalogs themselves
excepted), a PE file (.exe, .dll, .sys, ...) by its Authenticode image hash,
any other file by its SHA-256, with the OS attribute 2:10.0 (Windows 10 and
11). Sign it afterwards (signtool sign /fd sha256 X.cat, or osslsigncode
sign -h sha256 -in X.cat -out signed.cat); a PE file's hash leaves its own
signature out, so the binaries may be signed before or after.

The same folder gives the same bytes: the catalog's time is EPOCH, else
SOURCE_DATE_EPOCH, else the INF's DriverVer date at 00:00 UTC.

Prints one line per catalog written, with its member count. Exits 1, writing
nothing, with a "make_catalog: <inf>: ..." line when an INF names no catalog
or a file it copies (CopyFiles, where [SourceDisksNames] and
[SourceDisksFiles] put it) is missing; 2 for bad arguments.
"""
import datetime
import os
import re
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "common"))
from catalog_file import file_digest, package_files, write_catalog  # noqa: E402
from inf_file import catalog_name, copied_files, entries, field, locate, read_inf  # noqa: E402
from pe_image import ImageError  # noqa: E402


def usage(problem):
    sys.stderr.write("make_catalog: %s\n%s" % (problem, __doc__.split("\n\n")[1] + "\n"))
    sys.exit(2)


def epoch_of(text):
    """A time given as seconds since 1970, or None."""
    return int(text) if re.fullmatch(r"\d+", text or "") else None


def driver_date(sections):
    """The DriverVer date at 00:00 UTC in seconds, or None."""
    m = re.fullmatch(r"(\d\d)/(\d\d)/(\d{4})", field(entries(sections, "version").get("driverver", []), 0))
    try:
        day = datetime.datetime(int(m.group(3)), int(m.group(1)), int(m.group(2)), tzinfo=datetime.timezone.utc)
    except (AttributeError, ValueError):
        return None
    return int(day.timestamp())


def main():
    args = sys.argv[1:]
    time = None
    if "--time" in args:
        at = args.index("--time")
        time = epoch_of(args[at + 1] if at + 1 < len(args) else "")
        if time is None:
            usage("--time needs a number of seconds since 1970")
        del args[at:at + 2]
    if len(args) != 1 or args[0].startswith("-"):
        usage("give one package folder")
    folder = args[0]
    if not os.path.isdir(folder):
        usage("%s is not a folder" % folder)
    if time is None and os.environ.get("SOURCE_DATE_EPOCH"):
        time = epoch_of(os.environ["SOURCE_DATE_EPOCH"])
        if time is None:
            sys.exit("make_catalog: SOURCE_DATE_EPOCH is %r, not a number of seconds" % os.environ["SOURCE_DATE_EPOCH"])

    infs = sorted(n for n in os.listdir(folder) if n.lower().endswith(".inf")
                  and os.path.isfile(os.path.join(folder, n)))
    if not infs:
        sys.exit("make_catalog: %s: no INF in the folder" % folder)
    problems, catalogs = [], []
    for inf in infs:
        path = os.path.join(folder, inf)
        try:
            sections, _ = read_inf(path)
        except (OSError, ValueError) as error:
            problems.append("%s: cannot be read as an INF: %s" % (path, error))
            continue
        name = catalog_name(sections)
        if not name:
            problems.append("%s: names no catalog ([Version] has no CatalogFile= or CatalogFile.NTamd64=)" % path)
            continue
        if re.search(r"[\\/:]", name) or name in (".", ".."):
            problems.append("%s: the catalog %s is not a file name (the catalog lies beside the INF)" % (path, name))
            continue
        for copied, where, section in copied_files(sections):
            if locate(folder, where) is None:
                problems.append("%s: %s copied by [%s] is missing (looked for %s in the folder)"
                                % (path, copied, section, where))
        at = time if time is not None else driver_date(sections)
        if at is None:
            problems.append("%s: no time for the catalog: give --time or SOURCE_DATE_EPOCH, or a DriverVer"
                            " date (mm/dd/yyyy) in [Version]" % path)
        catalogs.append((path, name, at))
    if problems:
        sys.exit("\n".join("make_catalog: " + p for p in problems))

    # Every catalog covers every file but the catalogs.
    names = [name for _, name, _ in catalogs]
    members = []
    for relative in package_files(folder, names):
        try:
            with open(os.path.join(folder, relative), "rb") as f:
                kind, digest = file_digest(f.read())
        except (OSError, ImageError) as error:
            sys.exit("make_catalog: %s: cannot be hashed: %s" % (os.path.join(folder, relative), error))
        members.append((os.path.basename(relative), kind, digest))
    for path, name, at in catalogs:
        target = os.path.join(folder, name)
        data = write_catalog(members, at)
        with open(target + ".partial", "wb") as f:
            f.write(data)
        os.replace(target + ".partial", target)
        print("wrote %s: %d members, for %s" % (target, len({m[2] for m in members}), os.path.basename(path)))


if __name__ == "__main__":
    main()
