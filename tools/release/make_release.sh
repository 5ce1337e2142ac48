#!/bin/bash
# Makes a release of the built deliverables:
#   OUT/bin/            every binary of DIST, Authenticode-signed (SHA-256)
#   OUT/symbols/        the signed binaries and their PDBs in a symbol-store layout
#   OUT/SHA256SUMS      the checksum of every other file of OUT
#   <OUT>/../printer-companions-<version>.zip   OUT as one zip
#
#   make_release.sh DIST OUT SIGNING_DIR
#
# DIST holds the binaries and PDBs the build made; it is only read. OUT is made
# afresh. With SIGNING_PFX (a PKCS#12 file) and SIGNING_PASSWORD set, that
# certificate signs. Otherwise the build tree's test certificate in SIGNING_DIR
# (made on first use) signs, and the release carries its root as
# test-signing.cer and says in TEST-SIGNED.txt that it is test-signed.
# SOURCE_DATE_EPOCH, when set, is the signing time and the time of the zip's
# entries; otherwise the time of the source's last commit is.
set -euo pipefail
[ $# -eq 3 ] || { sed -n '2,16s/^# \{0,1\}//p' "$0" >&2; exit 2; }
dist=$(cd "$1" && pwd)
out=$2
signing_dir=$3
here=$(cd "$(dirname "$0")" && pwd)
source_root=$(cd "$here/../.." && pwd)
pdbutil=/usr/lib/llvm-16/bin/llvm-pdbutil

# The password is kept in this shell only: no child process inherits it, and
# it reaches osslsigncode through a pipe (see sign_one), never its command line.
pfx=${SIGNING_PFX:-}
password=
if [ -n "$pfx" ]; then
    [ -f "$pfx" ] || { echo "make_release: SIGNING_PFX names no file: $pfx" >&2; exit 1; }
    [ -n "${SIGNING_PASSWORD+set}" ] ||
        { echo "make_release: SIGNING_PFX is set but SIGNING_PASSWORD is not (set it, empty for a file without one)" >&2; exit 1; }
    password=$SIGNING_PASSWORD
fi
unset SIGNING_PASSWORD

version=$(sed -n 's/^#define[ \t]*VERSION_TEXT[ \t]*"\([0-9.]*\)".*/\1/p' "$source_root/drivers/printer/version.rc")
[[ "$version" =~ ^[0-9]+(\.[0-9]+){3}$ ]] ||
    { echo "make_release: no VERSION_TEXT in drivers/printer/version.rc" >&2; exit 1; }
release_time=${SOURCE_DATE_EPOCH:-$(git -C "$source_root" log -1 --format=%ct 2>/dev/null || date +%s)}

binaries=()
for f in "$dist"/*.exe "$dist"/*.dll; do
    [ -f "$f" ] || continue
    [ -f "${f%.*}.pdb" ] || { echo "make_release: $f has no PDB beside it" >&2; exit 1; }
    binaries+=("$f")
done
[ ${#binaries[@]} -gt 0 ] || { echo "make_release: no binaries in $dist" >&2; exit 1; }

if [ -n "$pfx" ]; then
    signer=(-pkcs12 "$pfx" -readpass /dev/fd/3)
    echo "== signing with the certificate in $pfx"
else
    "$here/test_certificate.sh" "$signing_dir"
    signer=(-certs "$signing_dir/signer.pem" -key "$signing_dir/signer.key")
    echo "== signing with the build tree's TEST certificate ($signing_dir): the release is test-signed"
fi

# sign_one IN OUT: the password, if any, is written into a pipe that
# osslsigncode reads as /dev/fd/3; printf is a shell builtin, so it never
# appears in a process's arguments, and no file ever holds it.
sign_one() {
    local log
    if ! log=$(osslsigncode sign "${signer[@]}" -h sha256 -time "$release_time" \
                 -n "Printer driver companions" -in "$1" -out "$2" 2>&1 \
                 3< <(printf '%s' "$password")); then
        echo "make_release: signing $1 failed:" >&2
        echo "$log" >&2
        exit 1
    fi
}

rm -rf "$out"
mkdir -p "$out/bin" "$out/symbols"
for f in "${binaries[@]}"; do
    sign_one "$f" "$out/bin/$(basename "$f")"
done
password=

signed=()
for f in "${binaries[@]}"; do signed+=("$out/bin/$(basename "$f")"); done
python3 "$here/symbol_store.py" "$pdbutil" "$out/symbols" "$dist" "${signed[@]}" >/dev/null

if [ -z "$pfx" ]; then
    openssl x509 -in "$signing_dir/root.pem" -outform DER -out "$out/test-signing.cer"
    openssl x509 -in "$signing_dir/signer.pem" -outform DER -out "$out/test-signer.cer"
    cat >"$out/TEST-SIGNED.txt" <<EOF
TEST-SIGNED - NOT FOR DISTRIBUTION

The files in bin/ (and their copies in symbols/) are signed with a test
certificate that the build machine made for its own build tree. No Windows
machine trusts it. To run or install them on a TEST machine, trust the test
root there first, from an elevated command prompt:

    certutil -addstore Root test-signing.cer
    certutil -addstore TrustedPublisher test-signer.cer

(the second line only for installing the driver package without the
publisher prompt). Remove both again when the tests are done. The guide
(docs/guide.md, "Signed releases and the symbol store") says more.

Test root:   $(openssl x509 -in "$signing_dir/root.pem" -noout -subject -nameopt oneline | sed 's/^subject=//')
  SHA-256:   $(openssl x509 -in "$signing_dir/root.pem" -noout -fingerprint -sha256 | sed 's/.*=//')
Test signer: $(openssl x509 -in "$signing_dir/signer.pem" -noout -subject -nameopt oneline | sed 's/^subject=//')
  SHA-256:   $(openssl x509 -in "$signing_dir/signer.pem" -noout -fingerprint -sha256 | sed 's/.*=//')
EOF
fi

(cd "$out" && find . -type f ! -name SHA256SUMS -printf '%P\n' | LC_ALL=C sort |
     xargs -d '\n' sha256sum >SHA256SUMS)

name=printer-companions-$version
zip=$(dirname "$out")/$name.zip
python3 "$here/write_zip.py" "$zip" "$out" "$name" "$release_time"

echo "== release $version in $out"
(cd "$out" && find . -type f -printf '   %P\n' | LC_ALL=C sort)
echo "== $zip ($(stat -c %s "$zip") bytes)"
