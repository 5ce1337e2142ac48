"""The release gate's check of the catalog an INF names, whatever the INF's
class.

release_gate.py calls check(inf, ca_file) for every INF and adds the problems
it returns to the INF's own, its notes as info lines. 64-bit Windows installs
a third-party package only when its INF names a catalog that lies beside it,
is signed, and lists every file the installation copies with the hash
Windows computes for it; a file changed after signing no longer matches, and
the installation is refused. The catalog may be of either version, as
MakeCat, Inf2Cat and Microsoft's signing service write them (catalog_file.py).
The INF and every file it copies must match a member by its SHA-1 or SHA-256
hash (the files Windows checks), and a member naming such a file must hold
one of its hashes; a member for a file it copies must find that file. With CA_FILE the
catalog's signature must also verify against that root (osslsigncode verify).
"""
import os
import re
import subprocess

from .catalog_file import OS_ATTR_WINDOWS_10_11, CatalogError, file_hashes, read_catalog
from .compressed import NotRead
from .inf_file import locate, read_inf
from .package import catalog_name, copied_files, locate_source, package_files


def signature_problem(path, ca_file):
    """What osslsigncode says is wrong with the catalog's signature, or None."""
    try:
        done = subprocess.run(["osslsigncode", "verify", "-in", path, "-CAfile", ca_file],
                              capture_output=True, text=True, errors="replace")
    except OSError as error:
        return "cannot run osslsigncode to verify its signature: %s" % error.strerror
    said = done.stdout + done.stderr
    if done.returncode == 0 and re.search(r"^Signature verification: ok", said, re.M):
        return None
    reason = [line.strip() for line in said.splitlines() if re.search(r"error|failed", line, re.I)
              and line.strip() != "Failed"]
    return "its signature does not verify against %s (osslsigncode: %s)" % (
        ca_file, reason[0] if reason else "exit status %d" % done.returncode)


def os_attr_note(catalog):
    """A note when no OSAttr, the catalog's or a member's, names Windows 10 and 11."""
    texts = {t for t in [catalog["attributes"].get("osattr")] + [m["os_attr"] for m in catalog["members"]] if t}
    if any(OS_ATTR_WINDOWS_10_11 in t.replace(" ", "").split(",") for t in texts):
        return None
    return ("its OSAttr (%s) does not name Windows 10 and 11 (%s): Windows installs the package all the same,"
            " a Microsoft signature for earlier versions ranking as a publisher's own (\"LowerLogoVersion\")"
            % (", ".join(sorted(texts)) or "none", OS_ATTR_WINDOWS_10_11))


def check_members(where, catalog, problems):
    """{(file name, algorithm): {digest}} of the members that name a file, and
    {algorithm: {digest}} of all, each member's tag checked against its
    indirect data."""
    named, listed = {}, {"sha1": set(), "sha256": set()}
    for member in catalog["members"]:
        what = member["file"] or member["tag"].hex()
        if member["algorithm"] is None:
            problems.append("%s: the member for %s holds no SHA-256 or SHA-1 hash" % (where, what))
            continue
        if member["indirect"] is not None and member["indirect"] != (member["algorithm"], member["digest"]):
            problems.append("%s: the member for %s is tagged %s, not with its hash" % (where, what, member["digest"].hex()))
            continue
        listed[member["algorithm"]].add(member["digest"])
        if member["file"]:
            named.setdefault((member["file"].lower(), member["algorithm"]), set()).add(member["digest"])
    return named, listed


def check(inf, ca_file=None):
    """(problems, summary, notes) of the catalog the INF names."""
    folder = os.path.dirname(os.path.abspath(inf))
    try:
        sections, _ = read_inf(inf)
    except (OSError, ValueError):
        return [], "", []  # inf_check names an INF that cannot be read
    name, problem = catalog_name(sections)
    if problem:
        return [problem], "", []
    path = locate(folder, name)
    if path is None:
        return ["names the catalog %s, which is not beside the INF" % name], "", []
    where = "catalog " + name
    try:
        with open(path, "rb") as f:
            catalog = read_catalog(f.read())
    except (OSError, CatalogError) as error:
        return ["%s cannot be read as a catalog: %s" % (where, error)], "", []

    problems, notes = [], []
    note = os_attr_note(catalog)
    if note:
        notes.append("%s: %s" % (where, note))
    named, listed = check_members(where, catalog, problems)
    # The files as Windows hashes them. The INF and each file it copies must
    # be found by one of its hashes (Windows checks no other file of the
    # folder), and a member that names such a file must hold one of them.
    # {path: the name it is installed as}: a compressed source is listed under its expanded name.
    required = dict([(os.path.basename(inf), os.path.basename(inf))] + [
        (os.path.relpath(p, folder).replace(os.sep, "/"), c[3]) for c, p in
        ((c, locate_source(folder, c[1])) for c in copied_files(sections)) if p])
    hashed = {}
    for relative in package_files(folder):
        try:
            with open(os.path.join(folder, relative), "rb") as f:
                hashed[relative] = file_hashes(f.read(), relative)[1]
        except NotRead as error:  # a form Windows reads and this check does not: unchecked, said so
            if relative in required:
                notes.append("%s: %s is not checked: %s" % (where, relative, error))
        except (OSError, ValueError) as error:  # ImageError, a compressed file cut short
            if relative in required:  # a file Windows checks
                problems.append("%s: %s cannot be hashed: %s" % (where, relative, error))
    found = {(a, d) for hashes in hashed.values() for a, d in hashes.items() if d in listed[a]}
    for relative, base in ((r, n.lower()) for r, n in required.items() if r in hashed):
        hashes = hashed[relative]
        if not any(d in listed[a] for a, d in hashes.items()):
            claimed = any(named.get((base, a)) for a in hashes)
            problems.append("%s: %s %s" % (where, relative, "does not match its member (changed after cataloging?)"
                                           if claimed else "is not a member (added after cataloging?)"))
    # A member for a file the INF copies that the folder lacks (a catalog may
    # list files of other packages too: those are no matter here).
    names = {os.path.basename(r).lower() for r in package_files(folder)} | {n.lower() for n in required.values()}
    copies = {c[3].lower() for c in copied_files(sections)}
    lacking = {m["file"] for m in catalog["members"] if m["algorithm"] and (m["algorithm"], m["digest"]) not in found
               and (m["file"] or "").lower() in copies - names}
    problems += ["%s lists %s, which the package lacks" % (where, what) for what in sorted(lacking)]

    summary = "%s: %d files" % (where, len(set(required) & set(hashed)))
    if ca_file is not None:
        if not catalog["signed"]:
            problems.append("%s is not signed (a release signs it)" % where)
        else:
            problem = signature_problem(path, ca_file)
            if problem:
                problems.append("%s: %s" % (where, problem))
            else:
                summary += ", signature verifies against %s" % os.path.basename(ca_file)
    return problems, summary, notes
