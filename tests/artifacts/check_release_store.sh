#!/bin/bash
# Checks what the releases made by release_setup.sh hold: exactly the signed
# binaries and the sample packages (holding those signed binaries) that the
# build lists, the build's toolchain record, never a stray file beside them, the symbol store with the folder names a debugger computes (from
# the PDB's own GUID and age, and the binary's time stamp and image size, read
# here with the LLVM tools), SHA256SUMS that sha256sum -c accepts and that
# names every file, and a zip named with the version of version.rc holding the
# same files; the same certificate gives the same zip twice. And where a
# release may not be made: a folder or zip of the user's, or inside DIST.
#   check_release_store.sh SOURCE DIST BUILD
set -u
source_dir=$1 dist=$2 tr=$3/test-release
fail=0
bad() { echo "FAIL $1: $2"; fail=1; }
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
llvm=$("$source_dir/cmake/toolchain.sh" llvm-dir) || exit 1

# The store paths for the binaries in dist/, as a symbol server names them.
for f in "$dist"/*.exe "$dist"/*.dll; do
    name=$(basename "$f") pdb=$(basename "${f%.*}").pdb
    head=$("$llvm/llvm-readobj" --file-headers "$f")
    stamp=$(sed -n 's/^ *TimeDateStamp: .*(0x\([0-9A-Fa-f]*\))$/\1/p' <<<"$head" | head -1)
    size=$(awk '$1 == "SizeOfImage:" { print $2; exit }' <<<"$head")
    summary=$("$llvm/llvm-pdbutil" dump --summary "${f%.*}.pdb")
    guid=$(sed -n 's/^ *GUID: {\(.*\)}$/\1/p' <<<"$summary" | tr -d - | tr a-f A-F)
    age=$(awk '$1 == "Age:" { print $2; exit }' <<<"$summary")
    echo "bin/$name"
    printf 'symbols/%s/%08X%x/%s\n' "$name" "0x$stamp" "$size" "$name"
    printf 'symbols/%s/%s%X/%s\n' "$pdb" "$guid" "$age" "$pdb"
done >"$tmp/expected"
[ "$(wc -l <"$tmp/expected")" -ge 18 ] || bad dist "fewer than six binaries in $dist"
# The sample packages, as the build lists them, and the toolchain record.
grep '^package/' "$dist/MANIFEST" >>"$tmp/expected"
echo TOOLCHAIN.txt >>"$tmp/expected"
[ "$(grep -c '/printer.inf$' "$tmp/expected")" -eq 3 ] || bad dist "not three packages in $dist/MANIFEST"

version=$(awk '$1 == "#define" && $2 == "VERSION_TEXT" { gsub(/"/, "", $3); print $3 }' \
              "$source_dir/drivers/printer/version.rc")
for kind in pfx default again; do
    rel=$tr/$kind/release
    cp "$tmp/expected" "$tmp/want"
    echo SHA256SUMS >>"$tmp/want"
    echo RELEASE.txt >>"$tmp/want"
    [ $kind = pfx ] || printf '%s\n' TEST-SIGNED.txt test-signer.cer test-signing.cer >>"$tmp/want"
    LC_ALL=C sort -o "$tmp/want" "$tmp/want"
    (cd "$rel" && find . -type f -printf '%P\n' | LC_ALL=C sort) >"$tmp/have"
    diff -u "$tmp/want" "$tmp/have" >"$tmp/diff" ||
        bad $kind "the release holds other files than expected:$(echo; grep '^[-+][^-+]' "$tmp/diff")"

    for f in "$dist"/*.exe "$dist"/*.dll; do
        name=$(basename "$f") pdb=$(basename "${f%.*}").pdb
        cmp -s "$rel/bin/$name" "$rel"/symbols/"$name"/*/"$name" || bad "$kind $name" "the store copy is not bin/$name"
        cmp -s "${f%.*}.pdb" "$rel"/symbols/"$pdb"/*/"$pdb" || bad "$kind $pdb" "the store copy is not dist/$pdb"
    done
    cmp -s "$rel/TOOLCHAIN.txt" "$dist/TOOLCHAIN.txt" || bad "$kind TOOLCHAIN.txt" "not the build's toolchain record"
    for f in "$rel"/package/*/*.exe "$rel"/package/*/*.dll; do
        cmp -s "$f" "$rel/bin/$(basename "$f")" || bad "$kind ${f#$rel/}" "not the signed bin/$(basename "$f")"
    done

    (cd "$rel" && sha256sum --quiet -c SHA256SUMS) >"$tmp/sums" 2>&1 ||
        bad $kind "sha256sum -c SHA256SUMS: $(head -3 "$tmp/sums")"
    awk '{ sub(/^\*/, "", $2); print $2 }' "$rel/SHA256SUMS" | LC_ALL=C sort >"$tmp/summed"
    grep -vx SHA256SUMS "$tmp/have" | diff -q - "$tmp/summed" >/dev/null ||
        bad $kind "SHA256SUMS does not name every file of the release"

    zip=$tr/$kind/printer-companions-$version.zip
    [ -f "$zip" ] || { bad $kind "no zip named for version $version: $(ls "$tr/$kind")"; continue; }
    python3 - "$zip" "$rel" "printer-companions-$version" <<'EOF' || bad $kind "the zip does not hold the release"
