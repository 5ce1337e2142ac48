"""A driver package's security catalog (.cat): the hashes Windows checks a
package's files by, written as Windows' own tools write a CatalogVersion 2
catalog, and read back from catalogs of either version (MakeCat, Inf2Cat,
Microsoft's signing service, this tool). DER through Debian's asn1crypto.

A catalog is a PKCS#7 SignedData whose content is a certificate trust list:
its members are keyed by a file's hash, its [0] extensions hold the catalog's
own name-value attributes. Version 1 lists each file by its SHA-1, tagged
with the hash as hex text (UTF-16LE); version 2 lists each file twice, by its
SHA-256 (with the indirect data that a signature check reads) and by its
SHA-1, tagged with the raw hash. A PE file's hash is its Authenticode image
hash, any other file's the hash of its bytes. Written unsigned: a signing
tool (signtool, osslsigncode) puts the signature around it. CatalogError says
what is wrong with a catalog that cannot be read."""
import datetime
import hashlib

from asn1crypto import algos, cms, core, x509

from .compressed import NotRead, expand, extract_single, is_cabinet, is_compressed
from .pe_image import authenticode_digest, is_pe_image

OID_CTL = "1.3.6.1.4.1.311.10.1"
OID_CATALOG_LIST = "1.3.6.1.4.1.311.12.1.1"
OID_CATALOG_V1 = "1.3.6.1.4.1.311.12.1.2"  # members of CatalogVersion 1
OID_CATALOG_V2 = "1.3.6.1.4.1.311.12.1.3"  # members of CatalogVersion 2
OID_NAME_VALUE = "1.3.6.1.4.1.311.12.2.1"
OID_MEMBER_INFO = "1.3.6.1.4.1.311.12.2.2"
OID_MEMBER_INFO2 = "1.3.6.1.4.1.311.12.2.3"
OID_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
OID_PE_IMAGE_DATA = "1.3.6.1.4.1.311.2.1.15"
OID_FLAT_DATA = "1.3.6.1.4.1.311.2.1.25"
KINDS = {OID_PE_IMAGE_DATA: "pe", OID_FLAT_DATA: "flat"}
DIGESTS = {"sha256": 32, "sha1": 20}
# Authenticated, read-only, text: how Windows' tools flag name-values; and
# the flag that keeps an attribute off the SHA-1 members of a version 2
# catalog (MakeCat's page).
NAME_VALUE_FLAGS = 0x10010001
# OSAttr "<platform>:<major>.<minor>": 2 is Windows NT, 10.0 Windows 10 and
# 11. OS: the names Inf2Cat writes for the x64 releases of both that /os:10_X64
# and its successors stand for.
OS_ATTR_WINDOWS_10_11 = "2:10.0"
OS_WINDOWS_10_11_X64 = ",".join(["_v100_X64"] + ["_v100_X64_" + r for r in (
    "RS1", "RS2", "RS3", "RS4", "RS5", "19H1", "Vb", "21H2", "22H2", "24H2")])
# includeResources and includeImportAddressTable, as Inf2Cat sets them.
PE_IMAGE_FLAGS = (1, 0, 1)


class CatalogError(ValueError):
    pass


# The ASN.1 of a catalog (Microsoft's catalog and Authenticode structures).

class SpcString(core.Choice):
    _alternatives = [("unicode", core.BMPString, {"implicit": 0}), ("ascii", core.IA5String, {"implicit": 1})]


class SpcLink(core.Choice):
    _alternatives = [("url", core.IA5String, {"implicit": 0}), ("moniker", core.Any, {"implicit": 1}),
                     ("file", SpcString, {"explicit": 2})]


class SpcPeImageData(core.Sequence):
    _fields = [("flags", core.BitString), ("file", SpcLink, {"explicit": 0, "optional": True})]


