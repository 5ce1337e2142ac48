"""A driver package as 64-bit Windows reads it: the sections its x64 models
reach, the files they copy and where they lie in the folder (compressed or
not), its hardware IDs, the catalog an INF names and the files of the folder.
The catalog tool, the checks and the device installer's package mode read it
the same way."""
import os
import re

from .inf_file import entries, field, lines, locate, named, read_inf

# The CatalogFile entries of [Version], the one 64-bit Windows reads first.
CATALOG_KEYS = ("catalogfile.ntamd64", "catalogfile.nt", "catalogfile")


def catalog_name(sections):
    """(name, problem) of the catalog [Version] names for 64-bit Windows:
    CatalogFile.NTamd64, else CatalogFile.NT, else CatalogFile. The problem
    (name None, or the name) when it names none, or a name with a folder in
    it: the catalog lies beside its INF ("INF Version Section")."""
    version = entries(sections, "version")
    name = next((field(version[k], 0) for k in CATALOG_KEYS if field(version.get(k, []), 0)), None)
    if not name:
        return None, ("names no catalog ([Version] has no CatalogFile= or CatalogFile.NTamd64=): 64-bit"
                      " Windows refuses to install a third-party package without one")
    if re.search(r"[\\/:]", name) or name in (".", ".."):
        return name, "the catalog %s is not a file name (a catalog lies beside its INF)" % name
    return name, None


def catalogs_named(folder):
    """Every catalog (lower-case name) that an INF in FOLDER names for any
    platform: no catalog of the folder lists them."""
    names = set()
    for inf in [n for n in os.listdir(folder) if n.lower().endswith(".inf")]:
        try:
            version = entries(read_inf(os.path.join(folder, inf))[0], "version")
        except (OSError, ValueError):
            continue
        names |= {field(v, 0).lower() for k, v in version.items() if k.startswith("catalogfile") and field(v, 0)}
    return names


def package_files(folder):
    """The path under FOLDER (with '/') of every file its catalogs cover: every
    file in it and its subfolders but the catalogs its INFs name, in a fixed
    order."""
    skip = catalogs_named(folder)
    found = []
    for top, dirs, files in os.walk(folder):
        dirs.sort()
        for name in files:
            relative = os.path.relpath(os.path.join(top, name), folder).replace(os.sep, "/")
            if relative.lower() not in skip:
                found.append(relative)
    return sorted(found, key=lambda p: (p.lower(), p))


def locate_source(folder, relative):
    """Where a copied file's source lies: under its name, else under its
    compressed name (the last character '_': xyzui.dl_ for xyzui.dll), which
    SetupAPI expands as it copies it; None when neither is there."""
    return locate(folder, relative) or (locate(folder, relative[:-1] + "_") if relative[-1:] != "_" else None)


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
