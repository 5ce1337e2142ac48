"""The release gate's check of a package's catalog.

release_gate.py calls check(inf, ca_file) for every INF and adds the problems
it returns to the INF's own. 64-bit Windows installs a third-party package
only when its INF names a catalog that lies beside it, is signed, and lists
every file the installation copies with the hash Windows computes for it;
a file changed after cataloging no longer matches, and the installation is
refused. Here every file of the package folder must be a member (with its
Authenticode image hash for a PE file, its SHA-256 otherwise), every member
a file of the package, and the OS attribute must cover Windows 10 and 11.
With CA_FILE the catalog's signature must also verify against that root
(osslsigncode verify).
"""
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "common"))
from catalog_file import (DIGEST_NAMES, OID_CATALOG_MEMBERS_SHA256, OS_ATTR_WINDOWS_10_11,  # noqa: E402
                          CatalogError, file_digest, package_files, read_catalog)
from inf_file import catalog_name, locate, read_inf  # noqa: E402
from pe_image import ImageError  # noqa: E402


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


def catalogs_beside(folder):
    """The catalogs the INFs in the folder name: no member of any of them."""
    names = []
    for inf in [n for n in os.listdir(folder) if n.lower().endswith(".inf")]:
        try:
            names.append(catalog_name(read_inf(os.path.join(folder, inf))[0]) or "")
        except (OSError, ValueError):
            pass
    return names


def check(inf, ca_file=None):
    """(problems, summary) of the catalog the INF names. An INF that cannot be
    read, or whose catalog is not beside it, is inf_check's to report."""
    folder = os.path.dirname(os.path.abspath(inf))
    try:
        sections, _ = read_inf(inf)
    except (OSError, ValueError):
        return [], ""
    name = catalog_name(sections)
    if not name:
        return ["names no catalog ([Version] has no CatalogFile or CatalogFile.NTamd64): 64-bit Windows"
                " refuses to install a third-party package without one (./build.sh catalog makes it)"], ""
    path = locate(folder, name) if not re.search(r"[\\/]", name) else None
    if path is None:
        return [], ""
    where = "catalog " + name
    try:
        with open(path, "rb") as f:
            catalog = read_catalog(f.read())
    except (OSError, CatalogError) as error:
        return ["%s cannot be read as a catalog: %s" % (where, error)], ""

    problems = []
    if catalog["member_algorithm"] != OID_CATALOG_MEMBERS_SHA256:
        problems.append("%s: its members are of kind %s, not SHA-256 (%s)"
                        % (where, catalog["member_algorithm"], OID_CATALOG_MEMBERS_SHA256))
    if OS_ATTR_WINDOWS_10_11 not in (catalog["os_attr"] or "").replace(" ", "").split(","):
        problems.append("%s: its OSAttr %s does not cover Windows 10 and 11 (%s)"
                        % (where, catalog["os_attr"] or "is missing, so it", OS_ATTR_WINDOWS_10_11))
    # The members by file name and hash kind. Windows' own version 2 catalogs
    # also list each file by its SHA-1, tagged with it and without indirect data.
    members, listed, hashed = {}, {"sha1": set(), "sha256": set()}, []
    for member in catalog["members"]:
        what = member["file"] or member["tag"]
        if member["digest"] is not None:
            kind, digest = DIGEST_NAMES.get(member["algorithm"]), member["digest"]
        else:
            kind = {40: "sha1", 64: "sha256"}.get(len(member["tag"]))
            digest = bytes.fromhex(member["tag"]) if kind and re.fullmatch(r"[0-9A-Fa-f]+", member["tag"]) else None
        if kind is None or digest is None:
            problems.append("%s: the member for %s holds no SHA-256 or SHA-1 hash" % (where, what))
        elif member["tag"].upper() != digest.hex().upper():
            problems.append("%s: the member for %s is tagged %s, not with its hash" % (where, what, member["tag"]))
        else:
            members.setdefault(((member["file"] or "").lower(), kind), set()).add(digest)
            listed[kind].add(digest)
            hashed.append((what, digest))
    # The files as Windows hashes them, each checked against the members of its name.
    kinds = [k for k in ("sha256", "sha1") if k == "sha256" or listed[k]]
    files = {}
    for relative in package_files(folder, catalogs_beside(folder)):
        try:
            with open(os.path.join(folder, relative), "rb") as f:
                data = f.read()
            files[relative] = {k: file_digest(data, k)[1] for k in kinds}
        except (OSError, ImageError) as error:
            problems.append("%s: %s cannot be hashed: %s" % (where, relative, error))
            continue
        for kind in kinds:
            same_name = members.get((os.path.basename(relative).lower(), kind))
            if same_name is not None and files[relative][kind] not in same_name:
                problems.append("%s: %s does not match its member (changed after cataloging?)" % (where, relative))
                break
            if same_name is None and kind == "sha256" and files[relative][kind] not in listed[kind]:
                problems.append("%s: %s is not a member (added after cataloging?)" % (where, relative))
    names = {os.path.basename(r).lower() for r in files}
    hashes = {h for digests in files.values() for h in digests.values()}
    for what, digest in hashed:
        if what.lower() not in names and digest not in hashes:
            problems.append("%s lists %s, which the package lacks" % (where, what))

    summary = "%s: %d files" % (where, len(files))
    if ca_file is not None:
        if not catalog["signed"]:
            problems.append("%s is not signed (a release signs it)" % where)
        else:
            problem = signature_problem(path, ca_file)
            if problem:
                problems.append("%s: %s" % (where, problem))
            else:
                summary += ", signature verifies against %s" % os.path.basename(ca_file)
    return problems, summary

