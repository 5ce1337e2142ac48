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


def set_checksum(data):
    """Writes the PE header's CheckSum (at the same place in PE32 and PE32+) as
    the platform's CheckSumMappedFile computes it: the file's 16-bit words, the
    field counted as zero, summed with the carries folded back in, plus its length."""
    pe = struct.unpack_from("<I", data, 0x3C)[0] if data[:2] == b"MZ" and len(data) >= 0x40 else 0
    if data[pe:pe + 4] != b"PE\0\0" or len(data) < pe + 92:
        raise ValueError("not a PE image")
    struct.pack_into("<I", data, pe + 88, 0)
    total = sum(struct.unpack_from("<%dH" % (len(data) // 2), data)) + (data[-1] if len(data) % 2 else 0)
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    struct.pack_into("<I", data, pe + 88, (total + len(data)) & 0xFFFFFFFF)


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
        set_checksum(data)
    except (ValueError, struct.error) as error:
        sys.exit("finish_binary: %s: %s" % (linked, error))
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, output)


if __name__ == "__main__":
    main()
