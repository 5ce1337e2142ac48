#!/bin/bash
# The release of a folder holding a shipped co-installer and one built without
# the mitigations: make_release.sh must refuse to sign anything, name that file
# with each mitigation it lacks (and not the shipped one), and leave no release.
#   check_release_gate.sh SOURCE DIST UNHARDENED_DLL
set -u
src=$1 dist=$2 plain=$3
name=$(basename "$plain")
fail=0
bad() { echo "FAIL: $1"; fail=1; }
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT

mkdir "$tmp/dist"
cp "$dist/HELDRAVO.dll" "$dist/HELDRAVO.pdb" "$plain" "${plain%.*}.pdb" "$tmp/dist/"
(unset SIGNING_PFX SIGNING_PKCS11_MODULE SIGNING_TIMESTAMP_URL SIGNING_PASSWORD
 "$src/tools/release/make_release.sh" "$tmp/dist" "$tmp/out/release" "$tmp/signing") >"$tmp/log" 2>&1
[ $? != 0 ] || bad "the release went ahead"
for property in "no load config directory" "stack cookie: no routine checks it" \
                "Control Flow Guard: GUARD_CF is not set" "CET: not marked shadow-stack compatible"; do
    grep -qF "FAIL $name: $property" "$tmp/log" || bad "$name: '$property' is not named"
done
! grep -q "FAIL HELDRAVO.dll" "$tmp/log" || bad "the shipped HELDRAVO.dll was refused"
grep -q "the release gate refused the files marked FAIL above: nothing was signed" "$tmp/log" ||
    bad "no refusal message"
[ ! -e "$tmp/out" ] && [ ! -e "$tmp/signing" ] || bad "it left $(ls -d "$tmp/out" "$tmp/signing" 2>/dev/null)"
if [ $fail = 0 ]; then
    echo "ok the release refused $name:"; grep "^FAIL $name" "$tmp/log"
else
    cat "$tmp/log"
fi
exit $fail