class SpcAttributeTypeAndOptionalValue(core.Sequence):
    _fields = [("type", core.ObjectIdentifier), ("value", core.Any, {"optional": True})]
    _oid_pair = ("type", "value")
    _oid_specs = {OID_PE_IMAGE_DATA: SpcPeImageData, OID_FLAT_DATA: SpcLink}


class SpcIndirectDataContent(core.Sequence):
    _fields = [("data", SpcAttributeTypeAndOptionalValue), ("message_digest", algos.DigestInfo)]


class NameValue(core.Sequence):
    _fields = [("name", core.BMPString), ("flags", core.Integer), ("value", core.OctetString)]


class MemberInfo(core.Sequence):  # version 1: the subject interface package's GUID
    _fields = [("guid", core.BMPString), ("version", core.Integer)]


class MemberInfo2(core.Choice):  # version 2: which kind of subject interface package
    _alternatives = [("pe", core.Null, {"implicit": 0}), ("cab", core.Null, {"implicit": 1}),
                     ("flat", core.Null, {"implicit": 2})]


def set_of(child):
    return type("SetOf" + child.__name__, (core.SetOf,), {"_child_spec": child})


class MemberAttribute(core.Sequence):
    _fields = [("type", core.ObjectIdentifier), ("values", core.Any)]
    _oid_pair = ("type", "values")
    _oid_specs = {OID_NAME_VALUE: set_of(NameValue), OID_MEMBER_INFO: set_of(MemberInfo),
                  OID_MEMBER_INFO2: set_of(MemberInfo2), OID_INDIRECT_DATA: set_of(SpcIndirectDataContent)}


class MemberAttributes(core.SetOf):
    _child_spec = MemberAttribute


class TrustedSubject(core.Sequence):
    _fields = [("identifier", core.OctetString), ("attributes", MemberAttributes, {"optional": True})]


class TrustedSubjects(core.SequenceOf):
    _child_spec = TrustedSubject


class Extension(core.Sequence):
    _fields = [("id", core.ObjectIdentifier), ("critical", core.Boolean, {"default": False}),
               ("value", core.OctetString)]


class Extensions(core.SequenceOf):
    _child_spec = Extension


class SubjectUsage(core.SequenceOf):
    _child_spec = core.ObjectIdentifier


class CertificateTrustList(core.Sequence):
    _fields = [("subject_usage", SubjectUsage), ("identifier", core.OctetString, {"optional": True}),
               ("sequence_number", core.Integer, {"optional": True}), ("this_update", x509.Time),
               ("next_update", x509.Time, {"optional": True}), ("subject_algorithm", algos.DigestAlgorithm),
               ("subjects", TrustedSubjects, {"optional": True}),
               ("extensions", Extensions, {"explicit": 0, "optional": True})]


# PKCS#7 (SignedData version 1) takes the content as it is, not wrapped in
# an OCTET STRING as in CMS: the trust list is known to the parser by its type.
cms.ContentType._map[OID_CTL] = "certificate_trust_list"
cms.ContentInfo._oid_specs["certificate_trust_list"] = CertificateTrustList


def file_hashes(data, name=""):
    """("pe", {algorithm: Authenticode hash}) of a PE file, ("cab", ...) of a
    cabinet, ("flat", {algorithm: hash}) of any other, for SHA-256 and SHA-1; a
    compressed source by what it expands to, as SetupAPI copies it (measured
    on makers' catalogs: SZDD whatever its NAME, a cabinet when its NAME ends
    in '_', xyzui.dl_). ImageError for a PE file that cannot be read,
    ValueError for a compressed one that cannot be expanded or a signed
    cabinet."""
    if is_compressed(data):
        data = expand(data)
    elif is_cabinet(data) and name.endswith("_"):
        data = extract_single(data)
    if is_pe_image(data):
        return "pe", {a: authenticode_digest(data, a) for a in DIGESTS}
    if is_cabinet(data):
        # The cabinet's subject interface package leaves out its reserved
        # header field (measured on makers' catalogs); a signed one's
        # reserve area is not handled here.
        if data[30] & 0x04:
            raise NotRead("a cabinet with a reserve area (signed?): its hash is not computed here")
        return "cab", {a: hashlib.new(a, data[:4] + data[8:]).digest() for a in DIGESTS}
    return "flat", {a: hashlib.new(a, data).digest() for a in DIGESTS}


