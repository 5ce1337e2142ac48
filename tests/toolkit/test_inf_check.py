"""The INF check on a team's PostScript INF (tests/artifacts/team_infs/pscript)
in the forms printer makers use and Microsoft's pages document: each form is
accepted, and a file missing for x64 is refused where one missing for x86 is not."""
import hashlib
import os
import shutil
import struct
import zlib

import pytest

from toolkit import inf_check
from toolkit.catalog_file import read_catalog
from toolkit.make_catalog import main as make_catalog

TEAM = os.path.join(os.path.dirname(__file__), "..", "artifacts", "team_infs", "pscript")
GUID = "{0B6AB9A6-9E16-4E7A-B3A8-2D1C1E2C4F10}"
X86 = ("%ABC%=ABC_Printers,NTamd64", "%ABC%=ABC_Printers,NTamd64,NTx86\n[ABC_Printers.NTx86]\n"
       '"ABC Printer 100 PS" = ABC100X86, ABC_Printer_100_PS\n[ABC100X86]\nCopyFiles=ABC_X86\nDriverFile=abcx86.dll\n'
       "[ABC_X86]\nabcx86.dll\n[SourceDisksNames.x86]\n2 = %Disk%,,,\\x86\n[SourceDisksFiles.x86]\nabcx86.dll = 2")

FORMS = {  # name: (replacements in the INF, files added, the FAIL expected or None)
    "copy list naming its source (compressed)": (
        [("CopyFiles=@ABC100.ppd ", "CopyFiles=@ABC100.ppd,ABC_UI "),
         ("[DestinationDirs]", "[ABC_UI]\nabc100ui.dll,abc100ui.dl_\nabc100ux.dll,abc100ui.dl_\n[DestinationDirs]"),
         ("ABC100.ppd   = 1,ppd", "ABC100.ppd   = 1,ppd\nabc100ui.dl_ = 1\nabc100cb.dll = 1"),
         ("abc100ux.dll,abc100ui.dl_", "abc100ux.dll,abc100ui.dl_\nabc100cb.dll")], ["abc100ui.dl_", "abc100cb.dl_"],
        None),
    "vendor core driver by GUID": (
        [("= ABC100.PPD, ABC_Printer_100_PS", '= ABC100.PPD, ABC_Printer_100_PS\n"%s" = %s,%s' % (GUID, GUID, GUID)),
         ("Needs=PSCRIPT.OEM,PSCRIPT_DATA", 'Needs=PSCRIPT.OEM,PSCRIPT_DATA\nCoreDriverSections="%s,ABC_CORE"' % GUID),
         ("[DestinationDirs]", "[%s]\nDriverVer=6/07/2001,1.0.0.1\nCopyFiles=ABC_CORE_FILES\n[ABC_CORE]\n"
                               "CopyFiles=ABC_CORE_FILES\n[ABC_CORE_FILES]\nabccore.dll\n[DestinationDirs]" % GUID),
         ("ABC100.ppd   = 1,ppd", "ABC100.ppd   = 1,ppd\nabccore.dll = 1")], ["abccore.dll"], None),
    "v4 driver without DriverFile": (
        [("Provider=", "ClassVer=4.0\nProvider="), ("DataSection=PSCRIPT_DATA", ""), ("Include=NTPRINT.INF", ""),
         ("Needs=PSCRIPT.OEM,PSCRIPT_DATA", "")], [], None),
    "one INF for x86 and x64, the x86 files elsewhere": ([X86], [], None),
    "sections no directive names": ([("[Strings]", "[OEM URLS]\n\"ABC\" = \"http://abc.example\"\n[Strings]")], [],
                                    None),
    "non-ASCII byte in a comment": ([("[Manufacturer]", "; (c) ABC Druckerwerk \xa9\n[Manufacturer]")], [], None),
    "EventLog value": ([("[CoInstaller_CopyFiles]", "HKLM,\"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application"
                                                    "\\ABC\",TypesSupported,0x00010001,7\n[CoInstaller_CopyFiles]")],
                       [], None),
    "models decorated with an OS version": ([("ABC_Printers,NTamd64", "ABC_Printers,NTamd64.10.0...16299"),
                                             ("[ABC_Printers.NTamd64]", "[ABC_Printers.NTamd64.10.0...16299]")], [],
                                            None),
    "an x64 file missing": ([X86, ("ABC100.ppd   = 1,ppd", "ABC100.ppd   = 1,ppd\nabcgone.dll = 1"),
                             ("CopyFiles=@ABC100.ppd ", "CopyFiles=@ABC100.ppd,@abcgone.dll ")], [],
                            "file abcgone.dll copied by [@abcgone.dll] is missing from the package folder"),
}


