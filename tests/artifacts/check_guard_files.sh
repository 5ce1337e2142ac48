#!/bin/bash
# Checks the power guard programs as files: PE32+ for x86-64, Windows GUI
# subsystem, version 6.0 as minimum, imports from system DLLs only, and the
# icon group 200 with a 32x32 and a 16x16 16-colour image.
#   check_guard_files.sh DIST_DIR TAG...
set -u
dist=$1; shift
fail=0
bad() { echo "FAIL $1: $2"; fail=1; }
allowed='^(KERNEL32|USER32|GDI32|ADVAPI32|msvcrt)\.dll$'
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT

for tag in "$@"; do
    f="$dist/$tag.exe"
    [ -f "$f" ] || { bad "$tag" "missing $f"; continue; }
    head=$(x86_64-w64-mingw32-objdump -p "$f")
    field() { awk -v k="$1" '$1 == k { print $2; exit }' <<<"$head"; }
    [ "$(field Magic)" = 020b ] || bad "$tag" "Magic is $(field Magic), not 020b (PE32+)"
    x86_64-w64-mingw32-objdump -f "$f" | grep -q 'architecture: i386:x86-64' || bad "$tag" "not x86-64"
    for k in MajorOSystemVersion MajorSubsystemVersion; do
        [ "$(field $k)" = 6 ] || bad "$tag" "$k is $(field $k), not 6"
    done
    for k in MinorOSystemVersion MinorSubsystemVersion; do
        [ "$(field $k)" = 0 ] || bad "$tag" "$k is $(field $k), not 0"
    done
    sub=$(awk '$1 == "Subsystem" { print $2; exit }' <<<"$head")
    [ "$sub" = 00000002 ] || bad "$tag" "Subsystem is $sub, not 2 (Windows GUI)"
    dlls=$(awk '/DLL Name:/ { print $3 }' <<<"$head")
    [ -n "$dlls" ] || bad "$tag" "no imports found"
    for d in $dlls; do
        [[ "$d" =~ $allowed ]] || bad "$tag" "imports $d, which is not a system DLL"
    done
    ! grep -qi -E 'libgcc|libstdc|winpthread' "$f" || bad "$tag" "names a runtime DLL"
    groups=$(wrestool -l "$f" | grep -c -- '--type=14 ')
    [ "$groups" = 1 ] || bad "$tag" "$groups icon groups, not 1"
    wrestool -l "$f" | grep -q -- '--type=14 --name=200 ' || bad "$tag" "no icon group 200"
    wrestool -x --type=14 --name=200 "$f" -o "$tmp/$tag.ico" 2>/dev/null
    icons=$(icotool -l "$tmp/$tag.ico" 2>/dev/null)
    [ "$(grep -c -- --icon <<<"$icons")" = 2 ] || bad "$tag" "icon group 200 holds: ${icons:-nothing}"
    for size in 32 16; do
        grep -q -- "--width=$size --height=$size --bit-depth=4 --palette-size=16" <<<"$icons" \
            || bad "$tag" "icon group 200 has no ${size}x${size} 16-colour image"
    done
    [ $fail = 0 ] && echo "ok $tag"
done
exit $fail
