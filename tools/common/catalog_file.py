"""A driver package's security catalog (.cat): which files it covers, the hash
Windows checks for each, and the catalog itself written and read back in DER.

A catalog is a PKCS#7 SignedData whose content is a certificate trust list
(CTL): its members are keyed by their file's hash (upper-case hex in UTF-16LE),
each with the indirect data that holds the hash (a PE file's by its
Authenticode image hash, any other file's by its SHA-256), the subject
interface package that hashes such a file, and its file name; the list's own
attributes say which Windows versions it is for (OSAttr). Written unsigned:
a signing tool (signtool, osslsigncode) puts the signature around it.
CatalogError says what is wrong with a catalog that cannot be read."""
import datetime
import hashlib
import os

from pe_image import authenticode_digest, is_pe_image

OID_SIGNED_DATA = "1.2.840.113549.1.7.2"
OID_CTL = "1.3.6.1.4.1.311.10.1"
OID_CATALOG_LIST = "1.3.6.1.4.1.311.12.1.1"
OID_CATALOG_MEMBERS_SHA1 = "1.3.6.1.4.1.311.12.1.2"
OID_CATALOG_MEMBERS_SHA256 = "1.3.6.1.4.1.311.12.1.3"  # a version 2 catalog
OID_NAME_VALUE = "1.3.6.1.4.1.311.12.2.1"
OID_MEMBER_INFO = "1.3.6.1.4.1.311.12.2.2"
OID_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
OID_PE_IMAGE_DATA = "1.3.6.1.4.1.311.2.1.15"
OID_FLAT_DATA = "1.3.6.1.4.1.311.2.1.25"
OID_SHA256 = "2.16.840.1.101.3.4.2.1"
DIGEST_NAMES = {OID_SHA256: "sha256", "1.3.14.3.2.26": "sha1"}
KINDS = {OID_PE_IMAGE_DATA: "pe", OID_FLAT_DATA: "flat"}
# The subject interface packages that hash a PE image and any other file.
SIP_GUIDS = {"pe": "{C689AAB8-8E78-11D0-8C47-00C04FC295EE}", "flat": "{DE351A42-8E59-11D0-8C47-00C04FC295EE}"}
MEMBER_INFO_VERSION = 512
# Authenticated, read-only, text: how Windows' own catalogs flag name-values.
NAME_VALUE_FLAGS = 0x10010001
# OSAttr "<platform>:<major>.<minor>": 2 is Windows NT; 10.0 is Windows 10
# and Windows 11 (the architecture is the INF's matter, not the catalog's).
OS_ATTR_WINDOWS_10_11 = "2:10.0"
OBSOLETE = "<<<Obsolete>>>"


class CatalogError(ValueError):
    pass


def file_digest(data, algorithm="sha256"):
    """("pe", Authenticode hash) of a PE file, ("flat", plain hash) of any
    other file; ImageError for a PE file whose certificate table cannot be found."""
    if is_pe_image(data):
        return "pe", authenticode_digest(data, algorithm)
    return "flat", hashlib.new(algorithm, data).digest()


def package_files(folder, leave_out=()):
    """The path under FOLDER (with '/') of every file in it and its subfolders,
    in a fixed order, leaving out the top-level names in LEAVE_OUT (its
    catalogs; compared without regard to case)."""
    skip = {n.lower() for n in leave_out}
    found = []
    for top, dirs, files in os.walk(folder):
        dirs.sort()
        for name in files:
            relative = os.path.relpath(os.path.join(top, name), folder).replace(os.sep, "/")
            if relative.lower() not in skip:
                found.append(relative)
    return sorted(found, key=lambda p: (p.lower(), p))


# DER writing.

