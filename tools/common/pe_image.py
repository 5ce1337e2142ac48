"""What the release tools, the catalog tool and the post-link step read from a
64-bit Windows image (PE32+) and its PDB, and the Authenticode hash of any PE
file. ImageError and ToolError (an LLVM tool's) say what is wrong."""
import hashlib
import os
import re
import struct
import subprocess

DIR_SECURITY, DIR_DEBUG = 4, 6
DEBUG_TYPE_CODEVIEW = 2


class ImageError(ValueError):
    pass


class ToolError(Exception):
    pass


def need(data, end, what):
    if len(data) < end:
        raise ImageError("the file ends at byte %d, before the end of %s at byte %d" % (len(data), what, end))


def read_pe(data):
    """The header fields and the section table, each section as
    (name, rva, virtual size, file offset, size in the file, flags)."""
    if data[:2] != b"MZ":
        raise ImageError("not an MZ image")
    need(data, 0x40, "the MZ header")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    need(data, pe + 26, "the PE header")
    if data[pe:pe + 4] != b"PE\0\0":
        raise ImageError("no PE signature")
    machine, nsections, time_stamp = struct.unpack_from("<HHI", data, pe + 4)
    optional_size, characteristics = struct.unpack_from("<HH", data, pe + 20)
    opt = pe + 24
    magic = struct.unpack_from("<H", data, opt)[0]
    if magic != 0x20B:
        raise ImageError("not PE32+ (magic %#x)" % magic)
    table = opt + optional_size
    need(data, max(opt + 240, table + 40 * nsections), "its headers")
    image = {
        "machine": machine,
        "characteristics": characteristics,
        "time_stamp": time_stamp,
        "image_base": struct.unpack_from("<Q", data, opt + 24)[0],
        "os_version": struct.unpack_from("<HH", data, opt + 40),
        "subsystem_version": struct.unpack_from("<HH", data, opt + 48),
        "size_of_image": struct.unpack_from("<I", data, opt + 56)[0],
        "checksum_offset": opt + 64,
        "checksum": struct.unpack_from("<I", data, opt + 64)[0],
        "subsystem": struct.unpack_from("<H", data, opt + 68)[0],
        "dll_characteristics": struct.unpack_from("<H", data, opt + 70)[0],
        "directories": [struct.unpack_from("<II", data, opt + 112 + 8 * i) for i in range(16)],
        "sections": [],
    }
    for i in range(nsections):
        raw = data[table + 40 * i: table + 40 * (i + 1)]
        name = raw[:8].rstrip(b"\0").decode("latin-1")
        vsize, va, rawsize, rawptr = struct.unpack_from("<IIII", raw, 8)
        flags, = struct.unpack_from("<I", raw, 36)
        if name.startswith("/"):  # long name in the COFF string table
            name = "(long name " + name + ")"
        need(data, rawptr + rawsize, "section " + name)
        image["sections"].append((name, va, vsize, rawptr, rawsize, flags))
    return image


def section_of(image, rva):
    for section in image["sections"]:
        if section[1] <= rva < section[1] + max(section[2], section[4]):
            return section
    return None


def file_offset(image, rva):
    section = section_of(image, rva)
    if section is None:
        raise ImageError("an address in it (rva %#x) lies in no section" % rva)
    return section[3] + rva - section[1]


