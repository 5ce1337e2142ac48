"""A driver package folder: the catalog an INF names and where it lies, and
the files the package's catalogs cover. The catalog tool and the checks read
both from here, so they agree."""
import os
import re

from .inf_file import entries, field, read_inf

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