# Writing.

def name_value(name, text, flags=NAME_VALUE_FLAGS):
    return NameValue({"name": name, "flags": flags, "value": (text + "\0").encode("utf-16-le")})


def attribute(kind, value):
    return {"type": kind, "values": [value]}


def indirect_data(kind, digest):
    """SPC_INDIRECT_DATA as Inf2Cat writes it: the kind of file, a link
    with an empty name, the hash."""
    link = SpcLink(name="file", value=SpcString(name="unicode", value=""))
    value = SpcPeImageData({"flags": PE_IMAGE_FLAGS, "file": link}) if kind == "pe" else link
    return SpcIndirectDataContent({
        "data": {"type": OID_PE_IMAGE_DATA if kind == "pe" else OID_FLAT_DATA, "value": value},
        "message_digest": {"digest_algorithm": {"algorithm": "sha256", "parameters": core.Null()},
                           "digest": digest}})


def members_of(name, kind, hashes, os_attr):
    """The SHA-256 member of a file, with its indirect data, and its SHA-1 twin."""
    common = [attribute(OID_NAME_VALUE, name_value("File", name.lower())),
              attribute(OID_NAME_VALUE, name_value("OSAttr", os_attr)),
              attribute(OID_MEMBER_INFO2, MemberInfo2(name=kind, value=core.Null()))]
    return [{"identifier": hashes["sha256"],
             "attributes": common + [attribute(OID_INDIRECT_DATA, indirect_data(kind, hashes["sha256"]))]},
            {"identifier": hashes["sha1"], "attributes": list(common)}]


def time_of(epoch):
    moment = datetime.datetime.fromtimestamp(epoch, datetime.timezone.utc)
    return x509.Time(name="utc_time" if 1950 <= moment.year < 2050 else "general_time", value=moment)


def write_catalog(files, epoch, hardware_ids=(), os_attr=OS_ATTR_WINDOWS_10_11, os_names=OS_WINDOWS_10_11_X64):
    """The DER of an unsigned CatalogVersion 2 catalog of FILES ((file name,
    kind "pe" or "flat", {"sha256": hash, "sha1": hash}) each) made at EPOCH,
    for the Windows versions OS_ATTR and OS_NAMES name, with the models'
    HARDWARE_IDS. As Inf2Cat writes them, members are in the order of their
    tags and the hardware IDs follow OS from the last to the first. A hash
    already there adds nothing, and the list identifier is derived from the
    contents: the same files give the same bytes."""
    subjects = {}
    for name, kind, hashes in files:
        for member in members_of(name, kind, hashes, os_attr):
            subjects.setdefault(member["identifier"], member)
    attributes = [("OS", os_names)] + [("HWID%d" % (i + 1), hwid) for i, hwid in enumerate(hardware_ids)][::-1]
    extensions = [{"id": OID_NAME_VALUE, "value": name_value(n, v).dump()} for n, v in attributes]
    members = [subjects[tag] for tag in sorted(subjects)]
    body = TrustedSubjects(members).dump() + Extensions(extensions).dump()
    ctl = CertificateTrustList({
        "subject_usage": [OID_CATALOG_LIST], "identifier": hashlib.sha256(body).digest()[:16],
        "this_update": time_of(epoch), "subject_algorithm": {"algorithm": OID_CATALOG_V2, "parameters": core.Null()},
        "subjects": members, "extensions": extensions})
    signed = cms.SignedData({"version": "v1", "digest_algorithms": [], "signer_infos": [],
                             "encap_content_info": cms.ContentInfo({"content_type": OID_CTL, "content": ctl})})
    return cms.ContentInfo({"content_type": "signed_data", "content": signed}).dump(force=True)


# Reading.

