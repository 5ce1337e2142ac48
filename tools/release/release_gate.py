#!/usr/bin/env python3
"""The release gate: what every shipped binary and package INF must carry, read from the files.

    release_gate.py [--llvm-bin DIR] [--catalog-ca ROOT] FILE...
        DIR: the LLVM tools (by default the folder cmake/llvm-dir names)
        ROOT: a root certificate (PEM); each package's catalog must then be
        signed, and its signature verify against ROOT (osslsigncode)
        FILE: a binary (dist/TAVRIKEN.exe, ...; NAME.pdb beside each) or a
        package INF (dist/package/TAVRIKEN-HELDRAVO/printer.inf, ...)

Prints "ok NAME: ..." for a file that has everything, otherwise one
"FAIL NAME: <what is wrong>" line per fault, and exits with 1 when any file
fails; an INF is named with its package folder (TAVRIKEN-HELDRAVO/printer.inf).
`./build.sh check` runs it on the files dist/MANIFEST lists, and
`./build.sh release` runs it before signing anything. For a binary it checks:

  headers      PE32+ for x86-64, the DLL flag as the extension says, the GUI
               subsystem for a program, OS and subsystem version 6.0, imports
               from system DLLs only, at most 32 KiB, the header checksum, no
               debug sections left, no section both writable and executable
  ASLR, NX     high-entropy addresses, dynamic base, NX compatible
  load config  a load config directory of the current layout (0x140 bytes)
  stack cookie SecurityCookie names writable data holding the platform's
               default cookie (which the loader replaces with a random one),
               and routines of ours check it (they call __stack_chk_fail)
  CFG          GUARD_CF in the header; the load config's check and dispatch
               pointers in read-only data, pointing at code; a function table;
               GuardFlags with CF_INSTRUMENTED; no indirect call in a routine
               of ours that does not go through the dispatch pointer (or an
               import's address slot)
  CET          the extended DLL characteristics entry with CET_COMPAT
  symbols      the CodeView record names NAME.pdb alone, with the GUID and age
               of the PDB beside the file; every routine of ours (the PDB's
               procedures) that calls or uses the stack lies wholly inside
               unwind data, so an exception or a stack walk can pass through it

For an INF (inf_check.py; the installers open most of these faults without a
word, and then an installation fails or hangs):

  version      it opens as a Windows NT INF: [Version] Signature "$Windows NT$",
               Class Printer with the printer class GUID, Provider, DriverVer
               mm/dd/yyyy,w.x.y.z; a named CatalogFile is beside it
  models       [Manufacturer] decorates its models NTamd64 (no OS version),
               the models section exists, and each model's install section
               (NAME.NTamd64 or NAME) and its .CoInstallers section exist
  sections     every section a CopyFiles, AddReg, DelReg or DelFiles line
               names exists (CopyFiles=@file allowed); each copied or deleted
               section has a [DestinationDirs] entry of its own (not
               DefaultDestDir) with a known DirID; undecorated
               [SourceDisksNames] and [SourceDisksFiles]; every %key% is in
               [Strings]
  files        every copied file is in [SourceDisksFiles] on a disk that
               [SourceDisksNames] has, and is in the package folder
  registry     AddReg and DelReg roots HKCR, HKCU, HKLM, HKU or HKR; AddReg
               flags made of FLG_ADDREG_* values
  co-installer the .CoInstallers section writes HKR,,CoInstallers32,0x00010000
               (or 0x00010008), "<TAG>.dll,CoInstallerE", a DLL it copies to
               the system folder (DirID 11)
  guard        for each .exe it copies, the install section (or its
               .CoInstallers section) writes the Run value HKLM,Software\\Microsoft\\Windows\\CurrentVersion\\Run,<TAG>
               as REG_SZ (0x00000000) holding "%16422%\\<folder>\\<TAG>.exe" in
               double quotes, the folder [DestinationDirs] gives the .exe
  uninstall    [Companions_Uninstall] deletes the guard's CopyFiles section and
               its DelReg removes that Run value

and its catalog (catalog_check.py; 64-bit Windows installs a third-party
package only through a signed catalog that matches every file it copies):

  catalog      [Version] names one (CatalogFile.NTamd64, else CatalogFile),
               and it lies beside the INF; every file of the package folder
               and its subfolders is a member with the hash Windows checks
               (SHA-256: a PE file's Authenticode image hash, any other
               file's plain hash), so a file changed after cataloging fails;
               no member names a file the package lacks; OSAttr 2:10.0
               (Windows 10 and 11); with --catalog-ca, signed and verifying
               against ROOT. `./build.sh catalog FOLDER` writes the catalog.

The platform's own checks read the same fields: `dumpbin /headers /loadconfig`
on Windows, `llvm-readobj --file-headers --coff-load-config
--coff-debug-directory` here.
"""
import os
import re
import struct
import sys

