"""What the toolkit reads from a Windows image (headers, sections, data
directories, debug records: Debian's pefile) and its PDB (llvm-pdbutil), and
the Authenticode hash of any PE file. ImageError and ToolError (an LLVM
tool's) say what is wrong."""
import hashlib
import os
import re
import struct
import subprocess

import pefile

DIR_SECURITY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]
DIR_DEBUG = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_DEBUG"]
DEBUG_TYPE_CODEVIEW = 2
PE32, PE32_PLUS = 0x10B, 0x20B


class ImageError(ValueError):
    pass


class ToolError(Exception):
    pass


def parse(data, directories=None):
    """The pefile view of DATA's headers (and of the data DIRECTORIES named,
    pefile's IMAGE_DIRECTORY_ENTRY_* numbers); ImageError when it is no PE
    image or its headers or sections run past the end of the file."""
    try:
        image = pefile.PE(data=bytes(data), fast_load=True)
        if image.OPTIONAL_HEADER.Magic not in (PE32, PE32_PLUS):
            raise ImageError("unknown optional header (magic %#x)" % image.OPTIONAL_HEADER.Magic)
        headers_end = image.OPTIONAL_HEADER.get_file_offset() + image.FILE_HEADER.SizeOfOptionalHeader
        if len(data) < headers_end:
            raise ImageError("the file ends at byte %d, inside its optional header (to byte %d)"
                             % (len(data), headers_end))
        table_end = headers_end + 40 * image.FILE_HEADER.NumberOfSections
        if len(data) < table_end:
            raise ImageError("the file ends at byte %d, inside its section table (to byte %d)"
                             % (len(data), table_end))
        for section in image.sections:
            end = section.PointerToRawData + section.SizeOfRawData
            if section.SizeOfRawData and end > len(data):
                raise ImageError("the file ends at byte %d, before the end of section %s at byte %d"
                                 % (len(data), section_name(section), end))
        if directories:
            image.parse_data_directories(directories=list(directories))
    except pefile.PEFormatError as error:
        raise ImageError(str(error.value) if hasattr(error, "value") else str(error))
    except (AttributeError, TypeError, IndexError, struct.error) as error:
        # pefile's directory parsers trip over some damaged images (seen: a
        # load config whose dynamic relocation table lies outside the file).
        raise ImageError("its data directories cannot be read (%s)" % error)
    return image


def read_pe(data, directories=None):
    """Like parse(), for a 64-bit image (PE32+) alone."""
    image = parse(data, directories)
    if image.OPTIONAL_HEADER.Magic != PE32_PLUS:
        raise ImageError("not PE32+ (magic %#x)" % image.OPTIONAL_HEADER.Magic)
    return image


def section_name(section):
    return section.Name.rstrip(b"\0").decode("latin-1")


def is_pe_image(data):
    """Whether the bytes are a PE image (an MZ header pointing at a PE
    signature), as Windows' subject interface packages tell one."""
    if data[:2] != b"MZ" or len(data) < 0x40:
        return False
    pe = int.from_bytes(data[0x3C:0x40], "little")
    return data[pe:pe + 4] == b"PE\0\0"


def authenticode_digest(data, algorithm="sha256"):
    """The Authenticode image hash of a PE file (32- or 64-bit): every byte
    except the header checksum, the certificate table's directory entry and
    the certificate table itself; an unsigned file is hashed as if padded with
    zeros to a multiple of 8 bytes, as signing pads it. So the hash of a file
    is the same before and after it is signed."""
    image = parse(data)
    checksum = image.OPTIONAL_HEADER.get_file_offset() + 64
    directories = image.OPTIONAL_HEADER.DATA_DIRECTORY
    digest = hashlib.new(algorithm)
    digest.update(data[:checksum])
    if len(directories) <= DIR_SECURITY:  # no certificate-table entry at all
        digest.update(data[checksum + 4:])
        digest.update(b"\0" * (-len(data) % 8))
        return digest.digest()
    entry = directories[DIR_SECURITY]
    certificates, table, size = entry.get_file_offset(), entry.VirtualAddress, entry.Size
    if size and (table < certificates + 8 or table + size > len(data)):
        raise ImageError("its certificate table (%d bytes at %d) lies outside the file" % (size, table))
    digest.update(data[checksum + 4:certificates])
    if size:
        digest.update(data[certificates + 8:table])
        digest.update(data[table + size:])
    else:
        digest.update(data[certificates + 8:])
        digest.update(b"\0" * (-len(data) % 8))
    return digest.digest()


def codeview_record(image):
    """(GUID text, age, PDB name) of the CodeView (RSDS) record of a parsed
    image (its debug directory parsed), or None."""
    for entry in getattr(image, "DIRECTORY_ENTRY_DEBUG", []):
        record = entry.entry
        if entry.struct.Type == DEBUG_TYPE_CODEVIEW and record is not None \
                and getattr(record, "CvSignature", b"") == b"RSDS":
            guid = "%08X-%04X-%04X-%02X%02X-%s" % (record.Signature_Data1, record.Signature_Data2,
                                                   record.Signature_Data3, record.Signature_Data4,
                                                   record.Signature_Data5, record.Signature_Data6.hex().upper())
            return guid, record.Age, record.PdbFileName.split(b"\0")[0].decode("utf-8")
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
