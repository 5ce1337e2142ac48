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


def pe_checksum(data, checksum_offset):
    """The PE image checksum: the file summed as 16-bit words with carries
    folded back in, the checksum field counted as zero, plus the length."""
    length = len(data)
    padded = bytes(data) + (b"\0" if length % 2 else b"")
    words = list(struct.unpack("<%dH" % (len(padded) // 2), padded))
    words[checksum_offset // 2] = 0
    words[checksum_offset // 2 + 1] = 0
    total = 0
    for word in words:
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return (total + length) & 0xFFFFFFFF


def checksum_offset_of(data):
    if data[:2] != b"MZ":
        sys.exit("finish_binary: not an MZ image")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        sys.exit("finish_binary: no PE signature")
    optional = pe + 4 + 20
    return optional + 64  # CheckSum sits at the same place in PE32 and PE32+


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    strip, linked, output = sys.argv[1:]
    tmp = output + ".tmp"
    os.makedirs(os.path.dirname(os.path.abspath(output)), exist_ok=True)
    subprocess.run([strip, "--strip-debug", linked, "-o", tmp], check=True)
    with open(tmp, "rb") as f:
        data = bytearray(f.read())
    offset = checksum_offset_of(data)
    struct.pack_into("<I", data, offset, pe_checksum(bytes(data), offset))
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, output)


if __name__ == "__main__":
    main()