def tlv(tag, content):
    n = len(content)
    if n < 0x80:
        length = bytes([n])
    else:
        raw = n.to_bytes((n.bit_length() + 7) // 8, "big")
        length = bytes([0x80 | len(raw)]) + raw
    return bytes([tag]) + length + content


def seq(*items):
    return tlv(0x30, b"".join(items))


def set_of(*items):
    return tlv(0x31, b"".join(sorted(items)))  # DER orders a SET OF by encoding


def oid(text):
    parts = [int(p) for p in text.split(".")]
    body = b""
    for value in [parts[0] * 40 + parts[1]] + parts[2:]:
        chunk = [value & 0x7F]
        value >>= 7
        while value:
            chunk.append(0x80 | (value & 0x7F))
            value >>= 7
        body += bytes(reversed(chunk))
    return tlv(0x06, body)


def integer(value):
    return tlv(0x02, value.to_bytes(value.bit_length() // 8 + 1, "big", signed=True))


def octets(data):
    return tlv(0x04, data)


def bmp(text):
    return tlv(0x1E, text.encode("utf-16-be"))


def wide(text):
    """Text as the catalog stores a tag or a name-value: UTF-16LE with a terminator."""
    return (text + "\0").encode("utf-16-le")


def time_of(epoch):
    moment = datetime.datetime.fromtimestamp(epoch, datetime.timezone.utc)
    if 1950 <= moment.year < 2050:
        return tlv(0x17, moment.strftime("%y%m%d%H%M%SZ").encode())
    return tlv(0x18, moment.strftime("%Y%m%d%H%M%SZ").encode())


def attribute(kind, value):
    return seq(oid(kind), set_of(value))


def name_value(name, text):
    return seq(bmp(name), integer(NAME_VALUE_FLAGS), octets(wide(text)))


def indirect_data(kind, digest):
    link = tlv(0xA2, tlv(0x80, OBSOLETE.encode("utf-16-be")))  # SpcLink file: SpcString unicode
    data = seq(oid(OID_PE_IMAGE_DATA), seq(tlv(0x03, b"\0"), tlv(0xA0, link))) if kind == "pe" \
        else seq(oid(OID_FLAT_DATA), link)
    return seq(data, seq(seq(oid(OID_SHA256), tlv(0x05, b"")), octets(digest)))


def write_catalog(members, epoch, os_attr=OS_ATTR_WINDOWS_10_11):
    """The DER of an unsigned catalog of MEMBERS ((file name, kind, SHA-256
    digest) each, kind "pe" or "flat") made at EPOCH, for the Windows versions
    OS_ATTR names. The same members give the same bytes: they are ordered by
    their tag, a file whose hash is already there adds nothing, and the list
    identifier is derived from the contents."""
    entries = {}
    for name, kind, digest in members:
        tag = digest.hex().upper()
        if tag not in entries:
            entries[tag] = seq(octets(wide(tag)), set_of(
                attribute(OID_NAME_VALUE, name_value("File", name)),
                attribute(OID_MEMBER_INFO, seq(bmp(SIP_GUIDS[kind]), integer(MEMBER_INFO_VERSION))),
                attribute(OID_INDIRECT_DATA, indirect_data(kind, digest))))
    subjects = seq(*(entries[tag] for tag in sorted(entries)))
    extensions = tlv(0xA0, seq(seq(oid(OID_NAME_VALUE), octets(name_value("OSAttr", os_attr)))))
    identifier = hashlib.sha256(subjects + extensions).digest()[:16]
    ctl = seq(seq(oid(OID_CATALOG_LIST)), octets(identifier), time_of(epoch),
              seq(oid(OID_CATALOG_MEMBERS_SHA256), tlv(0x05, b"")), subjects, extensions)
    signed = seq(integer(1), set_of(), seq(oid(OID_CTL), tlv(0xA0, ctl)), set_of())
    return seq(oid(OID_SIGNED_DATA), tlv(0xA0, signed))


# DER reading.

def items(data, what):
    """[(tag, content)] of the elements one after another in DATA."""
    found, at = [], 0
    while at < len(data):
        if at + 2 > len(data):
            raise CatalogError("%s: an element is cut off" % what)
        tag, n = data[at], data[at + 1]
        at += 2
        if n == 0x80:
            raise CatalogError("%s: an indefinite length (not DER)" % what)
        if n > 0x80:
            if n - 0x80 > 4 or at + n - 0x80 > len(data):
                raise CatalogError("%s: a length that does not fit" % what)
            n, at = int.from_bytes(data[at:at + n - 0x80], "big"), at + n - 0x80
        if at + n > len(data):
            raise CatalogError("%s: an element runs past its end" % what)
        found.append((tag, data[at:at + n]))
        at += n
    return found


def one(data, tag, what):
    """The content of DATA's single element, which must have TAG."""
    found = items(data, what)
    if len(found) != 1 or found[0][0] != tag:
        raise CatalogError("%s: not the element expected" % what)
    return found[0][1]


def oid_text(content):
    """An OBJECT IDENTIFIER's dotted text."""
    values, value = [], 0
    for byte in content:
        value = (value << 7) | (byte & 0x7F)
        if not byte & 0x80:
            values.append(value)
            value = 0
    if not values:
        return ""
    first = min(values[0] // 40, 2)
    return ".".join(str(v) for v in [first, values[0] - 40 * first] + values[1:])


def unwide(data):
    return data.decode("utf-16-le", "replace").split("\0")[0]


def read_name_value(content, what):
    fields = items(content, what)
    if len(fields) != 3 or fields[0][0] != 0x1E or fields[2][0] != 0x04:
        raise CatalogError("%s: not a name-value" % what)
    return fields[0][1].decode("utf-16-be", "replace"), unwide(fields[2][1])


def read_member(content):
    """A member's tag and the attributes this module writes (others are passed over)."""
    fields = items(content, "a member")
    if not fields or fields[0][0] != 0x04:
        raise CatalogError("a member without its tag")
    member = {"tag": unwide(fields[0][1]), "file": None, "kind": None, "algorithm": None, "digest": None,
              "guid": None}
    what = "member " + member["tag"]
    for tag, attr in (items(fields[1][1], what) if len(fields) > 1 else []):
        parts = items(attr, what)
        if tag != 0x30 or len(parts) != 2 or parts[0][0] != 0x06 or parts[1][0] != 0x31:
            raise CatalogError("%s: an attribute that is not (type, values)" % what)
        attr_type = oid_text(parts[0][1])
        for _, value in items(parts[1][1], what):
            if attr_type == OID_NAME_VALUE:
                name, text = read_name_value(value, what)
                if name.lower() == "file":
                    member["file"] = text
            elif attr_type == OID_MEMBER_INFO:
                info = items(value, what)
                member["guid"] = info[0][1].decode("utf-16-be", "replace") if info else None
            elif attr_type == OID_INDIRECT_DATA:
                data, digest_info = [c for _, c in items(value, what)][:2]
                data_type = oid_text(items(data, what)[0][1])
                algorithm, digest = items(digest_info, what)[:2]
                member["kind"] = KINDS.get(data_type, data_type)
                member["algorithm"] = oid_text(items(algorithm[1], what)[0][1])
                member["digest"] = digest[1]
    return member


def read_catalog(data):
    """What a catalog holds: {"signed": whether it has signer infos,
    "member_algorithm": the OID of its members' kind, "os_attr": its OSAttr
    text or None, "members": [{"tag", "file", "kind" ("pe", "flat" or the OID),
    "algorithm" (OID), "digest" (bytes), "guid"}]}."""
    try:
        content_info = items(one(data, 0x30, "the catalog"), "the catalog")
        if len(content_info) != 2 or oid_text(content_info[0][1]) != OID_SIGNED_DATA:
            raise CatalogError("not a PKCS#7 SignedData")
        signed = items(one(content_info[1][1], 0x30, "its SignedData"), "its SignedData")
        inner = [c for t, c in signed if t == 0x30]
        sets = [c for t, c in signed[2:] if t == 0x31]
        if not inner or not sets:
            raise CatalogError("its SignedData lacks its content or its signer infos")
        content = items(inner[0], "its content")
        if len(content) != 2 or oid_text(content[0][1]) != OID_CTL:
            raise CatalogError("its content is not a certificate trust list (%s)" % OID_CTL)
        ctl = items(one(content[1][1], 0x30, "its trust list"), "its trust list")
        sequences = [c for t, c in ctl if t == 0x30]
        if len(sequences) < 2 or oid_text(items(sequences[0], "its usage")[0][1]) != OID_CATALOG_LIST:
            raise CatalogError("its trust list is not a catalog list (%s)" % OID_CATALOG_LIST)
        catalog = {"signed": bool(sets[-1]), "member_algorithm": oid_text(items(sequences[1], "its member kind")[0][1]),
                   "os_attr": None, "members": []}
        for _, member in items(sequences[2], "its members") if len(sequences) > 2 else []:
            catalog["members"].append(read_member(member))
        for tag, extensions in ctl:
            if tag != 0xA0:
                continue
            for _, extension in items(one(extensions, 0x30, "its attributes"), "its attributes"):
                parts = items(extension, "an attribute")
                if parts and oid_text(parts[0][1]) == OID_NAME_VALUE and parts[-1][0] == 0x04:
                    name, text = read_name_value(one(parts[-1][1], 0x30, "an attribute"), "an attribute")
                    if name.lower() == "osattr":
                        catalog["os_attr"] = text
        return catalog
    except CatalogError:
        raise
    except (IndexError, ValueError) as error:  # an element missing or of the wrong kind
        raise CatalogError("a malformed element (%s)" % error)
