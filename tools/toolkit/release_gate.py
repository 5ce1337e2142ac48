"""The release gate: what every shipped binary and package INF must carry, read from the files.

    python3 -m toolkit.release_gate [--llvm-bin DIR] [--catalog-ca ROOT] FILE...
        DIR: the LLVM tools (by default the build's, as cmake/toolchain.sh names them)
        ROOT: a root certificate (PEM); each package's catalog must then be
        signed, and its signature verify against ROOT (osslsigncode)
        FILE: a binary (dist/TAVRIKEN.exe, ...; NAME.pdb beside each) or a
        package INF (dist/package/TAVRIKEN-HELDRAVO/printer.inf, a team's
        own INF with its package folder around it, ...)

Prints "ok NAME: ..." for a file that has everything (for an INF, what it
found), otherwise one "FAIL NAME: <what is wrong>" line per fault, and exits
with 1 when any file fails; an INF is named with its package folder
(TAVRIKEN-HELDRAVO/printer.inf).
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

For a printer package INF, the sample's or a driver team's own with the
companions' lines pasted in (inf_check.py), read as 64-bit Windows reads it:
the sections its x64 models reach (NTamd64, with or without an OS version,
else undecorated; the install section NAME.NTamd64, NAME.NT or NAME and its
parts; every section a read section names, CoreDriverSections and
DataSection included), the companions' sections and the uninstall section;
[SourceDisksNames] and [SourceDisksFiles] undecorated and .amd64, never .x86.
A FAIL is what Windows refuses, what its INF parser cannot read, or what
breaks the companions; each ends with the page its rule comes from:

  encoding     ANSI or UTF-16LE; not UTF-8 with a BOM, not UTF-16BE
  version      Signature "$Windows NT$" or "$Chicago$"; Class Printer with its
               GUID; Provider; DriverVer m/d/yyyy (one or two digits, '/' or
               '-'), a real date, and w.x.y.z each below 65535, not 0.0.0.0
  models       each x64 models section exists, and each model's install section
  printer      each install section names a DriverFile or a core driver it
               needs (Needs=, CoreDriverSections=, a DataSection giving
               DriverFile); a v4 driver (ClassVer 4.0) and a core driver's own
               section named by its GUID need none
  sections     every section a read section names (CopyFiles or @file, AddReg,
               DelReg, DelFiles, RenFiles and the like) exists, serving one
               kind of directive (file lists may be shared); every %key% is in
               [Strings]
  files        each file list read has a destination: its own [DestinationDirs]
               entry or (for CopyFiles) DefaultDestDir, a documented DirID;
               every file copied is in [SourceDisksFiles] (.amd64 first; or a
               LayoutFile) on a disk [SourceDisksNames] has, and lies in the
               package folder where they say (subfolders included)
  registry     roots HKCR, HKCU, HKLM, HKU or HKR; AddReg flags made of the
               FLG_ADDREG_* bits (0x1000, 0x2000, 0x4000 included)
  companions   each install section of an x64 model carrying them: its
               .CoInstallers section writes HKR,,CoInstallers32,0x00010000 with
               "<DLL>,CoInstallerE" among its strings, a DLL it copies to the
               system folder (DirID 11); it or its .CoInstallers section writes
               a Run value under HKLM\Software\Microsoft\Windows\CurrentVersion\Run,
               a string holding in double quotes the full path (%dirid%\...)
               where the package copies that file; a section (the uninstall
               section, any name) removes that Run value (DelReg). An INF
               without them gets one FAIL line.

Lines of "info NAME: ..." name what Windows installs but InfVerif's stricter
modes, Microsoft's signing service or a printer page advise against: a
co-installer (InfVerif 1303: /k, /u, /w), a registry root other than HKR (the
Run value; 1304: /u) and a copy outside %SystemRoot% (the guard; 1306: /u), a printer copy list naming its source
file, HKCU written in a device installation, non-ASCII text (outside
comments) in an ANSI INF, PnpLockdown other than 1 (1324: /w; the sample's
0 lets its uninstaller delete the guard's file); and what keeps the removal
from working as Microsoft's pages say: a file the INF copies also named by a
DelFiles or RenFiles ("Accessing and Modifying Files" forbids it: the
uninstaller deletes the guard's file itself), and PnpLockdown=1 in an INF
that copies the guard (Windows then keeps the uninstaller from deleting it:
"INF Version Section"). Sections that nothing names Windows ignores, and so
does the check.

and its catalog (catalog_check.py; 64-bit Windows installs a third-party
package only through a signed catalog that matches every file it copies):

  catalog      [Version] names one (CatalogFile.NTamd64, else .NT, else CatalogFile),
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
import subprocess
import sys

from . import binary_check, catalog_check, inf_check

HERE = os.path.dirname(os.path.abspath(__file__))


def llvm_tools():
    """The folder of the build's LLVM tools, as cmake/toolchain.sh names it; None when it has none."""
    found = subprocess.run(["bash", os.path.join(HERE, "..", "..", "cmake", "toolchain.sh"), "llvm-dir"],
                           stdout=subprocess.PIPE, universal_newlines=True)
    return found.stdout.strip() if found.returncode == 0 else None


def main():
    args = sys.argv[1:]
    llvm_bin = ca_file = None
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
    # Only a binary needs LLVM's tools; INFs and catalogs need Python alone.
    if llvm_bin is None and not all(p.lower().endswith(".inf") for p in args):
        llvm_bin = llvm_tools()
        if llvm_bin is None:
            sys.exit("release_gate: checking a binary needs LLVM's tools (./build.sh installs them)")
    failed = False
    for path in args:
        if path.lower().endswith(".inf"):
            problems, summary, notes = inf_check.check(path)
            catalog_problems, catalog_summary, catalog_notes = catalog_check.check(path, ca_file)
            problems, notes = problems + catalog_problems, notes + catalog_notes
            summary = "; ".join(t for t in (summary, catalog_summary) if t)
            # Every package's INF has the same name: say which package.
            name = "/".join(os.path.abspath(path).split(os.sep)[-2:])
        else:
            (problems, summary), notes = binary_check.check(llvm_bin, path), []
            name = os.path.basename(path)
        for note in notes:
            print("info %s: %s" % (name, note))
        for p in problems:
            print("FAIL %s: %s" % (name, p))
        if problems:
            failed = True
        else:
            print("ok %s: %s" % (name, summary))
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
