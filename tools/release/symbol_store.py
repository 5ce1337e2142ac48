#!/usr/bin/env python3
"""Puts binaries and their PDBs into a symbol-store layout, the one symbol
servers and debuggers' symbol paths read:

    <name>.pdb/<GUID><age>/<name>.pdb
    <name>.exe/<TimeDateStamp><SizeOfImage>/<name>.exe     (same for .dll)

    symbol_store.py PDBUTIL STORE PDB_DIR BINARY...

The GUID and age come from the binary's CodeView (RSDS) debug record, which
also names the PDB; the PDB of that name in PDB_DIR must carry the same GUID
and age (read with PDBUTIL, llvm-pdbutil), or a debugger would refuse it.
"""
import os
import re
import shutil
import struct
import subprocess
import sys

IMAGE_DEBUG_TYPE_CODEVIEW = 2
DEBUG_DIRECTORY_INDEX = 6


def fail(message):
    sys.exit("symbol_store: " + message)


def pe_facts(path):
    """(TimeDateStamp, SizeOfImage, GUID text, age, PDB file name)."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:2] != b"MZ":
        fail("%s: not an MZ image" % path)
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        fail("%s: no PE signature" % path)
    sections, time_stamp, optional_size = struct.unpack_from("<2xHI8xH", data, pe + 4)
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    if magic != 0x20B:
        fail("%s: not PE32+ (magic %#x)" % (path, magic))
    size_of_image = struct.unpack_from("<I", data, optional + 56)[0]
    directories = optional + 112
    debug_rva, debug_size = struct.unpack_from("<II", data, directories + 8 * DEBUG_DIRECTORY_INDEX)

    def file_offset(rva):
        table = optional + optional_size
        for i in range(sections):
            vsize, vaddr, rsize, raw = struct.unpack_from("<IIII", data, table + 40 * i + 8)
            if vaddr <= rva < vaddr + max(vsize, rsize):
                return raw + rva - vaddr
        fail("%s: RVA %#x is in no section" % (path, rva))

    start = file_offset(debug_rva)
    for entry in range(start, start + debug_size, 28):
        kind, size, _, raw = struct.unpack_from("<12xIIII", data, entry)
        if kind != IMAGE_DEBUG_TYPE_CODEVIEW or data[raw:raw + 4] != b"RSDS":
            continue
        d1, d2, d3 = struct.unpack_from("<IHH", data, raw + 4)
        d4 = data[raw + 12:raw + 20]
        age = struct.unpack_from("<I", data, raw + 20)[0]
        pdb_path = data[raw + 24:raw + size].split(b"\0")[0].decode("utf-8")
        guid = "%08X%04X%04X%s" % (d1, d2, d3, d4.hex().upper())
        return time_stamp, size_of_image, guid, age, re.split(r"[\\/]", pdb_path)[-1]
    fail("%s: no CodeView (RSDS) debug record" % path)


def pdb_facts(pdbutil, path):
    """(GUID text, age) as the PDB itself records them."""
    summary = subprocess.run([pdbutil, "dump", "--summary", path], check=True,
                             capture_output=True, text=True).stdout
    guid = re.search(r"^\s*GUID: \{([0-9A-Fa-f-]+)\}", summary, re.M)
    age = re.search(r"^\s*Age: (\d+)", summary, re.M)
    if not guid or not age:
        fail("%s: no GUID and age in its summary" % path)
    return guid.group(1).replace("-", "").upper(), int(age.group(1))


def place(source, store, name, key):
    folder = os.path.join(store, name, key)
    os.makedirs(folder, exist_ok=True)
    shutil.copyfile(source, os.path.join(folder, name))
    return os.path.join(name, key, name)


def main():
    if len(sys.argv) < 5:
        sys.exit(__doc__)
    pdbutil, store, pdb_dir = sys.argv[1:4]
    for binary in sys.argv[4:]:
        time_stamp, size_of_image, guid, age, pdb_name = pe_facts(binary)
        pdb = os.path.join(pdb_dir, pdb_name)
        if not os.path.isfile(pdb):
            fail("%s names %s, which is not in %s" % (binary, pdb_name, pdb_dir))
        pdb_guid, pdb_age = pdb_facts(pdbutil, pdb)
        if (pdb_guid, pdb_age) != (guid, age):
            fail("%s is %s age %d, but %s expects %s age %d"
                 % (pdb, pdb_guid, pdb_age, binary, guid, age))
        print(place(binary, store, os.path.basename(binary), "%08X%x" % (time_stamp, size_of_image)))
        print(place(pdb, store, pdb_name, "%s%X" % (guid, age)))


if __name__ == "__main__":
    main()
