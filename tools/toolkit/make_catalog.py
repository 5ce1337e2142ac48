"""Writes the unsigned security catalog of a driver package folder.

    python3 -m toolkit.make_catalog FOLDER [--time EPOCH]
    ./build.sh catalog FOLDER [--time EPOCH]

For every INF in FOLDER (*.inf beside each other), the catalog its [Version]
names (CatalogFile.NTamd64, else .NT, else CatalogFile) is written beside it,
a CatalogVersion 2 catalog as Inf2Cat writes one: the INFs that name it and
every file they copy on 64-bit Windows (the sections its x64 models reach,
[SourceDisksFiles] and .amd64, never .x86) are members twice, by its SHA-256
and by its SHA-1, a PE file (.exe, .dll, .sys, ...) by its Authenticode image
hash, any other by the hash of its bytes; each member names its file (in
lower case) and OSAttr 2:10.0, the catalog the x64 releases of Windows 10 and
11 (OS) and the hardware IDs of the INF's x64 models (HWID1, ...). Sign it
afterwards (signtool sign /fd sha256 X.cat, or osslsigncode
sign -h sha256 -in X.cat -out signed.cat); a PE file's hash leaves its own
signature out, so the binaries may be signed before or after.

The same folder gives the same bytes: the catalog's time is EPOCH, else
SOURCE_DATE_EPOCH, else the INF's DriverVer date at 00:00 UTC.

Prints one line per catalog written, with its file count. Exits 1, writing
nothing, with a "make_catalog: <inf>: ..." line when an INF names no catalog
(or a path rather than a file name), a file it copies (CopyFiles, where
[SourceDisksNames] and [SourceDisksFiles] put it) is missing, or a file
cannot be read or hashed; 2 for bad arguments.
"""
import datetime
import os
import re
import sys

from .catalog_file import file_hashes, write_catalog
from .inf_file import driver_ver, entries, read_inf
from .package import catalog_name, copied_files, hardware_ids, locate_source


def usage(problem):
    sys.stderr.write("make_catalog: %s\n%s" % (problem, __doc__.split("\n\n")[1] + "\n"))
    sys.exit(2)


def epoch_of(text):
    """A time given as seconds since 1970, or None."""
    return int(text) if re.fullmatch(r"\d+", text or "") else None


def driver_date(sections):
    """The DriverVer date at 00:00 UTC in seconds, or None."""
    ver = driver_ver(sections)
    if ver is None:
        return None
    return int(datetime.datetime(*ver[0].timetuple()[:3], tzinfo=datetime.timezone.utc).timestamp())


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
    problems, catalogs = [], {}
    for inf in infs:
        path = os.path.join(folder, inf)
        try:
            sections, _ = read_inf(path)
        except (OSError, ValueError) as error:
            problems.append("%s: cannot be read as an INF: %s" % (path, error))
            continue
        name, problem = catalog_name(sections)
        if problem:
            problems.append("%s: %s" % (path, problem))
            continue
        # A file [SourceDisksFiles] does not list comes from the LayoutFile
        # the INF names, when it names one: not from the package.
        layout = entries(sections, "version").get("layoutfile")
        covered = [(inf, inf)]
        for copied, where, section, installed, listed, _ in copied_files(sections):
            found = locate_source(folder, where)
            if found is None and (listed is not None or not layout):
                problems.append("%s: %s copied by [%s] is missing (looked for %s in the folder)"
                                % (path, copied, section, where))
            elif found is not None:
                covered.append((os.path.relpath(found, folder).replace(os.sep, "/"), installed))
        at = time if time is not None else driver_date(sections)
        if at is None:
            problems.append("%s: no time for the catalog: give --time or SOURCE_DATE_EPOCH, or a DriverVer"
                            " date (mm/dd/yyyy) in [Version]" % path)
        # INFs that name one catalog share it.
        catalog = catalogs.setdefault(name.lower(), {"name": name, "infs": [], "at": at, "ids": [], "files": []})
        catalog["infs"].append(inf)
        catalog["ids"] += [i for i in hardware_ids(sections) if i not in catalog["ids"]]
        catalog["files"] += [c for c in covered if c not in catalog["files"]]
    if problems:
        sys.exit("\n".join("make_catalog: " + p for p in problems))

    # Each catalog covers the INFs that name it and the files they copy on
    # 64-bit Windows, as Inf2Cat lists them.
    for catalog in catalogs.values():
        files = []
        for relative, name in sorted(catalog["files"], key=lambda p: (p[0].lower(), p)):
            try:
                with open(os.path.join(folder, relative), "rb") as f:
                    kind, hashes = file_hashes(f.read(), relative)
            except (OSError, ValueError) as error:  # ImageError, or a compressed file cut short
                sys.exit("make_catalog: %s: cannot be hashed: %s" % (os.path.join(folder, relative), error))
            if kind == "cab":  # its indirect data is a serialized object this tool does not write
                sys.exit("make_catalog: %s: a cabinet file: this tool writes no cabinet members (Inf2Cat does)"
                         % os.path.join(folder, relative))
            files.append((name, kind, hashes))  # a compressed source under the name it expands to
        target = os.path.join(folder, catalog["name"])
        data = write_catalog(files, catalog["at"], catalog["ids"])
        with open(target + ".partial", "wb") as f:
            f.write(data)
        os.replace(target + ".partial", target)
        print("wrote %s: %d files, for %s" % (target, len(files), ", ".join(catalog["infs"])))


if __name__ == "__main__":
    main()