import catalog_check
import inf_check

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "common"))
from pe_image import (ToolError, codeview_record, debug_entries, file_offset, pdb_identity,  # noqa: E402
                      pe_checksum, read_pe, run_tool, section_of)

MAX_BYTES = 32 * 1024
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "setupapi.dll",
               "winspool.drv", "msvcrt.dll"}
MACHINE_AMD64 = 0x8664
FILE_DLL = 0x2000
SUBSYSTEM_WINDOWS_GUI = 2
SCN_EXECUTE = 0x20000000
SCN_WRITE = 0x80000000
DLLCHAR_FLAGS = ((0x0020, "no high-entropy ASLR (HIGH_ENTROPY_VA)"),
                 (0x0040, "no ASLR (DYNAMIC_BASE)"),
                 (0x0100, "not NX compatible (NX_COMPAT)"))
DLLCHAR_GUARD_CF = 0x4000
LOAD_CONFIG_SIZE = 0x140
DEFAULT_COOKIE = 0x00002B992DDFA232
CF_INSTRUMENTED = 0x100
CF_FUNCTION_TABLE_PRESENT = 0x400
DEBUG_TYPE_EX_DLLCHARACTERISTICS = 20
DLLCHAR_EX_CET_COMPAT = 0x1
DIR_IMPORT, DIR_EXCEPTION, DIR_LOAD_CONFIG, DIR_IAT = 1, 3, 10, 12


def imported_dlls(data, image):
    rva, size = image["directories"][DIR_IMPORT]
    names = []
    at = file_offset(image, rva) if size else 0
    while size:
        name_rva = struct.unpack_from("<I", data, at + 12)[0]
        if name_rva == 0:
            break
        start = file_offset(image, name_rva)
        names.append(data[start:data.index(b"\0", start)].decode("latin-1"))
        at += 20
    return names


def pdb_routines(llvm_bin, pdb):
    """(name, section, offset, size) of every procedure record in the PDB."""
    text = run_tool(llvm_bin + "/llvm-pdbutil", "dump", "--symbols", pdb)
    found = re.findall(r"S_[GL]PROC32 \[size = \d+\] `([^`]*)`\s*\n\s*parent = \d+, end = \d+, "
                       r"addr = (\d+):(\d+), code size = (\d+)", text)
    return [(name, int(sec), int(off), int(size)) for name, sec, off, size in found]


def instructions(llvm_bin, path):
    """(address, mnemonic, operands) of every instruction of the image."""
    text = run_tool(llvm_bin + "/llvm-objdump", "-d", "--no-show-raw-insn", path)
    found = []
    for line in text.splitlines():
        m = re.match(r"\s*([0-9a-f]+):\s+(\S+)\s*(.*)", line)
        if m:
            found.append((int(m.group(1), 16), m.group(2), m.group(3)))
    return found