def text_of(value):
    """(name, text) of a name-value."""
    return value["name"].native, value["value"].native.decode("utf-16-le", "replace").split("\0")[0]


def read_member(subject):
    """A member's hash (algorithm and digest, from its tag), and what its
    attributes say: file name, OSAttr, the kind and digest of its indirect data."""
    tag = subject["identifier"].native
    member = {"tag": tag, "file": None, "os_attr": None, "kind": None, "algorithm": None, "digest": None,
              "indirect": None}
    algorithm = {20: "sha1", 32: "sha256"}.get(len(tag))
    if algorithm:  # version 2: the raw hash
        member["algorithm"], member["digest"] = algorithm, tag
    else:  # version 1: the hash as hex text in UTF-16LE
        text = tag.decode("utf-16-le", "replace").split("\0")[0]
        if len(text) in (40, 64) and all(c in "0123456789abcdefABCDEF" for c in text):
            member["algorithm"], member["digest"] = ("sha1" if len(text) == 40 else "sha256"), bytes.fromhex(text)
    attributes = subject["attributes"] if subject["attributes"].native is not None else []
    for attr in attributes:
        kind = attr["type"].dotted
        if kind not in (OID_NAME_VALUE, OID_INDIRECT_DATA):
            continue  # parsed only when read: others may hold what this reader does not know
        for value in attr["values"]:
            if kind == OID_NAME_VALUE:
                name, text = text_of(value)
                if name.lower() in ("file", "osattr"):
                    member[name.lower().replace("osattr", "os_attr")] = text
            elif kind == OID_INDIRECT_DATA:
                data, digest = value, value["message_digest"]
                member["kind"] = KINDS.get(data["data"]["type"].dotted, data["data"]["type"].dotted)
                member["indirect"] = (digest["digest_algorithm"]["algorithm"].native, digest["digest"].native)
    return member


def read_catalog(data):
    """What a catalog holds: {"signed": whether it has signer infos,
    "version": 1 or 2 (its members' kind), "attributes": {lower-case name:
    text} of the catalog's own name-values (os, osattr, hwid1, ...),
    "members": [{"tag", "algorithm" ("sha1", "sha256" or None when the tag is
    no hash), "digest", "file", "os_attr", "kind" ("pe", "flat" or the OID),
    "indirect" ((algorithm, digest) or None)}]}."""
    try:
        info = cms.ContentInfo.load(data, strict=True)
        if info["content_type"].dotted != "1.2.840.113549.1.7.2":
            raise CatalogError("not a PKCS#7 SignedData")
        signed = info["content"]
        content = signed["encap_content_info"]
        if content["content_type"].dotted != OID_CTL:
            raise CatalogError("its content is not a certificate trust list (%s)" % OID_CTL)
        ctl = content["content"]
        if OID_CATALOG_LIST not in [u.dotted for u in ctl["subject_usage"]]:
            raise CatalogError("its trust list is not a catalog list (%s)" % OID_CATALOG_LIST)
        version = {OID_CATALOG_V1: 1, OID_CATALOG_V2: 2}.get(ctl["subject_algorithm"]["algorithm"].dotted)
        if version is None:
            raise CatalogError("its members are of an unknown kind (%s)" % ctl["subject_algorithm"]["algorithm"].dotted)
        catalog = {"signed": len(signed["signer_infos"]) > 0, "version": version, "attributes": {},
                   "members": [read_member(s) for s in (ctl["subjects"] if ctl["subjects"].native is not None else [])]}
        for extension in ctl["extensions"] if ctl["extensions"].native is not None else []:
            if extension["id"].dotted == OID_NAME_VALUE:
                name, text = text_of(NameValue.load(extension["value"].native))
                catalog["attributes"][name.lower()] = text
        return catalog
    except CatalogError:
        raise
    except (ValueError, TypeError, KeyError, IndexError) as error:  # asn1crypto's word for malformed DER
        raise CatalogError("malformed DER: %s" % str(error).splitlines()[0])
