"""The release gate's check of a shipped binary (TAVRIKEN.exe, HELDRAVO.dll,
...) and the PDB beside it: the headers, the exploit mitigations as the loader
will see them, the symbols and the unwind data. release_gate.py prints what
check() returns; its help says what each check looks for. The image is read
with pefile, the PDB with llvm-pdbutil and the code with llvm-objdump."""
import os
import re

import pefile

from .pe_image import ImageError, ToolError, codeview_record, pdb_identity, read_pe, run_tool, section_name

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
DIRECTORIES = [pefile.DIRECTORY_ENTRY[n] for n in ("IMAGE_DIRECTORY_ENTRY_IMPORT", "IMAGE_DIRECTORY_ENTRY_EXCEPTION",
                                                   "IMAGE_DIRECTORY_ENTRY_DEBUG", "IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG")]
DIR_LOAD_CONFIG = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG"]
DIR_IAT = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IAT"]


def directory(image, index):
    """(rva, size) of a data directory; (0, 0) where the image has none."""
    entries = image.OPTIONAL_HEADER.DATA_DIRECTORY
    return (entries[index].VirtualAddress, entries[index].Size) if index < len(entries) else (0, 0)


def section_of(image, rva):
    """The section holding RVA (its raw data or its zero-filled rest), or None."""
    return next((s for s in image.sections
                 if s.VirtualAddress <= rva < s.VirtualAddress + max(s.Misc_VirtualSize, s.SizeOfRawData)), None)


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


def runtime_functions(image):
    """(begin, end) RVAs of every entry of the exception directory's unwind data."""
    return [(e.struct.BeginAddress, e.struct.EndAddress) for e in getattr(image, "DIRECTORY_ENTRY_EXCEPTION", [])]


def check_headers(path, data, image, problems):
    name = os.path.basename(path)
    header, optional = image.FILE_HEADER, image.OPTIONAL_HEADER
    if header.Machine != MACHINE_AMD64:
        problems.append("machine %#x, not x86-64" % header.Machine)
    is_dll = bool(header.Characteristics & FILE_DLL)
    if is_dll != name.lower().endswith(".dll"):
        problems.append("the DLL flag is %s for a .%s file" % ("set" if is_dll else "clear", name.rsplit(".", 1)[-1]))
    if not is_dll and optional.Subsystem != SUBSYSTEM_WINDOWS_GUI:
        problems.append("subsystem %d, not Windows GUI (2)" % optional.Subsystem)
    for what, version in (("os version", (optional.MajorOperatingSystemVersion,
                                          optional.MinorOperatingSystemVersion)),
                          ("subsystem version", (optional.MajorSubsystemVersion, optional.MinorSubsystemVersion))):
        if version != (6, 0):
            problems.append("%s %d.%d, not 6.0" % ((what,) + version))
    for entry in getattr(image, "DIRECTORY_ENTRY_IMPORT", []):
        dll = entry.dll.decode("latin-1")
        if dll.lower() not in SYSTEM_DLLS:
            problems.append("imports %s, which is not a system DLL" % dll)
    if len(data) > MAX_BYTES:
        problems.append("%d bytes, more than %d" % (len(data), MAX_BYTES))
    expected = image.generate_checksum()
    if optional.CheckSum != expected:
        problems.append("header checksum %#x, the file sums to %#x" % (optional.CheckSum, expected))
    for section in image.sections:
        sname, flags = section_name(section), section.Characteristics
        if sname.startswith(".debug") or sname.startswith("/"):  # "/n": a long name, only debug sections have
            problems.append("debug section %s left in the binary" % sname)
        if flags & SCN_WRITE and flags & SCN_EXECUTE:
            problems.append("section %s is writable and executable" % sname)
    for flag, text in DLLCHAR_FLAGS:
        if not optional.DllCharacteristics & flag:
            problems.append(text)


