"""A driver package's compressed sources (xyzui.dl_ for xyzui.dll): SetupAPI
expands such a file as it copies it, and the catalog lists the expanded file
by its hash under its expanded name ("SetupDecompressOrCopyFile"). Two forms:
Microsoft's SZDD (a 14-byte header: the magic, the method 'A', the name's
last character, the expanded size; then LZSS with a 4096-byte window) and a
cabinet holding the one file. No Debian Python library reads either (only
commands: mscompress's msexpand, cabextract), so they are read here; checked
against msexpand and against makers' catalogs."""
import struct
import zlib

MAGIC = b"SZDD\x88\xf0\x27\x33"


class NotRead(ValueError):
    """A form this module does not read (Windows may): not a damaged file."""


def is_compressed(data):
    return data[:8] == MAGIC and data[8:9] == b"A" and len(data) >= 14


def expand(data):
    """The expanded bytes of an SZDD file; ValueError when they are cut short."""
    size, = struct.unpack_from("<I", data, 10)
    window, at, out, i = bytearray(b" " * 4096), 4096 - 16, bytearray(), 14
    while len(out) < size and i < len(data):
        control, i = data[i], i + 1
        for bit in range(8):
            if len(out) >= size or i >= len(data):
                break
            if control >> bit & 1:
                byte, i = data[i], i + 1
                out.append(byte)
                window[at], at = byte, (at + 1) % 4096
            elif i + 1 < len(data):
                start, length, i = data[i] | (data[i + 1] & 0xF0) << 4, (data[i + 1] & 0x0F) + 3, i + 2
                for k in range(length):
                    byte = window[(start + k) % 4096]
                    out.append(byte)
                    window[at], at = byte, (at + 1) % 4096
            else:
                i = len(data)
    if len(out) < size:
        raise ValueError("a compressed file cut short (%d of %d bytes)" % (len(out), size))
    return bytes(out[:size])


def is_cabinet(data):
    return data[:4] == b"MSCF" and len(data) >= 36


def extract_single(data):
    """The one file a cabinet holds, as SetupAPI expands a source in that form
    (xyzui.dl_ holding xyzui.dll): stored or MSZIP folders (each data block
    "CK" and a deflate stream continuing the one before); ValueError for a
    cabinet of several files or another compression (Quantum, LZX)."""
    folders, files, flags = struct.unpack_from("<HHH", data, 26)
    if files != 1 or folders != 1:
        raise NotRead("a cabinet of %d files in %d folders, not one compressed file" % (files, folders))
    at, data_reserve = 36, 0
    if flags & 0x4:  # reserve fields: header, per folder, per data block
        header_reserve, folder_reserve, data_reserve = struct.unpack_from("<HBB", data, 36)
        at += 4 + header_reserve
    at += sum(len(data[at:].split(b"\0", 1)[0]) * 2 + 2 for bit in (1, 2) if flags & bit)  # previous, next cabinet
    first, blocks, method = struct.unpack_from("<IHH", data, at)
    if method & 0xF not in (0, 1):
        raise NotRead("a cabinet compressed with method %d (only stored and MSZIP are read here)" % (method & 0xF))
    out, at = bytearray(), first
    for _ in range(blocks):
        packed, _unpacked = struct.unpack_from("<HH", data, at + 4)
        block = data[at + 8 + data_reserve:at + 8 + data_reserve + packed]
        at += 8 + data_reserve + packed
        if method & 0xF == 0:
            out += block
        elif block[:2] != b"CK":
            raise ValueError("an MSZIP block without its signature")
        else:
            inflater = zlib.decompressobj(-15, zdict=bytes(out[-32768:])) if out else zlib.decompressobj(-15)
            out += inflater.decompress(block[2:])
    size, = struct.unpack_from("<I", data, struct.unpack_from("<I", data, 16)[0])
    if len(out) < size:
        raise ValueError("a cabinet cut short (%d of %d bytes)" % (len(out), size))
    return bytes(out[:size])