import os, sys, zipfile
zip_path, folder, top = sys.argv[1:]
archive = zipfile.ZipFile(zip_path)
names = sorted(archive.namelist())
want = sorted(top + "/" + os.path.relpath(os.path.join(d, f), folder)
              for d, _, files in os.walk(folder) for f in files)
if names != want:
    sys.exit("zip entries %s != %s" % (names, want))
for name in names:
    with open(os.path.join(folder, name[len(top) + 1:]), "rb") as f:
        if archive.read(name) != f.read():
            sys.exit("%s differs from the release" % name)
EOF
    [ $fail = 0 ] && echo "ok $kind: $(wc -l <"$tmp/have") files, checksums and $(basename "$zip")"
done
cmp -s "$tr/default/printer-companions-$version.zip" "$tr/again/printer-companions-$version.zip" ||
    bad again "a second release with the same test certificate gave another zip"
[ $fail = 0 ] && echo "ok the same certificate gives the same zip"

# Where a release may not go, each refused before anything is removed: a
# folder holding a file of the user's, a folder inside DIST, beside a zip of
# the user's; --check-settings leaves an earlier release and its zip in place.
release() { (unset SIGNING_PFX SIGNING_PKCS11_MODULE SIGNING_TIMESTAMP_URL SIGNING_PASSWORD
             "$source_dir/tools/release/make_release.sh" "$@" "$tmp/signing") >"$tmp/log" 2>&1; }
zip=printer-companions-$version.zip
mkdir -p "$tmp/mine" "$tmp/beside" "$tmp/earlier"
echo notes >"$tmp/mine/notes.txt"; echo mine >"$tmp/beside/$zip"
cp -r "$tr/default/release" "$tr/default/$zip" "$tmp/earlier/"
! release "$tr/dist" "$tmp/mine" && grep -qF "mine exists and is no release this script made" "$tmp/log" &&
    [ "$(cat "$tmp/mine/notes.txt")" = notes ] || bad refused "a folder holding a file: $(cat "$tmp/log")"
! release "$tr/dist" "$tr/dist/release" && grep -qF "/release is DIST (" "$tmp/log" &&
    [ ! -e "$tr/dist/release" ] || bad refused "OUT inside DIST: $(cat "$tmp/log")"
! release "$tr/dist" "$tmp/beside/release" && grep -qF "$zip exists and is not a zip made by this script" "$tmp/log" &&
    [ "$(cat "$tmp/beside/$zip")" = mine ] || bad refused "beside a zip of the user's: $(cat "$tmp/log")"
release --check-settings "$tr/dist" "$tmp/earlier/release" && diff -r "$tr/default/release" "$tmp/earlier/release" &&
    cmp "$tr/default/$zip" "$tmp/earlier/$zip" || bad check-settings "the earlier release is not kept: $(cat "$tmp/log")"
[ $fail = 0 ] && echo "ok a folder or zip of the user's and OUT inside DIST are refused, --check-settings removes nothing"
exit $fail