def check_mitigations(data, image, routines, code, problems):
    """Stack cookie, Control Flow Guard and CET, as the loader will see them."""
    base = image.OPTIONAL_HEADER.ImageBase

    def section_flags(va):
        section = section_of(image, va - base) if va >= base else None
        return None if section is None else section.Characteristics

    def quad_at(va):
        section = section_of(image, va - base)
        if section is None or va - base + 8 > section.VirtualAddress + section.SizeOfRawData:
            return 0  # beyond the section's data in the file: zero when loaded
        return image.get_qword_at_rva(va - base)

    _, size = directory(image, DIR_LOAD_CONFIG)
    config = getattr(image, "DIRECTORY_ENTRY_LOAD_CONFIG", None)
    config = config.struct if config is not None else None
    if not size or config is None:
        config = None
        problems.append("no load config directory (the loader randomises no stack cookie"
                        " and turns Control Flow Guard on only from it)")
    elif size < LOAD_CONFIG_SIZE or config.Size < LOAD_CONFIG_SIZE:
        problems.append("load config of %#x bytes (Size %#x), not the current layout (%#x)"
                        % (size, config.Size, LOAD_CONFIG_SIZE))
        config = None

    # Stack cookie: the one the load config names, and code that checks it.
    if config is not None:
        cookie = config.SecurityCookie
        flags = section_flags(cookie)
        if not cookie:
            problems.append("stack cookie: the load config names none (SecurityCookie 0)")
        elif flags is None or not flags & SCN_WRITE or flags & SCN_EXECUTE:
            problems.append("stack cookie: SecurityCookie %#x is not in writable data" % cookie)
        elif quad_at(cookie) != DEFAULT_COOKIE:
            problems.append("stack cookie: holds %#x on disk, not the platform default %#x that the"
                            " loader replaces" % (quad_at(cookie), DEFAULT_COOKIE))
    fail_routine = [base + image.sections[s - 1].VirtualAddress + o for n, s, o, _ in routines if n == "__stack_chk_fail"]
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
    if not image.OPTIONAL_HEADER.DllCharacteristics & DLLCHAR_GUARD_CF:
        problems.append("Control Flow Guard: GUARD_CF is not set in the header")
    dispatch = None
    if config is not None:
        check_ptr, dispatch = config.GuardCFCheckFunctionPointer, config.GuardCFDispatchFunctionPointer
        table, count, guard_flags = config.GuardCFFunctionTable, config.GuardCFFunctionCount, config.GuardFlags
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
    iat_rva, iat_size = directory(image, DIR_IAT)

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
    cet = [image.get_dword_from_offset(e.struct.PointerToRawData) for e in getattr(image, "DIRECTORY_ENTRY_DEBUG", [])
           if e.struct.Type == DEBUG_TYPE_EX_DLLCHARACTERISTICS and e.struct.SizeOfData >= 4]
    if not any(flags & DLLCHAR_EX_CET_COMPAT for flags in cet):
        problems.append("CET: not marked shadow-stack compatible (no CET_COMPAT extended DLL characteristics)")
    return len(checking), guarded


def check_symbols(llvm_bin, path, pdb, image, routines, code, problems):
    """The PDB that matches, and unwind data for every calling routine."""
    name = os.path.basename(path)
    record = codeview_record(image)
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
    entries = runtime_functions(image)
    base = image.OPTIONAL_HEADER.ImageBase
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
        image = read_pe(data, DIRECTORIES)
        if not os.path.isfile(pdb):
            return ["no PDB beside it (%s)" % pdb], ""
        check_headers(path, data, image, problems)
        routines = pdb_routines(llvm_bin, pdb)
        sections = image.sections
        if any(not 0 < s <= len(sections) for _, s, _, _ in routines):
            return problems + ["%s places routines in sections the binary lacks: not its PDB" % pdb], ""
        base = image.OPTIONAL_HEADER.ImageBase
        code = {"spans": [(n, base + sections[s - 1].VirtualAddress + o, base + sections[s - 1].VirtualAddress + o + size)
                          for n, s, o, size in routines],
                "calls": [], "stack_users": set(), "all": instructions(llvm_bin, path)}
        for address, mnemonic, operands in code["all"]:
            if mnemonic.startswith("call"):
                code["calls"].append((address, mnemonic, operands))
            if (mnemonic.startswith("call") or mnemonic.startswith("push")
                    or (mnemonic in ("subq", "addq", "andq") and operands.endswith("%rsp"))):
                code["stack_users"].add(address)
        protected, guarded = check_mitigations(data, image, routines, code, problems)
        unwound = check_symbols(llvm_bin, path, pdb, image, routines, code, problems)
    except ToolError as error:
        return problems + [str(error)], ""
    except (OSError, ImageError) as error:
        return problems + ["cannot be read as a 64-bit Windows image: %s" % error], ""
    return problems, ("%d bytes; load config, stack cookie (%d routines check it), Control Flow Guard"
                      " (%d guarded calls), CET; PDB matches; %d calling routines inside unwind data"
                      % (len(data), protected, guarded, unwound))
