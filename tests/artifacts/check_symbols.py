#!/usr/bin/env python3
"""Checks what a debugger needs from each shipped binary and its PDB.

    check_symbols.py LLVM_BIN DIST_DIR NAME...      (NAME: TAVRIKEN.exe, HELDRAVO.dll, ...)

For every binary: the CodeView record names NAME.pdb by file name only and
carries the GUID and age of dist/NAME.pdb; no DWARF or other debug sections
are left in it; it is at most 32 KiB; high-entropy ASLR, dynamic base and NX
are on and no section is both writable and executable; the header checksum
is right; and every routine of ours that the PDB lists and that calls
another or uses the stack lies wholly inside RUNTIME_FUNCTION entries, so an
exception or a stack walk can pass through it.
"""
import re
import struct
import subprocess
import sys

MAX_BYTES = 32 * 1024
SCN_EXECUTE = 0x20000000
SCN_WRITE = 0x80000000
DLLCHAR_HIGH_ENTROPY_VA = 0x0020
DLLCHAR_DYNAMIC_BASE = 0x0040
DLLCHAR_NX_COMPAT = 0x0100


def read_pe(data):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    assert data[pe:pe + 4] == b"PE\0\0", "no PE signature"
    nsections, = struct.unpack_from("<H", data, pe + 6)
    optional_size, = struct.unpack_from("<H", data, pe + 20)
    opt = pe + 24
    assert struct.unpack_from("<H", data, opt)[0] == 0x20B, "not PE32+"
    image = {
        "image_base": struct.unpack_from("<Q", data, opt + 24)[0],
        "checksum_offset": opt + 64,
        "checksum": struct.unpack_from("<I", data, opt + 64)[0],
        "dll_characteristics": struct.unpack_from("<H", data, opt + 70)[0],
        "directories": [struct.unpack_from("<II", data, opt + 112 + 8 * i) for i in range(16)],
        "sections": [],
    }
    table = opt + optional_size
    for i in range(nsections):
        raw = data[table + 40 * i: table + 40 * (i + 1)]
        name = raw[:8].rstrip(b"\0").decode("latin-1")
        vsize, va, rawsize, rawptr = struct.unpack_from("<IIII", raw, 8)
        flags, = struct.unpack_from("<I", raw, 36)
        if name.startswith("/"):  # long name in the COFF string table
            name = "(long name " + name + ")"
        image["sections"].append((name, va, vsize, rawptr, rawsize, flags))
    return image


def file_offset(image, rva):
    for _, va, vsize, rawptr, rawsize, _ in image["sections"]:
        if va <= rva < va + max(vsize, rawsize):
            return rawptr + rva - va
    raise ValueError("rva %#x in no section" % rva)


