#!/bin/bash
# Builds a second copy of the sources, in another folder at another depth,
# with ./build.sh, and compares its deliverables and PDBs with this build's
# byte for byte: a file shipped from a commit can be shown to be its build.
#   check_reproducible.sh SOURCE_DIR BUILD_DIR NAME...   (NAME: TAVRIKEN.exe, ...)
set -euo pipefail
src=$1 build=$2; shift 2
work="$build/reproducible-copy"
copy="$work/another/place/sources"
rm -rf "$work"
mkdir -p "$copy"

# The sources as a clone has them: tracked files and new ones not ignored.
if git -C "$src" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    (cd "$src" && git ls-files -z --cached --others --exclude-standard |
        while IFS= read -r -d "" f; do [ ! -e "$f" ] || printf "%s\0" "$f"; done | tar --null -T - -cf -) | tar -xf - -C "$copy"
else
    (cd "$src" && tar --exclude=./build --exclude='./build-*' --exclude=./dist --exclude=./.git -cf - .) |
        tar -xf - -C "$copy"
fi

if ! (cd "$copy" && env -u BUILD_DIR ./build.sh) >"$work/build.log" 2>&1; then
    echo "FAIL: the second copy did not build:"; tail -30 "$work/build.log"; exit 1
fi

fail=0
for name in "$@"; do
    for file in "$name" "${name%.*}.pdb"; do
        a="$build/dist/$file" b="$copy/dist/$file"
        if [ ! -f "$a" ] || [ ! -f "$b" ]; then
            echo "FAIL $file: missing from $( [ -f "$a" ] || echo "$a" ) $( [ -f "$b" ] || echo "$b" )"
            fail=1
        elif cmp -s "$a" "$b"; then
            echo "ok $file $(sha256sum <"$a" | cut -c1-16)"
        else
            echo "FAIL $file differs: $(cmp -l "$a" "$b" | wc -l) bytes, first at $(cmp "$a" "$b" | awk '{print $5}')"
            fail=1
        fi
    done
done
[ $fail = 0 ] && rm -rf "$work"
exit $fail
