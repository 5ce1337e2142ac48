"""The catalog writer, reader and check, through the commands teams run."""
import hashlib
import os
import subprocess
import sys

import pytest
from conftest import pe_image

from toolkit import catalog_check
from toolkit.catalog_file import (OID_CATALOG_LIST, OID_CATALOG_V1, CatalogError, CertificateTrustList, MemberInfo,
                                  cms, name_value, read_catalog, time_of)
from toolkit.inf_file import read_inf
from toolkit.package import catalog_name
from toolkit.pe_image import ImageError, authenticode_digest

TOOLS = os.path.join(os.path.dirname(__file__), "..", "..", "tools")


def run(job, *args):
    env = dict(os.environ, PYTHONPATH=TOOLS)
    return subprocess.run([sys.executable, "-m", "toolkit." + job] + [str(a) for a in args],
                          capture_output=True, text=True, env=env)


def test_written_catalog_has_the_layout_of_inf2cat(package):
    assert run("make_catalog", package, "--time", 1700000000).returncode == 0
    data = (package / "sample.cat").read_bytes()
    catalog = read_catalog(data)
    dll, inf = (package / "driver.dll").read_bytes(), (package / "sample.inf").read_bytes()
    expected = {("sha256", authenticode_digest(dll)): ("driver.dll", "pe"),
                ("sha1", authenticode_digest(dll, "sha1")): ("driver.dll", None),
                ("sha256", hashlib.sha256(inf).digest()): ("sample.inf", "flat"),
                ("sha1", hashlib.sha1(inf).digest()): ("sample.inf", None)}
    found = {(m["algorithm"], m["tag"]): (m["file"], m["kind"]) for m in catalog["members"]}
    assert (catalog["version"], catalog["signed"], found) == (2, False, expected)
    assert [m["tag"] for m in catalog["members"]] == sorted(m["tag"] for m in catalog["members"])
    assert all(m["os_attr"] == "2:10.0" and m["indirect"] in (None, (m["algorithm"], m["tag"]))
               for m in catalog["members"])
    assert catalog["attributes"]["hwid1"] == "usbprint\\maker_sample"
    assert catalog["attributes"]["hwid2"] == "maker_sample"
    assert catalog["attributes"]["os"].startswith("_v100_X64,") and "_v100_X64_24H2" in catalog["attributes"]["os"]
    # CAT_MEMBERINFO2: an empty [0] on the PE file's two members, an empty [2] on the INF's.
    assert data.count(b"\x06\x0a\x2b\x06\x01\x04\x01\x82\x37\x0c\x02\x03\x31\x02\x80\x00") == 2
    assert data.count(b"\x06\x0a\x2b\x06\x01\x04\x01\x82\x37\x0c\x02\x03\x31\x02\x82\x00") == 2
    assert run("make_catalog", package, "--time", 1700000000).returncode == 0
    assert (package / "sample.cat").read_bytes() == data


def version1_catalog(files):
    """A CatalogVersion 1 catalog as MakeCat writes one: SHA-1, hex-text tags."""
    subjects = []
    for name, data in files:
        digest = authenticode_digest(data, "sha1") if data[:2] == b"MZ" else hashlib.sha1(data).digest()
        subjects.append({"identifier": (digest.hex().upper() + "\0").encode("utf-16-le"), "attributes": [
            {"type": "1.3.6.1.4.1.311.12.2.1", "values": [name_value("File", name)]},
            {"type": "1.3.6.1.4.1.311.12.2.2",
             "values": [MemberInfo({"guid": "{DE351A42-8E59-11D0-8C47-00C04FC295EE}", "version": 512})]}]})
    ctl = CertificateTrustList({"subject_usage": [OID_CATALOG_LIST], "identifier": b"\1" * 16,
                                "this_update": time_of(1577836800),
                                "subject_algorithm": {"algorithm": OID_CATALOG_V1}, "subjects": subjects,
                                "extensions": [{"id": "1.3.6.1.4.1.311.12.2.1",
                                                "value": name_value("OSAttr", "2:6.1,2:10.0").dump()}]})
    signed = cms.SignedData({"version": "v1", "digest_algorithms": [], "signer_infos": [],
                             "encap_content_info": cms.ContentInfo({"content_type": "1.3.6.1.4.1.311.10.1",
                                                                    "content": ctl})})
    return cms.ContentInfo({"content_type": "signed_data", "content": signed}).dump()