def runtime_functions(data, image):
    rva, size = image["directories"][DIR_EXCEPTION]
    at = file_offset(image, rva) if size else 0
    return [struct.unpack_from("<III", data, at + 12 * i)[:2] for i in range(size // 12)]


def check_headers(path, data, image, problems):
    name = os.path.basename(path)
    if image["machine"] != MACHINE_AMD64:
        problems.append("machine %#x, not x86-64" % image["machine"])
    is_dll = bool(image["characteristics"] & FILE_DLL)
    if is_dll != name.lower().endswith(".dll"):
        problems.append("the DLL flag is %s for a .%s file" % ("set" if is_dll else "clear", name.rsplit(".", 1)[-1]))
    if not is_dll and image["subsystem"] != SUBSYSTEM_WINDOWS_GUI:
        problems.append("subsystem %d, not Windows GUI (2)" % image["subsystem"])
    for what in ("os_version", "subsystem_version"):
        if image[what] != (6, 0):
            problems.append("%s %d.%d, not 6.0" % (what.replace("_", " "), image[what][0], image[what][1]))
    for dll in imported_dlls(data, image):
        if dll.lower() not in SYSTEM_DLLS:
            problems.append("imports %s, which is not a system DLL" % dll)
    if len(data) > MAX_BYTES:
        problems.append("%d bytes, more than %d" % (len(data), MAX_BYTES))
    expected = pe_checksum(data, image["checksum_offset"])
    if image["checksum"] != expected:
        problems.append("header checksum %#x, the file sums to %#x" % (image["checksum"], expected))
    for sname, _, _, _, _, flags in image["sections"]:
        if sname.startswith(".debug") or sname.startswith("(long name"):
            problems.append("debug section %s left in the binary" % sname)
        if flags & SCN_WRITE and flags & SCN_EXECUTE:
            problems.append("section %s is writable and executable" % sname)
    for flag, text in DLLCHAR_FLAGS:
        if not image["dll_characteristics"] & flag:
            problems.append(text)


def check_mitigations(data, image, routines, code, problems):
    """Stack cookie, Control Flow Guard and CET, as the loader will see them."""
    base = image["image_base"]

    def section_flags(va):
        section = section_of(image, va - base) if va >= base else None
        return None if section is None else section[5]

    def quad_at(va):
        section = section_of(image, va - base)
        if section is None or va - base + 8 > section[1] + section[4]:
            return 0  # beyond the section's data in the file: zero when loaded
        return struct.unpack_from("<Q", data, file_offset(image, va - base))[0]

    rva, size = image["directories"][DIR_LOAD_CONFIG]
    config = None
    if not size:
        problems.append("no load config directory (the loader randomises no stack cookie"
                        " and turns Control Flow Guard on only from it)")
    else:
        at = file_offset(image, rva)
        declared = struct.unpack_from("<I", data, at)[0]
        if size < LOAD_CONFIG_SIZE or declared < LOAD_CONFIG_SIZE:
            problems.append("load config of %#x bytes (Size %#x), not the current layout (%#x)"
                            % (size, declared, LOAD_CONFIG_SIZE))
        else:
            config = data[at:at + LOAD_CONFIG_SIZE]

    # Stack cookie: the one the load config names, and code that checks it.
    if config is not None:
        cookie, = struct.unpack_from("<Q", config, 0x58)
        flags = section_flags(cookie)
        if not cookie:
            problems.append("stack cookie: the load config names none (SecurityCookie 0)")
        elif flags is None or not flags & SCN_WRITE or flags & SCN_EXECUTE:
            problems.append("stack cookie: SecurityCookie %#x is not in writable data" % cookie)
        elif quad_at(cookie) != DEFAULT_COOKIE:
            problems.append("stack cookie: holds %#x on disk, not the platform default %#x that the"
                            " loader replaces" % (quad_at(cookie), DEFAULT_COOKIE))
    fail_routine = [base + image["sections"][s - 1][1] + o for n, s, o, _ in routines if n == "__stack_chk_fail"]
    checking = set()
    for rname, start, end in code["spans"]:
        if rname == "__stack_chk_fail":
            continue
        for address, mnemonic, operands in code["calls"]:
            if start <= address < end and fail_routine and operands.startswith("0x") \
                    and int(operands.split()[0], 16) == fail_routine[0]:
                checking.add(rname)
    if not checking:
        problems.append("stack cookie: no routine checks it (none calls __stack_chk_fail)")

    # Control Flow Guard.
    if not image["dll_characteristics"] & DLLCHAR_GUARD_CF:
        problems.append("Control Flow Guard: GUARD_CF is not set in the header")
    dispatch = None
    if config is not None:
        check_ptr, dispatch, table, count = struct.unpack_from("<QQQQ", config, 0x70)
        guard_flags, = struct.unpack_from("<I", config, 0x90)
        for what, pointer in (("check", check_ptr), ("dispatch", dispatch)):
            flags = section_flags(pointer)
            if flags is None:
                problems.append("Control Flow Guard: no %s function pointer in the load config" % what)
            elif flags & SCN_WRITE:
                problems.append("Control Flow Guard: the %s function pointer %#x is in writable data"
                                % (what, pointer))
            elif not (section_flags(quad_at(pointer)) or 0) & SCN_EXECUTE:
                problems.append("Control Flow Guard: the %s function pointer does not point at code" % what)
        want = CF_INSTRUMENTED | CF_FUNCTION_TABLE_PRESENT
        if guard_flags & want != want:
            problems.append("Control Flow Guard: GuardFlags %#x lack CF_INSTRUMENTED and"
                            " CF_FUNCTION_TABLE_PRESENT" % guard_flags)
        if not table or not count:
            problems.append("Control Flow Guard: no function table (GuardCFFunctionCount %d)" % count)
    iat_rva, iat_size = image["directories"][DIR_IAT]

    def rip_target(operands):
        found = re.search(r"\(%rip\)\s*(?:,\s*%\w+\s*)?# 0x([0-9a-f]+)", operands)
        return int(found.group(1), 16) if found else None

    def is_import_slot(va):
        return va is not None and base + iat_rva <= va < base + iat_rva + iat_size

    guarded = 0
    for rname, start, end in code["spans"]:
        body = [i for i in code["all"] if start <= i[0] < end]
        for n, (address, mnemonic, operands) in enumerate(body):
            if not (mnemonic.startswith("call") and operands.startswith("*")):
                continue
            target = rip_target(operands)
            if target is not None and target == dispatch:
                guarded += 1
                continue
            if is_import_slot(target):
                continue  # an import, called through its address slot
            # A register loaded from an import's slot (clang keeps an import
            # called twice in a register). Epilogue pops belong to other paths.
            register = re.fullmatch(r"\*(%\w+)", operands.split("#")[0].strip())
            writer = next((i for i in reversed(body[:n]) if register and not i[1].startswith("pop")
                           and re.search(r"(^|,)\s*" + re.escape(register.group(1)) + r"\s*(#.*)?$", i[2])),
                          None)
            if writer and writer[1].startswith("mov") and is_import_slot(rip_target(writer[2])):
                continue
            problems.append("Control Flow Guard: %s makes an unchecked indirect call at %#x (%s)"
                            % (rname, address, operands.split("#")[0].strip()))

    # CET shadow stacks.
    cet = [struct.unpack_from("<I", data, pointer)[0] for kind, pointer, length in debug_entries(data, image)
           if kind == DEBUG_TYPE_EX_DLLCHARACTERISTICS and length >= 4]
    if not any(flags & DLLCHAR_EX_CET_COMPAT for flags in cet):
        problems.append("CET: not marked shadow-stack compatible (no CET_COMPAT extended DLL characteristics)")
    return len(checking), guarded


def check_symbols(llvm_bin, path, pdb, data, image, routines, code, problems):
    """The PDB that matches, and unwind data for every calling routine."""
    name = os.path.basename(path)
    record = codeview_record(data, image)
    if record is None:
        problems.append("no CodeView record")
    else:
        guid, age, pdb_name = record
        if pdb_name != name.rsplit(".", 1)[0] + ".pdb":
            problems.append("CodeView names %r, not the PDB's file name alone" % pdb_name)
        pdb_guid, pdb_age = pdb_identity(llvm_bin + "/llvm-pdbutil", pdb)
        if (pdb_guid, pdb_age) != (guid, age):
            problems.append("binary wants PDB %s age %d, %s is %s age %s" % (guid, age, pdb, pdb_guid, pdb_age))
    if not routines:
        problems.append("the PDB lists no routines")
    entries = runtime_functions(data, image)
    base = image["image_base"]
    checked = 0
    for rname, start, end in code["spans"]:
        if not any(start <= a < end for a in code["stack_users"]):
            continue  # a leaf that leaves the stack alone needs no unwind data
        checked += 1
        covered = start
        while covered < end:
            entry = next(((b, e) for b, e in entries if base + b <= covered < base + e), None)
            if entry is None:
                problems.append("%s (rva %#x, %d bytes) has no unwind data at rva %#x"
                                % (rname, start - base, end - start, covered - base))
                break
            covered = base + entry[1]
    if checked == 0:
        problems.append("no calling routine found to check")
    return checked


def check(llvm_bin, path):
    """(problems, summary) of one binary; one that cannot be read fails with what is wrong."""
    problems = []
    pdb = path.rsplit(".", 1)[0] + ".pdb"
    try:
        with open(path, "rb") as f:
            data = f.read()
        image = read_pe(data)
        if not os.path.isfile(pdb):
            return ["no PDB beside it (%s)" % pdb], ""
        check_headers(path, data, image, problems)
        routines = pdb_routines(llvm_bin, pdb)
        if any(not 0 < s <= len(image["sections"]) for _, s, _, _ in routines):
            return problems + ["%s places routines in sections the binary lacks: not its PDB" % pdb], ""
        base = image["image_base"]
        code = {"spans": [(n, base + image["sections"][s - 1][1] + o, base + image["sections"][s - 1][1] + o + size)
                          for n, s, o, size in routines],
                "calls": [], "stack_users": set(), "all": instructions(llvm_bin, path)}
        for address, mnemonic, operands in code["all"]:
            if mnemonic.startswith("call"):
                code["calls"].append((address, mnemonic, operands))
            if (mnemonic.startswith("call") or mnemonic.startswith("push")
                    or (mnemonic in ("subq", "addq", "andq") and operands.endswith("%rsp"))):
                code["stack_users"].add(address)
        protected, guarded = check_mitigations(data, image, routines, code, problems)
        unwound = check_symbols(llvm_bin, path, pdb, data, image, routines, code, problems)
    except ToolError as error:
        return problems + [str(error)], ""
    except (OSError, ValueError, struct.error) as error:  # ImageError, or a field beyond the file's end
        return problems + ["cannot be read as a 64-bit Windows image: %s" % error], ""
    return problems, ("%d bytes; load config, stack cookie (%d routines check it), Control Flow Guard"
                      " (%d guarded calls), CET; PDB matches; %d calling routines inside unwind data"
                      % (len(data), protected, guarded, unwound))


def main():
    args = sys.argv[1:]
    with open(os.path.join(HERE, "..", "..", "cmake", "llvm-dir")) as f:
        llvm_bin = f.read().strip()
    ca_file = None
    while args[:1] in (["--llvm-bin"], ["--catalog-ca"]) and len(args) > 1:
        if args[0] == "--llvm-bin":
            llvm_bin = args[1]
        else:
            ca_file = args[1]
        args = args[2:]
    if not args or args[0].startswith("-"):
        sys.exit(__doc__)
    if ca_file is not None and not os.path.isfile(ca_file):
        sys.exit("release_gate: --catalog-ca %s: no such file" % ca_file)
    failed = False
    for path in args:
        if path.lower().endswith(".inf"):
            problems, summary = inf_check.check(path)
            catalog_problems, catalog_summary = catalog_check.check(path, ca_file)
            problems, summary = problems + catalog_problems, "; ".join(t for t in (summary, catalog_summary) if t)
            # Every package's INF has the same name: say which package.
            name = "/".join(os.path.abspath(path).split(os.sep)[-2:])
        else:
            problems, summary = check(llvm_bin, path)
            name = os.path.basename(path)
        for p in problems:
            print("FAIL %s: %s" % (name, p))
        if problems:
            failed = True
        else:
            print("ok %s: %s" % (name, summary))
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
