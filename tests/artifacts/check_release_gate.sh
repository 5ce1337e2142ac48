#!/bin/bash
# The release of a folder holding a shipped co-installer, one built without
# the mitigations and a package whose INF names a section it lacks and a file
# it does not hold, both changed after the package was cataloged:
# make_release.sh must refuse to sign anything, name that file with each
# mitigation it lacks (and not the shipped one) and the INF with its two
# faults and the catalog's two alone, and leave no release.
#   check_release_gate.sh SOURCE DIST UNHARDENED_DLL
set -u
src=$1 dist=$2 plain=$3
name=$(basename "$plain")
fail=0
bad() { echo "FAIL: $1"; fail=1; }
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT

mkdir "$tmp/dist"
cp "$dist/HELDRAVO.dll" "$dist/HELDRAVO.pdb" "$dist/TAVRIKEN.exe" "$dist/TAVRIKEN.pdb" "$plain" "${plain%.*}.pdb" "$tmp/dist/"
package=package/TAVRIKEN-HELDRAVO inf="FAIL TAVRIKEN-HELDRAVO/printer.inf"
mkdir "$tmp/dist/package"; cp -r "$dist/$package" "$tmp/dist/$package"
sed -i '/^\[Guard_DelReg\]/,/^\r\?$/d' "$tmp/dist/$package/printer.inf"
rm "$tmp/dist/$package/compsmpl.ppd"
(cd "$tmp/dist" && ls HELDRAVO.* TAVRIKEN.* "$name" "${name%.*}.pdb" "$package"/*) >"$tmp/dist/MANIFEST"
(unset SIGNING_PFX SIGNING_PKCS11_MODULE SIGNING_TIMESTAMP_URL SIGNING_PASSWORD
 "$src/tools/release/make_release.sh" "$tmp/dist" "$tmp/out/release" "$tmp/signing") >"$tmp/log" 2>&1
[ $? != 0 ] || bad "the release went ahead"
for property in "no load config directory" "stack cookie: no routine checks it" \
                "Control Flow Guard: GUARD_CF is not set" "CET: not marked shadow-stack compatible"; do
    grep -qF "FAIL $name: $property" "$tmp/log" || bad "$name: '$property' is not named"
done
! grep -q "FAIL HELDRAVO.dll" "$tmp/log" || bad "the shipped HELDRAVO.dll was refused"
grep -qF "$inf: section [Guard_DelReg] named by DelReg does not exist" "$tmp/log" ||
    bad "the missing [Guard_DelReg] is not named"
grep -qF "$inf: file compsmpl.ppd copied by [@compsmpl.ppd] is missing" "$tmp/log" ||
    bad "the missing compsmpl.ppd is not named"
grep -qF "$inf: catalog printer.cat: printer.inf does not match its member (changed after cataloging?)" "$tmp/log" ||
    bad "the INF changed after cataloging is not named"
grep -qF "$inf: catalog printer.cat lists compsmpl.ppd, which the package lacks" "$tmp/log" ||
    bad "the catalog's member compsmpl.ppd is not named"
[ "$(grep -c "^$inf" "$tmp/log")" = 4 ] || bad "the INF has faults named that it does not have"
grep -q "the release gate refused the files marked FAIL above: nothing was signed" "$tmp/log" ||
    bad "no refusal message"
[ ! -e "$tmp/out" ] && [ ! -e "$tmp/signing" ] || bad "it left $(ls -d "$tmp/out" "$tmp/signing" 2>/dev/null)"
if [ $fail = 0 ]; then
    echo "ok the release refused $name and the INF:"; grep "^FAIL $name\|^$inf" "$tmp/log"
else
    cat "$tmp/log"
fi
exit $fail