def pe_checksum(data, offset):
    """The PE image checksum (the platform's CheckSumMappedFile): 16-bit words
    with carries folded back in, the checksum field counted as zero, plus the
    file's length."""
    padded = bytes(data) + (b"\0" if len(data) % 2 else b"")
    words = list(struct.unpack("<%dH" % (len(padded) // 2), padded))
    words[offset // 2] = words[offset // 2 + 1] = 0
    total = 0
    for word in words:
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def debug_entries(data, image):
    """(type, file offset of its data, size) of every debug directory entry."""
    rva, size = image["directories"][DIR_DEBUG]
    at = file_offset(image, rva) if size else 0
    return [(kind, pointer, length) for kind, length, _, pointer in
            (struct.unpack_from("<IIII", data, at + 28 * i + 12) for i in range(size // 28))]


def codeview_record(data, image):
    """(GUID text, age, PDB name) of the CodeView (RSDS) record, or None."""
    for kind, pointer, length in debug_entries(data, image):
        if kind == DEBUG_TYPE_CODEVIEW and data[pointer:pointer + 4] == b"RSDS":
            d1, d2, d3, age = struct.unpack_from("<IHH8xI", data, pointer + 4)
            guid = "%08X-%04X-%04X-%s-%s" % (d1, d2, d3, data[pointer + 12:pointer + 14].hex().upper(),
                                             data[pointer + 14:pointer + 20].hex().upper())
            name = data[pointer + 24:pointer + length].split(b"\0")[0].decode("utf-8")
            return guid, age, name
    return None


def run_tool(*command):
    """The output of an LLVM tool reading a file."""
    try:
        done = subprocess.run(command, capture_output=True, text=True, errors="replace")
    except OSError as error:
        raise ToolError("cannot run %s: %s" % (command[0], error.strerror))
    if done.returncode:
        tool = os.path.basename(command[0])
        said = (done.stderr.strip().splitlines() or ["exit status %d" % done.returncode])[-1]
        said = re.sub(r"^\S*%s: (error: )?" % re.escape(tool), "", said)
        raise ToolError("%s cannot read %s: %s" % (tool, os.path.basename(command[-1]), said))
    return done.stdout


def pdb_identity(pdbutil, pdb):
    """(GUID text, age) as the PDB records them, read with PDBUTIL (llvm-pdbutil)."""
    summary = run_tool(pdbutil, "dump", "--summary", pdb)
    guid = re.search(r"^\s*GUID: \{([0-9A-Fa-f-]+)\}", summary, re.M)
    age = re.search(r"^\s*Age: (\d+)", summary, re.M)
    if not guid or not age:
        raise ToolError("%s: no GUID and age in its summary" % pdb)
    return guid.group(1).upper(), int(age.group(1))


def is_pe_image(data):
    """Whether the bytes are a PE image (an MZ header pointing at a PE signature)."""
    if data[:2] != b"MZ" or len(data) < 0x40:
        return False
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    return data[pe:pe + 4] == b"PE\0\0"


def authenticode_digest(data, algorithm="sha256"):
    """The Authenticode image hash of a PE file (32- or 64-bit): every byte
    except the header checksum, the certificate table's directory entry and
    the certificate table itself; an unsigned file is hashed as if padded with
    zeros to a multiple of 8 bytes, as signing pads it. So the hash of a file
    is the same before and after it is signed."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    opt = pe + 24
    need(data, opt + 2, "the PE header")
    magic = struct.unpack_from("<H", data, opt)[0]
    if magic not in (0x10B, 0x20B):
        raise ImageError("unknown optional header (magic %#x)" % magic)
    directories = opt + (96 if magic == 0x10B else 112)
    count = struct.unpack_from("<I", data, directories - 4)[0]
    checksum, certificates = opt + 64, directories + 8 * DIR_SECURITY
    need(data, certificates + 8, "the certificate table's directory entry")
    table, size = struct.unpack_from("<II", data, certificates) if count > DIR_SECURITY else (0, 0)
    if size and (table < certificates + 8 or table + size > len(data)):
        raise ImageError("its certificate table (%d bytes at %d) lies outside the file" % (size, table))
    digest = hashlib.new(algorithm)
    digest.update(data[:checksum])
    digest.update(data[checksum + 4:certificates])
    if size:
        digest.update(data[certificates + 8:table])
        digest.update(data[table + size:])
    else:
        digest.update(data[certificates + 8:])
        digest.update(b"\0" * (-len(data) % 8))
    return digest.digest()