def szdd(data):
    """DATA in Microsoft's SZDD form, every byte a literal."""
    chunks = [data[i:i + 8] for i in range(0, len(data), 8)]
    return b"SZDD\x88\xf0\x27\x33A_" + struct.pack("<I", len(data)) + b"".join(b"\xff" + c for c in chunks)


def cabinet(data, name):
    """DATA as the one file of an MSZIP cabinet."""
    packer = zlib.compressobj(9, zlib.DEFLATED, -15)
    block = b"CK" + packer.compress(data) + packer.flush()
    entry = struct.pack("<IIHHHH", len(data), 0, 0, 0, 0, 0x20) + name.encode() + b"\0"
    first = 36 + 8 + len(entry)
    total = first + 8 + len(block)
    return (b"MSCF" + struct.pack("<IIIIIBBHHHHH", 0, total, 0, 44, 0, 3, 1, 1, 1, 0, 0, 0)
            + struct.pack("<IHH", first, 1, 1) + entry + struct.pack("<IHH", 0, len(block), len(data)) + block)


@pytest.mark.parametrize("form", FORMS)
def test_printer_makers_forms(tmp_path, monkeypatch, form):
    replacements, added, refused = FORMS[form]
    shutil.copytree(TEAM, tmp_path / "pkg")
    inf = tmp_path / "pkg" / "abc100.inf"
    text = inf.read_bytes().decode("latin-1")
    for old, new in replacements:
        assert old in text
        text = text.replace(old, new)
    inf.write_bytes(text.replace("\r\n", "\n").replace("\n", "\r\n").encode("latin-1"))
    for name in added:
        packed = {"abc100ui.dl_": szdd, "abc100cb.dl_": lambda data: cabinet(data, "abc100cb.dll")}.get(name, bytes)
        (tmp_path / "pkg" / "amd64" / name).write_bytes(packed(b"expanded " + name.encode()))
    problems = inf_check.check(str(inf))[0]
    assert problems == ([] if refused is None else [p for p in problems if refused in p]) and (refused is None or problems)
    if refused is None:  # the catalog lists the INF and its x64 files alone
        monkeypatch.setattr("sys.argv", ["make_catalog", str(tmp_path / "pkg"), "--time", "1700000000"])
        make_catalog()
        members = read_catalog((tmp_path / "pkg" / "abc100.cat").read_bytes())["members"]
        files = {m["file"] for m in members}
        assert "abcx86.dll" not in files and {"abc100.inf", "abc100.ppd"} <= files
        for name in added:  # a compressed source under its expanded name, by the expanded file's hash
            digest = hashlib.sha256(b"expanded " + name.encode()).digest()
            assert {m["file"] for m in members if m["tag"] == digest} >= {name[:-1] + "l"}


@pytest.mark.parametrize("old, new, note", [
    ("DelReg = Guard_DelReg", "DelFiles = Guard_CopyFiles\nDelReg = Guard_DelReg",
     "copied file deleted or renamed ([Companions_Uninstall] DelFiles TAVRIKEN.exe)"),
    ("Provider=", "PnpLockdown=1\nProvider=", "guard locked (TAVRIKEN.exe)")])
def test_removal_microsoft_rules_out_is_noted(tmp_path, old, new, note):
    """A removal Microsoft's pages rule out, which Windows still installs: an info line, no FAIL."""
    shutil.copytree(TEAM, tmp_path / "pkg")
    inf = tmp_path / "pkg" / "abc100.inf"
    text = inf.read_text("latin-1")
    assert old in text
    inf.write_text(text.replace(old, new), "latin-1")
    problems, _, notes = inf_check.check(str(inf))
    assert problems == [] and [n for n in notes if n.startswith(note)], notes
    assert not [n for n in inf_check.check(os.path.join(TEAM, "abc100.inf"))[2] if n.startswith(note)]
