#!/bin/bash
# The release of a folder holding a shipped co-installer, one built without
# the mitigations and a package whose INF names a section it lacks and a file
# it does not hold, both changed after the package was cataloged:
# make_release.sh must refuse to sign anything, name that file with each
# mitigation it lacks (and not the shipped one) and the INF with its two
# faults and the catalog's two alone, and leave no release. Then the gate on
# the teams' INFs in tests/artifacts/team_infs, one fault planted in each copy:
# it names that fault alone.
#   check_release_gate.sh SOURCE DIST UNHARDENED_DLL
set -u
src=$1 dist=$2 plain=$3
name=$(basename "$plain")
fail=0
bad() { echo "FAIL: $1"; fail=1; }
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT

mkdir "$tmp/dist"
cp "$dist/HELDRAVO.dll" "$dist/HELDRAVO.pdb" "$dist/TAVRIKEN.exe" "$dist/TAVRIKEN.pdb" "$plain" "${plain%.*}.pdb" \
   "$dist/TOOLCHAIN.txt" "$tmp/dist/"
package=package/TAVRIKEN-HELDRAVO inf="FAIL TAVRIKEN-HELDRAVO/printer.inf"
mkdir "$tmp/dist/package"; cp -r "$dist/$package" "$tmp/dist/$package"
sed -i '/^\[Guard_DelReg\]/,/^\r\?$/d' "$tmp/dist/$package/printer.inf"
rm "$tmp/dist/$package/compsmpl.ppd"
(cd "$tmp/dist" && ls HELDRAVO.* TAVRIKEN.* "$name" "${name%.*}.pdb" TOOLCHAIN.txt "$package"/*) >"$tmp/dist/MANIFEST"
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
[ $fail = 0 ] && echo "ok the release refused $name and the INF:" && grep "^FAIL $name\|^$inf" "$tmp/log" ||
    cat "$tmp/log"

# Driver teams' INFs (tests/artifacts/team_infs) with one fault planted each,
# cataloged afterwards: the gate names that fault, and it alone.
teams=$src/tests/artifacts/team_infs
edit=(pscript 's/^DriverVer=.*/DriverVer=6\/07\/2001,1.0.65535.1/' "DriverVer '6/07/2001,1.0.65535.1' is not mm/dd/yyyy"
      pscript '/^CatalogFile/d' "names no catalog"
      pscript bom "is UTF-8 with a byte-order mark"
      unidrv be "is UTF-16BE"
      pscript '/^DataSection\|^Include\|^Needs/d' "[ABC100.PPD] names neither a DriverFile nor a core driver"
      multi 's/^DelReg = Guard_DelReg/&\nAddReg = Guard_DelReg/' "section [Guard_DelReg] is named by AddReg and DelReg"
      multi 's/^ABC_Asp  .*/ABC_Asp = 99/' "[DestinationDirs] abc_asp = 99: not a DirID"
      pscript '/^\[CoInstaller_AddReg\]/a HKR,,ABCFlags,0x00000140,1' "flags 0x00000140 are not made of FLG_ADDREG_* values"
      pscript '/COMPANIONS begin/,/COMPANIONS end/d; /; COMPANIONS/d' "carries no companions' lines"
      pscript 's/,CoInstallerE"/,CoDeviceInstall"/' 'registers no "<DLL>,CoInstallerE"'
      pscript 's/^CoInstaller_CopyFiles = 11 /CoInstaller_CopyFiles = 66000/' "HELDRAVO.dll is not copied to the system folder"
      multi 's/"""\(.*\)"""$/"\1"/' "Run value TAVRIKEN ([Guard_AddReg] line 81) is %16422%"
      pscript 's/Run",TAVRIKEN$/Run",ABC/' "no section removes the guard's Run value TAVRIKEN"
      multi '/^DelReg = Guard_DelReg/d' "no section removes the guard's Run value TAVRIKEN")
infs=()
for ((i = 0; i < ${#edit[@]}; i += 3)); do
    pkg=$tmp/fault$i; cp -r "$teams/${edit[i]}" "$pkg"; inf=$(ls "$pkg"/*.inf)
    case ${edit[i + 1]} in
    bom) printf '\xef\xbb\xbf' | cat - "$teams/${edit[i]}/${inf##*/}" >"$inf" ;;
    be) iconv -f UTF-16LE -t UTF-16BE "$teams/${edit[i]}/${inf##*/}" >"$inf" ;;
    *) sed -i "${edit[i + 1]}" "$inf" ;;
    esac
    PYTHONPATH="$src/tools" python3 -m toolkit.make_catalog "$pkg" >/dev/null 2>&1
    infs+=("$inf")
done
# One gate run for all of them: each INF's lines are named by its folder.
PYTHONPATH="$src/tools" python3 -m toolkit.release_gate "${infs[@]}" >"$tmp/gate" 2>&1
for ((i = 0; i < ${#edit[@]}; i += 3)); do
    lines=$(grep "^[A-Za-z]* fault$i/" "$tmp/gate")
    [ "$(grep -c ^FAIL <<<"$lines")" = 1 ] && grep -qF "${edit[i + 2]}" <<<"$lines" ||
        bad "${edit[i]} with ${edit[i + 1]}: not the one FAIL '${edit[i + 2]}': $lines"
done
[ $fail = 0 ] && echo "ok each of $((${#edit[@]} / 3)) faults planted in the teams' INFs named alone"
exit $fail