def pe_checksum(data, offset):
    padded = bytes(data) + (b"\0" if len(data) % 2 else b"")
    words = list(struct.unpack("<%dH" % (len(padded) // 2), padded))
    words[offset // 2] = words[offset // 2 + 1] = 0
    total = 0
    for word in words:
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def codeview_record(data, image):
    rva, size = image["directories"][6]
    if not size:
        return None
    at = file_offset(image, rva)
    for i in range(size // 28):
        kind, = struct.unpack_from("<I", data, at + 28 * i + 12)
        pointer, = struct.unpack_from("<I", data, at + 28 * i + 24)
        if kind == 2 and data[pointer:pointer + 4] == b"RSDS":
            guid = data[pointer + 4:pointer + 20]
            age, = struct.unpack_from("<I", data, pointer + 20)
            name = data[pointer + 24:data.index(b"\0", pointer + 24)].decode("utf-8")
            return guid, age, name
    return None


def guid_text(raw):
    d1, d2, d3 = struct.unpack_from("<IHH", raw)
    return "%08X-%04X-%04X-%s-%s" % (d1, d2, d3, raw[8:10].hex().upper(), raw[10:16].hex().upper())


def run(*command):
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout


def pdb_summary(llvm_bin, pdb):
    text = run(llvm_bin + "/llvm-pdbutil", "dump", "--summary", pdb)
    guid = re.search(r"GUID: \{([0-9A-F-]+)\}", text)
    age = re.search(r"Age: (\d+)", text)
    return (guid.group(1) if guid else None), (int(age.group(1)) if age else None)


def pdb_routines(llvm_bin, pdb):
    """(name, section, offset, size) of every procedure record in the PDB."""
    text = run(llvm_bin + "/llvm-pdbutil", "dump", "--symbols", pdb)
    found = re.findall(r"S_[GL]PROC32 \[size = \d+\] `([^`]*)`\s*\n\s*parent = \d+, end = \d+, "
                       r"addr = (\d+):(\d+), code size = (\d+)", text)
    return [(name, int(sec), int(off), int(size)) for name, sec, off, size in found]


def calling_instructions(llvm_bin, path):
    """Image addresses of instructions that call or use the stack."""
    text = run(llvm_bin + "/llvm-objdump", "-d", "--no-show-raw-insn", path)
    found = set()
    for line in text.splitlines():
        m = re.match(r"\s*([0-9a-f]+):\s+(\S+)\s*(.*)", line)
        if not m:
            continue
        mnemonic, operands = m.group(2), m.group(3)
        if (mnemonic.startswith("call") or mnemonic.startswith("push")
                or (mnemonic in ("subq", "addq", "andq") and operands.endswith("%rsp"))):
            found.add(int(m.group(1), 16))
    return found


def runtime_functions(data, image):
    rva, size = image["directories"][3]
    at = file_offset(image, rva) if size else 0
    return [struct.unpack_from("<III", data, at + 12 * i)[:2] for i in range(size // 12)]


def check(llvm_bin, dist, name):
    problems = []
    path = dist + "/" + name
    pdb = dist + "/" + name.rsplit(".", 1)[0] + ".pdb"
    data = open(path, "rb").read()
    image = read_pe(data)

    if len(data) > MAX_BYTES:
        problems.append("%d bytes, more than %d" % (len(data), MAX_BYTES))
    for sname, _, _, _, _, flags in image["sections"]:
        if sname.startswith(".debug") or sname.startswith("(long name"):
            problems.append("debug section %s left in the binary" % sname)
        if flags & SCN_WRITE and flags & SCN_EXECUTE:
            problems.append("section %s is writable and executable" % sname)
    want = DLLCHAR_HIGH_ENTROPY_VA | DLLCHAR_DYNAMIC_BASE | DLLCHAR_NX_COMPAT
    if image["dll_characteristics"] & want != want:
        problems.append("DllCharacteristics %#06x lack ASLR/high-entropy/NX" % image["dll_characteristics"])
    expected = pe_checksum(data, image["checksum_offset"])
    if image["checksum"] != expected:
        problems.append("header checksum %#x, the file sums to %#x" % (image["checksum"], expected))

    record = codeview_record(data, image)
    if record is None:
        problems.append("no CodeView record")
    else:
        guid, age, pdb_name = record
        if pdb_name != name.rsplit(".", 1)[0] + ".pdb":
            problems.append("CodeView names %r, not the PDB's file name alone" % pdb_name)
        pdb_guid, pdb_age = pdb_summary(llvm_bin, pdb)
        if (pdb_guid, pdb_age) != (guid_text(guid), age):
            problems.append("binary wants PDB %s age %d, %s is %s age %s"
                            % (guid_text(guid), age, pdb, pdb_guid, pdb_age))

    routines = pdb_routines(llvm_bin, pdb)
    if not routines:
        problems.append("the PDB lists no routines")
    calls = calling_instructions(llvm_bin, path)
    entries = runtime_functions(data, image)
    base = image["image_base"]
    checked = 0
    for rname, section, offset, size in routines:
        start = image["sections"][section - 1][1] + offset
        if not any(base + start <= a < base + start + size for a in calls):
            continue  # a leaf that leaves the stack alone needs no unwind data
        checked += 1
        covered = start
        while covered < start + size:
            entry = next(((b, e) for b, e in entries if b <= covered < e), None)
            if entry is None:
                problems.append("%s (rva %#x, %d bytes) has no unwind data at rva %#x"
                                % (rname, start, size, covered))
                break
            covered = entry[1]
    if checked == 0:
        problems.append("no calling routine found to check")
    return problems, checked


def main():
    llvm_bin, dist, names = sys.argv[1], sys.argv[2], sys.argv[3:]
    failed = False
    for name in names:
        problems, checked = check(llvm_bin, dist, name)
        for p in problems:
            print("FAIL %s: %s" % (name, p))
        if problems:
            failed = True
        else:
            print("ok %s: %d calling routines all inside unwind data" % (name, checked))
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
