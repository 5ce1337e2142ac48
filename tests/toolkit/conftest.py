"""Packages written on the fly: a small INF, a minimal PE32+ image, a folder."""
import struct

import pytest

INF = """[Version]
Signature = "$Windows NT$"
Class = Printer
ClassGuid = {4D36E979-E325-11CE-BFC1-08002BE10318}
Provider = %Maker%
DriverVer = 06/01/2024,1.0.0.0
CatalogFile = sample.cat

[Manufacturer]
%Maker% = Models, NTamd64

[Models.NTamd64]
"Sample" = Install, USBPRINT\\Maker_Sample, Maker_Sample

[Install]
CopyFiles = Files

[Files]
driver.dll

[SourceDisksNames]
1 = %Disk%

[SourceDisksFiles]
driver.dll = 1

[DestinationDirs]
DefaultDestDir = 66000

[Strings]
Maker = "Maker"
Disk = "Disk"
"""


def pe_image(payload=b""):
    """A minimal 64-bit PE image: headers and one section holding PAYLOAD."""
    header = bytearray(0x200)
    header[:2], header[0x3C:0x40] = b"MZ", struct.pack("<I", 0x40)
    header[0x40:0x44] = b"PE\0\0"
    struct.pack_into("<HHIIIHH", header, 0x44, 0x8664, 1, 0, 0, 0, 0xF0, 0x22)
    struct.pack_into("<HBBIII", header, 0x58, 0x20B, 14, 0, 0x200, 0, 0)
    struct.pack_into("<QII", header, 0x58 + 24, 0x140000000, 0x1000, 0x200)
    struct.pack_into("<II", header, 0x58 + 56, 0x2000, 0x200)  # SizeOfImage, SizeOfHeaders
    struct.pack_into("<HH", header, 0x58 + 68, 2, 0x160)
    struct.pack_into("<I", header, 0x58 + 108, 16)  # NumberOfRvaAndSizes
    header[0x148:0x150] = b".text\0\0\0"
    struct.pack_into("<IIII", header, 0x150, 0x200, 0x1000, 0x200, 0x200)
    return bytes(header) + payload.ljust(0x200, b"\xcc")


@pytest.fixture
def package(tmp_path):
    """A package folder: the INF above and the DLL it copies."""
    (tmp_path / "sample.inf").write_bytes(INF.replace("\n", "\r\n").encode("ascii"))
    (tmp_path / "driver.dll").write_bytes(pe_image(b"driver"))
    return tmp_path
