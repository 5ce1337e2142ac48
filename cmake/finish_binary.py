#!/usr/bin/env python3
"""Makes a linked deliverable into the file that ships.

    finish_binary.py STRIP LINKED OUTPUT

Removes the DWARF sections that the mingw-w64 runtime's objects carry
(the CodeView record that names the PDB stays), then sets the PE header
checksum again, which the strip leaves at zero. Drivers' files are checked
by it, and it is what the platform's own CheckSumMappedFile computes.
"""
import os
import struct
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools", "common"))
from pe_image import ImageError, pe_checksum, read_pe  # noqa: E402


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    strip, linked, output = sys.argv[1:]
    tmp = output + ".tmp"
    os.makedirs(os.path.dirname(os.path.abspath(output)), exist_ok=True)
    subprocess.run([strip, "--strip-debug", linked, "-o", tmp], check=True)
    with open(tmp, "rb") as f:
        data = bytearray(f.read())
    try:
        offset = read_pe(data)["checksum_offset"]
    except ImageError as error:
        sys.exit("finish_binary: %s: %s" % (linked, error))
    struct.pack_into("<I", data, offset, pe_checksum(bytes(data), offset))
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, output)


if __name__ == "__main__":
    main()
