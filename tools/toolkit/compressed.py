"""Microsoft's SZDD compression, the form of a driver package's compressed
sources (xyzui.dl_ for xyzui.dll): SetupAPI expands such a file as it copies
it, and the catalog lists the expanded file by its hash under its expanded
name ("SetupDecompressOrCopyFile"). No Debian Python library reads it (only
mscompress's msexpand, a command), so it is read here: a 14-byte header (the
magic, the method 'A', the name's last character, the expanded size), then
LZSS with a 4096-byte window."""
import struct

MAGIC = b"SZDD\x88\xf0\x27\x33"


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


def expanded_name(name, data):
    """The name an SZDD file expands to: its last character from the header."""
    last = chr(data[9]) if data[9] else ""
    return name[:-1] + last if name.endswith("_") and last else name