def test_version1_catalog_checked_and_a_changed_file_named(package):
    files = [(n, (package / n).read_bytes()) for n in ("sample.inf", "driver.dll")]
    (package / "sample.cat").write_bytes(version1_catalog(files))
    assert catalog_check.check(str(package / "sample.inf"))[:2] == ([], "catalog sample.cat: 2 files")
    (package / "driver.dll").write_bytes(pe_image(b"changed"))
    (package / "extra.txt").write_bytes(b"not copied, not checked")
    problems = catalog_check.check(str(package / "sample.inf"))[0]
    assert problems == ["catalog sample.cat: driver.dll does not match its member (changed after cataloging?)"]


@pytest.mark.parametrize("data", [
    b"", b"garbage", b"\x30\x80\x00\x00",                     # empty, no DER, indefinite length
    b"\x30\x03\x02\x01\x01",                                   # DER, but no SignedData
    version1_catalog([("a.inf", b"x")])[:-7],                 # cut short
    version1_catalog([("a.inf", b"x")]).replace(b"\x2b\x06\x01\x04\x01\x82\x37\x0c\x01\x01",
                                                b"\x2b\x06\x01\x04\x01\x82\x37\x0c\x01\x09"),  # not a catalog list
])
def test_malformed_catalog_raises_catalog_error(data):
    with pytest.raises(CatalogError):
        read_catalog(data)


def test_broken_files_are_named_in_one_line_and_exit_1(package):
    image = (package / "driver.dll").read_bytes()
    for length in range(0, 0x200, 8):  # a PE cut short anywhere in its headers
        try:
            authenticode_digest(image[:length] if length > 0x40 else b"MZ" + b"\0" * 0x3e)
        except ImageError:
            pass
    (package / "driver.dll").write_bytes(image[:0x120])
    made = run("make_catalog", package)
    assert (made.returncode, made.stdout, made.stderr.count("\n")) == (1, "", 1)
    assert "driver.dll: cannot be hashed: the file ends at byte 288, inside its optional header" in made.stderr
    (package / "sample.cat").write_bytes(b"\x30\x82\x10\x00" + b"\0" * 10)
    (package / "sample.inf").write_bytes(b"\xff\xfe[\x00V\x00")  # UTF-16LE cut inside a character
    for job, args in (("make_catalog", [package]), ("release_gate", [package / "sample.inf"])):
        done = run(job, *args)
        assert done.returncode == 1 and "Traceback" not in done.stderr and "sample.inf" in done.stdout + done.stderr


@pytest.mark.parametrize("version, expected", [
    ("CatalogFile = a.cat", ("a.cat", None)),
    ("CatalogFile = a.cat\nCatalogFile.NT = b.cat\nCatalogFile.NTamd64 = c.cat", ("c.cat", None)),
    ("CatalogFile.NTx86 = x86.cat", (None, "names no catalog")),
    ("CatalogFile = sub\\a.cat", ("sub\\a.cat", "is not a file name")),
])
def test_the_catalog_an_inf_names(tmp_path, version, expected):
    (tmp_path / "a.inf").write_text("[Version]\nSignature=\"$Windows NT$\"\n" + version + "\n")
    name, problem = catalog_name(read_inf(str(tmp_path / "a.inf"))[0])
    assert name == expected[0] and (problem is None if expected[1] is None else expected[1] in problem)
    if expected[1]:  # the check and the catalog tool refuse it with the same words
        assert expected[1] in catalog_check.check(str(tmp_path / "a.inf"))[0][0]
        assert expected[1] in run("make_catalog", tmp_path).stderr
