#!/bin/bash
# Checks the printer co-installer DLLs as files: PE32+ for x86-64, version
# 6.0 as minimum (operating system and subsystem), one undecorated export
# CoInstallerE in an export table that records TAG.dll, and imports from
# system DLLs only.
#   check_coinstaller_files.sh DIST_DIR TAG...
set -u
dist=$1; shift
fail=0
bad() { echo "FAIL $1: $2"; fail=1; }
allowed='^(KERNEL32|USER32|ADVAPI32|SETUPAPI|WINSPOOL|msvcrt)\.(dll|DRV|drv)$'

for tag in "$@"; do
    f="$dist/$tag.dll"
    [ -f "$f" ] || { bad "$tag" "missing $f"; continue; }
    head=$(x86_64-w64-mingw32-objdump -p "$f")
    field() { awk -v k="$1" '$1 == k { print $2; exit }' <<<"$head"; }
    [ "$(field Magic)" = 020b ] || bad "$tag" "Magic is $(field Magic), not 020b (PE32+)"
    x86_64-w64-mingw32-objdump -f "$f" | grep -q 'architecture: i386:x86-64' || bad "$tag" "not x86-64"
    grep -q -E '^\s+DLL$' <<<"$head" || bad "$tag" "not flagged as a DLL"
    for k in MajorOSystemVersion MajorSubsystemVersion; do
        [ "$(field $k)" = 6 ] || bad "$tag" "$k is $(field $k), not 6"
    done
    for k in MinorOSystemVersion MinorSubsystemVersion; do
        [ "$(field $k)" = 0 ] || bad "$tag" "$k is $(field $k), not 0"
    done
    # The export table: its recorded name and every exported name.
    name=$(awk '$1 == "Name" && $2 ~ /^[0-9a-f]+$/ { print $3; exit }' <<<"$head")
    [ "$name" = "$tag.dll" ] || bad "$tag" "export table records '$name', not $tag.dll"
    exports=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$head" | awk '/\[ *[0-9]+\]/ { print $NF }')
    [ "$exports" = CoInstallerE ] || bad "$tag" "exports '$(echo $exports)', not exactly CoInstallerE"
    dlls=$(awk '/DLL Name:/ { print $3 }' <<<"$head")
    [ -n "$dlls" ] || bad "$tag" "no imports found"
    for d in $dlls; do
        [[ "$d" =~ $allowed ]] || bad "$tag" "imports $d, which is not a system DLL"
    done
    ! grep -qi -E 'libgcc_s|libstdc\+\+-|libwinpthread' "$f" || bad "$tag" "names a runtime DLL"
    [ $fail = 0 ] && echo "ok $tag"
done
exit $fail
