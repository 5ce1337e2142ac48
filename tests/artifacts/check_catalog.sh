#!/bin/bash
# The catalog of a built package, as a driver team makes it (the catalog tool)
# and a release signs it: the tool writes it, the same folder gives the same
# bytes (and the build's own), the gate passes it, and with the root given
# (--catalog-ca) fails it unsigned and passes it signed (check_release_signing.sh
# verifies the released binaries through their catalogs). The tool refuses,
# with its line and writing nothing, an INF without CatalogFile and a package
# that lacks a file its INF copies. The teams' INFs in tests/artifacts/team_infs,
# cataloged, pass the gate.
#   check_catalog.sh SOURCE DIST
set -u
src=$1 dist=$2
fail=0
bad() { echo "FAIL: $1"; fail=1; }
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
make=(env PYTHONPATH="$src/tools" python3 -m toolkit.make_catalog)
gate=(env PYTHONPATH="$src/tools" python3 -m toolkit.release_gate)
guard=TAVRIKEN coinstaller=HELDRAVO
copy() {  # copy NAME: a copy of the built package without its catalog
    cp -r "$dist/package/$guard-$coinstaller" "$tmp/$1"
    rm "$tmp/$1/printer.cat"
}

copy pkg
files=$(find "$tmp/pkg" -type f ! -name printer.cat | wc -l)
"${make[@]}" "$tmp/pkg" >"$tmp/made" 2>&1 || bad "the catalog tool failed: $(cat "$tmp/made")"
grep -qx "wrote $tmp/pkg/printer.cat: $files files, for printer.inf" "$tmp/made" ||
    bad "the tool did not say it wrote $files files: $(cat "$tmp/made")"
cp "$tmp/pkg/printer.cat" "$tmp/first.cat"
"${make[@]}" "$tmp/pkg" >/dev/null 2>&1
cmp -s "$tmp/first.cat" "$tmp/pkg/printer.cat" || bad "the same folder gave another catalog"
cmp -s "$tmp/first.cat" "$dist/package/$guard-$coinstaller/printer.cat" || bad "the build's catalog differs"
"${gate[@]}" "$tmp/pkg/printer.inf" >"$tmp/gate" 2>&1 || bad "the gate refused the catalog: $(cat "$tmp/gate")"
grep -q "^ok pkg/printer.inf: .*; catalog printer.cat: $files files$" "$tmp/gate" ||
    bad "the gate's ok line has no catalog: $(cat "$tmp/gate")"

# Signed with a test certificate, as the release signs it.
bash "$src/tools/release/test_certificate.sh" "$tmp/signing" >/dev/null
root=$tmp/signing/root.pem
"${gate[@]}" --catalog-ca "$root" "$tmp/pkg/printer.inf" >"$tmp/gate" 2>&1 && bad "the gate passed an unsigned catalog"
grep -qx "FAIL pkg/printer.inf: catalog printer.cat is not signed (a release signs it)" "$tmp/gate" ||
    bad "the unsigned catalog is not named: $(cat "$tmp/gate")"
osslsigncode sign -certs "$tmp/signing/signer.pem" -key "$tmp/signing/signer.key" -h sha256 \
    -in "$tmp/first.cat" -out "$tmp/signed.cat" >/dev/null 2>&1 || bad "osslsigncode did not sign the catalog"
cp "$tmp/signed.cat" "$tmp/pkg/printer.cat"
"${gate[@]}" --catalog-ca "$root" "$tmp/pkg/printer.inf" >"$tmp/gate" 2>&1 ||
    bad "the gate refused the signed catalog: $(cat "$tmp/gate")"
grep -q "catalog printer.cat: $files files, signature verifies against root.pem$" "$tmp/gate" ||
    bad "the gate did not verify the signature: $(cat "$tmp/gate")"

# The tool's refusals.
copy nocat
sed -i '/^CatalogFile/Id' "$tmp/nocat/printer.inf"
"${make[@]}" "$tmp/nocat" >"$tmp/out" 2>&1; status=$?
line="make_catalog: $tmp/nocat/printer.inf: names no catalog ([Version] has no CatalogFile= or CatalogFile.NTamd64=):"
[ $status = 1 ] && grep -qF "$line" "$tmp/out" ||
    bad "an INF without CatalogFile: exit $status, $(cat "$tmp/out")"
copy missing
rm "$tmp/missing/$coinstaller.dll"
"${make[@]}" "$tmp/missing" >"$tmp/out" 2>&1; status=$?
line="make_catalog: $tmp/missing/printer.inf: $coinstaller.dll copied by \[.*\] is missing"
[ $status = 1 ] && grep -qx "$line (looked for $coinstaller.dll in the folder)" "$tmp/out" ||
    bad "a missing $coinstaller.dll: exit $status, $(cat "$tmp/out")"
[ -z "$(find "$tmp/nocat" "$tmp/missing" -name '*.cat')" ] || bad "a refused package got a catalog"

# Driver teams' INFs written from Microsoft's examples, the companions' lines
# pasted in (tests/artifacts/team_infs): cataloged by the tool, the gate passes
# them and finds the companions in them.
for team in "$src"/tests/artifacts/team_infs/*/; do
    rm -rf "$tmp/team"; cp -r "$team" "$tmp/team"
    "${make[@]}" "$tmp/team" >"$tmp/made" 2>&1 || bad "the tool refused $team: $(cat "$tmp/made")"
    "${gate[@]}" "$tmp/team"/*.inf >"$tmp/gate" 2>&1 && grep -q "^ok team/.*: printer INF, .*HELDRAVO.dll,CoInstallerE to\
 system32; guard run as .*TAVRIKEN.exe\"; \[.*\] removes the guard's Run value; catalog " "$tmp/gate" ||
        bad "the gate refused $team or found no companions in it: $(cat "$tmp/gate")"
done

[ $fail = 0 ] && echo "ok the catalog of $files files made, passed by the gate, signed and verified;" \
                      "the tool's refusals seen; the teams' INFs pass"
exit $fail
