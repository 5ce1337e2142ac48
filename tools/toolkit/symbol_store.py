"""Puts binaries and their PDBs into a symbol-store layout, the one symbol
servers and debuggers' symbol paths read:

    <name>.pdb/<GUID><age>/<name>.pdb
    <name>.exe/<TimeDateStamp><SizeOfImage>/<name>.exe     (same for .dll)

    python3 -m toolkit.symbol_store PDBUTIL STORE PDB_DIR BINARY...

The GUID and age come from the binary's CodeView (RSDS) debug record, which
also names the PDB; the PDB of that name in PDB_DIR must carry the same GUID
and age (read with PDBUTIL, llvm-pdbutil), or a debugger would refuse it.
"""
import os
import re
import shutil
import sys

from .pe_image import DIR_DEBUG, ImageError, ToolError, codeview_record, pdb_identity, read_pe


def fail(message):
    sys.exit("symbol_store: " + message)


def pe_facts(path):
    """(TimeDateStamp, SizeOfImage, GUID text, age, PDB file name)."""
    with open(path, "rb") as f:
        data = f.read()
    image = read_pe(data, [DIR_DEBUG])
    record = codeview_record(image)
    if record is None:
        fail("%s: no CodeView (RSDS) debug record" % path)
    guid, age, pdb_path = record
    return image.FILE_HEADER.TimeDateStamp, image.OPTIONAL_HEADER.SizeOfImage, guid, age, re.split(r"[\\/]", pdb_path)[-1]


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
        try:
            time_stamp, size_of_image, guid, age, pdb_name = pe_facts(binary)
            pdb = os.path.join(pdb_dir, pdb_name)
            if not os.path.isfile(pdb):
                fail("%s names %s, which is not in %s" % (binary, pdb_name, pdb_dir))
            pdb_guid, pdb_age = pdb_identity(pdbutil, pdb)
            if (pdb_guid, pdb_age) != (guid, age):
                fail("%s is %s age %d, but %s expects %s age %d"
                     % (pdb, pdb_guid, pdb_age, binary, guid, age))
            print(place(binary, store, os.path.basename(binary), "%08X%x" % (time_stamp, size_of_image)))
            print(place(pdb, store, pdb_name, "%s%X" % (guid.replace("-", ""), age)))
        except (ImageError, ToolError) as error:
            fail("%s: %s" % (binary, error))
        except OSError as error:
            fail("%s: %s" % (error.filename or binary, error.strerror or error))


if __name__ == "__main__":
    main()
