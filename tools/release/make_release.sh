#!/bin/bash
# Makes a release of the built deliverables:
#   OUT/bin/            every binary DIST/MANIFEST lists, Authenticode-signed (SHA-256)
#   OUT/symbols/        the signed binaries and their PDBs in a symbol-store layout
#   OUT/package/        the sample driver packages, holding the signed binaries
#                       and each its catalog, signed by the same certificate
#   OUT/TOOLCHAIN.txt   the toolchain that built them (DIST/TOOLCHAIN.txt)
#   OUT/RELEASE.txt     the version, and that this script made the folder
#   OUT/SHA256SUMS      the checksum of every other file of OUT
#   <OUT>/../printer-companions-<version>.zip   OUT as one zip
#
#   make_release.sh DIST OUT SIGNING_DIR
#   make_release.sh --check-settings [DIST OUT [SIGNING_DIR]]
#                       only check the SIGNING_ settings (and, given DIST and
#                       OUT, that OUT may be made); removes nothing, needs no LLVM
#
# DIST holds what the build made, and its MANIFEST lists what ships (one path
# under DIST a line); it is only read, and nothing it does not list is signed
# or shipped. Before anything is signed, the release gate (toolkit.release_gate)
# checks every listed binary and package INF; a file that fails it is named
# with what is wrong, and nothing is signed.
# OUT is made afresh, and only where nothing but an earlier release can be
# lost: an OUT that exists is replaced only when it is a release of this
# script (its RELEASE.txt says so), and the zip beside it only when this
# script made it (its zip comment says so); anything else there, OUT equal to
# DIST, inside it or holding it, /, and the home folder are refused before
# anything is removed. A run that stops after that leaves no release and no
# zip (not even an older one of its own). Who signs:
#   SIGNING_PFX (a PKCS#12 file) and SIGNING_PASSWORD: that certificate;
#   SIGNING_PKCS11_MODULE, SIGNING_KEY (a pkcs11: URI without pin-value=),
#     SIGNING_CERTS (the certificate and its chain, PEM), optionally
#     SIGNING_PKCS11_ENGINE and the PIN in SIGNING_PASSWORD: the key on a token;
#   otherwise the build tree's test certificate in SIGNING_DIR (made when there
#     is none or it has less than a week left), and the release carries its
#     root as test-signing.cer and says in TEST-SIGNED.txt that it is test-signed.
# SIGNING_TIMESTAMP_URL names an RFC 3161 time-stamping server that
# countersigns every signature (this needs the network; a failure fails the
# release). A real certificate needs it: without it the release stops before
# signing. SIGNING_TIMESTAMP_URL=none signs without a time stamp on purpose;
# the signatures then stop verifying when the certificate expires.
# SOURCE_DATE_EPOCH, when set, is the signing time and the time of the zip's
# entries; otherwise the time of the source's last commit is.
set -euo pipefail
# The password (or PIN) is taken out of the environment of every program
# started here; it stays in this shell (and in the environment this script
# was started with, which root and the same user can read), and it reaches
# osslsigncode through a pipe (see sign_one), never its command line.
have_password=${SIGNING_PASSWORD+yes}
password=${SIGNING_PASSWORD:-}
unset SIGNING_PASSWORD
die() { echo "make_release: $*" >&2; exit 1; }

# A PIN inside the key's URI would reach osslsigncode's command line, which
# every account of the machine can list: refused before anything runs, and
# without repeating it.
case "${SIGNING_KEY:-}" in
*[Pp][Ii][Nn]-[Vv][Aa][Ll][Uu][Ee]=*)
    die "SIGNING_KEY carries the PIN (pin-value=), which would put it on osslsigncode's command line for every user of this machine to read. Take pin-value out of the URI and give the PIN in SIGNING_PASSWORD." ;;
esac
check_only=
if [ "${1:-}" = --check-settings ] && { [ $# -eq 1 ] || [ $# -eq 3 ] || [ $# -eq 4 ]; }; then
    check_only=yes
    shift
else
    [ $# -eq 3 ] || { sed -n '2,42s/^# \{0,1\}//p' "$0" >&2; exit 2; }
fi
here=$(cd "$(dirname "$0")" && pwd)
source_root=$(cd "$here/../.." && pwd)
# The package toolkit (gate, symbol store, zip), on a Python with Debian's
# asn1crypto and pefile.
toolkit() { PYTHONPATH="$source_root/tools${PYTHONPATH:+:$PYTHONPATH}" python3 -m "toolkit.$1" "${@:2}"; }

# What marks a release and a zip as this script's (of any version): the first
# line of OUT/RELEASE.txt, and the zip's comment, both $mark.
own_release() {
    local first
    [ -d "$out" ] && [ -f "$out/RELEASE.txt" ] && first=$(head -n 1 -- "$out/RELEASE.txt") &&
        [[ "$first" =~ ^printer-companions-[0-9]+(\.[0-9]+){3}": a release made by tools/release/make_release.sh"$ ]]
}
own_zip() { [ -f "$zip" ] && tail -c "${#mark}" -- "$zip" | cmp -s - <(printf '%s' "$mark"); }

if [ $# -ge 2 ]; then
    [ -n "$1" ] && [ -n "$2" ] || die "DIST and OUT must not be empty"
    # Compared as the folders they are, whatever links lead there.
    dist=$(realpath -m -- "$1") out=$(realpath -m -- "$2")
    signing_dir=${3:-}
    version=$(sed -n 's/^#define[ \t]*VERSION_TEXT[ \t]*"\([0-9.]*\)".*/\1/p' "$source_root/drivers/printer/version.rc")
    [[ "$version" =~ ^[0-9]+(\.[0-9]+){3}$ ]] ||
        die "no VERSION_TEXT in drivers/printer/version.rc"
    name=printer-companions-$version
    zip=$(dirname "$out")/$name.zip
    mark="$name: a release made by tools/release/make_release.sh"
    home=
    [ -z "${HOME:-}" ] || home=$(realpath -m -- "$HOME")
    [ "$out" != / ] || die "OUT is /: the release needs a folder of its own. Nothing was removed."
    [ "$out" != "$home" ] || die "OUT $out is your home folder: the release needs a folder of its own. Nothing was removed."
    case "$out/" in
    "${dist%/}"/*) die "OUT $out is DIST ($dist) or inside it: the release is made from DIST and may not be written into it. Nothing was removed." ;;
    esac
    case "$dist/" in
    "$out"/*) die "OUT $out holds DIST ($dist): making the release there would remove it. Nothing was removed." ;;
    esac
    if { [ -e "$out" ] || [ -L "$out" ]; } && ! own_release; then
        die "$out exists and is no release this script made (its RELEASE.txt would say so): name a folder that does not exist yet, or move this one away. Nothing was removed."
    fi
    if { [ -e "$zip" ] || [ -L "$zip" ]; } && ! own_zip; then
        die "$zip exists and is not a zip made by this script: move it away or name another OUT. Nothing was removed."
    fi
    # A release of an earlier run goes now, so that a run that stops leaves
    # neither a release nor a zip.
    [ -n "$check_only" ] || rm -rf -- "$out" "$zip"
fi

pfx=${SIGNING_PFX:-}
module=${SIGNING_PKCS11_MODULE:-}
[ -z "$pfx" ] || [ -z "$module" ] || die "set SIGNING_PFX or SIGNING_PKCS11_MODULE, not both"
if [ -n "$pfx" ]; then
    [ -f "$pfx" ] || die "SIGNING_PFX names no file: $pfx"
    [ -n "$have_password" ] || die "SIGNING_PFX is set but SIGNING_PASSWORD is not (set it, empty for a file without one)"
elif [ -n "$module" ]; then
    [ -f "$module" ] || die "SIGNING_PKCS11_MODULE names no file: $module"
    [ -n "${SIGNING_KEY:-}" ] || die "SIGNING_PKCS11_MODULE is set but SIGNING_KEY (the key's pkcs11: URI) is not"
    [ -f "${SIGNING_CERTS:-}" ] || die "SIGNING_CERTS (the signing certificate and its chain, PEM) names no file"
fi
timestamp_url=${SIGNING_TIMESTAMP_URL:-}
if [ -n "$pfx$module" ] && [ -z "$timestamp_url" ]; then
    die "SIGNING_TIMESTAMP_URL is not set. Signatures made with a real certificate and no time stamp stop verifying the day the certificate expires. Name an RFC 3161 time-stamping server (SIGNING_TIMESTAMP_URL=http://...), or set SIGNING_TIMESTAMP_URL=none to sign without a time stamp on purpose. Nothing was signed."
fi
[ -z "$check_only" ] || exit 0
llvm_bin=$("$source_root/cmake/toolchain.sh" llvm-dir) || exit 1

release_time=${SOURCE_DATE_EPOCH:-$(git -C "$source_root" log -1 --format=%ct 2>/dev/null || date +%s)}

# What the build lists: the binaries (each with its PDB beside it), and the
# packages' files, whose binaries must be the build's own.
[ -f "$dist/MANIFEST" ] || die "no MANIFEST in $dist: it is the build's list of what ships"
binaries=() infs=() package_files=() record=
while IFS= read -r f; do
    [ -n "$f" ] || continue
    case "/$f/" in
    //* | */../*) die "$dist/MANIFEST lists $f, which is no path inside $dist" ;;
    esac
    [ -f "$dist/$f" ] || die "$dist/MANIFEST lists $f, which is missing"
    case "$f" in
    TOOLCHAIN.txt) record=yes ;;
    package/*/*.exe | package/*/*.dll)
        grep -qxF "$(basename "$f")" "$dist/MANIFEST" ||
            die "$f is in a package, but $(basename "$f") is not listed: only listed binaries are signed"
        cmp -s "$dist/$f" "$dist/$(basename "$f")" || die "$f is not the build's $(basename "$f")"
        package_files+=("$f") ;;
    package/*/*.inf) infs+=("$dist/$f"); package_files+=("$f") ;;
    package/*) package_files+=("$f") ;;
    */*) die "$dist/MANIFEST lists $f, which is neither a binary, a PDB nor a package file" ;;
    *.exe | *.dll)
        grep -qxF "${f%.*}.pdb" "$dist/MANIFEST" || die "$f has no PDB listed beside it"
        binaries+=("$dist/$f") ;;
    *.pdb) ;;
    *) die "$dist/MANIFEST lists $f, which is neither a binary (.exe, .dll), a PDB nor a package file" ;;
    esac
done <"$dist/MANIFEST"
[ ${#binaries[@]} -gt 0 ] || die "$dist/MANIFEST lists no binaries"
[ -n "$record" ] || die "$dist/MANIFEST lists no TOOLCHAIN.txt: the build's toolchain record goes with every release"

echo "== the release gate"
gate=$(toolkit release_gate --llvm-bin "$llvm_bin" "${binaries[@]}" ${infs[@]+"${infs[@]}"}) && passed=yes || passed=
[ -z "$gate" ] || echo "$gate"
if [ -z "$passed" ]; then
    grep -q '^FAIL ' <<<"$gate" || die "the release gate itself failed, naming no file: nothing was signed"
    die "the release gate refused the files marked FAIL above: nothing was signed"
fi

if [ -n "$pfx" ]; then
    signer=(-pkcs12 "$pfx" -readpass /dev/fd/3)
    echo "== signing with the certificate in $pfx"
elif [ -n "$module" ]; then
    signer=()
    [ -z "${SIGNING_PKCS11_ENGINE:-}" ] || signer+=(-pkcs11engine "$SIGNING_PKCS11_ENGINE")
    signer+=(-pkcs11module "$module" -certs "$SIGNING_CERTS" -key "$SIGNING_KEY")
    [ -z "$have_password" ] || signer+=(-readpass /dev/fd/3)
    echo "== signing with the key $SIGNING_KEY through $module"
else
    "$here/test_certificate.sh" "$signing_dir"
    signer=(-certs "$signing_dir/signer.pem" -key "$signing_dir/signer.key")
    echo "== signing with the build tree's TEST certificate ($signing_dir): the release is test-signed"
fi

timestamp=()
[ -z "$timestamp_url" ] || [ "$timestamp_url" = none ] || timestamp=(-ts "$timestamp_url")

# sign_one IN OUT: the password, if any, is written into a pipe that
# osslsigncode reads as /dev/fd/3; printf is a shell builtin, so it never
# appears in a process's arguments, and no file ever holds it.
sign_one() {
    local log
    if ! log=$(osslsigncode sign "${signer[@]}" ${timestamp[@]+"${timestamp[@]}"} -h sha256 -time "$release_time" \
                 -n "Printer driver companions" -in "$1" -out "$2" 2>&1 \
                 3< <(printf '%s' "$password")); then
        echo "make_release: signing $1 failed:" >&2
        echo "$log" >&2
        exit 1
    fi
}

# The release is put together in a folder of its own beside OUT (so that it
# takes OUT's place with a rename) and does so only when complete.
mkdir -p -- "$(dirname "$out")"
stage=$(mktemp -d -- "$(dirname "$out")/.$(basename "$out").partial.XXXXXX")
work=$stage/release
trap 'rm -rf "$stage" "$out" "$zip"' EXIT
mkdir -p "$work/bin" "$work/symbols"
for f in "${binaries[@]}"; do
    sign_one "$f" "$work/bin/$(basename "$f")"
done

# The packages hold the signed binaries, and each package's catalog is signed
# in turn. It was made from the unsigned binaries: an Authenticode hash
# leaves the signature out, so it still lists the signed ones (checked below).
for f in ${package_files[@]+"${package_files[@]}"}; do
    mkdir -p "$work/$(dirname "$f")"
    case "$f" in
    *.exe | *.dll) cp "$work/bin/$(basename "$f")" "$work/$f" ;;
    *.cat) sign_one "$dist/$f" "$work/$f" ;;
    *) cp "$dist/$f" "$work/$f" ;;
    esac
done

# What the signatures are checked against: the test root, or the signing
# certificate's own chain (and the roots this machine trusts).
trusted=$stage/trusted
if [ -n "$pfx" ]; then
    openssl pkcs12 -in "$pfx" -nokeys -passin fd:3 -out "$trusted" 2>/dev/null 3< <(printf '%s' "$password") ||
        die "cannot read the certificates in $pfx"
elif [ -n "$module" ]; then
    cp "$SIGNING_CERTS" "$trusted"
else
    cp "$signing_dir/root.pem" "$trusted"
fi
[ -z "$pfx$module" ] || [ ! -f /etc/ssl/certs/ca-certificates.crt ] || cat /etc/ssl/certs/ca-certificates.crt >>"$trusted"
password=

signed=()
for f in "${binaries[@]}"; do signed+=("$work/bin/$(basename "$f")"); done
toolkit symbol_store "$llvm_bin/llvm-pdbutil" "$work/symbols" "$dist" "${signed[@]}" >/dev/null
cp "$dist/TOOLCHAIN.txt" "$work/TOOLCHAIN.txt"

# The signed packages pass the gate: each catalog lists every file as
# released, signed binaries included, and its signature verifies.
signed_infs=()
for f in ${infs[@]+"${infs[@]}"}; do signed_infs+=("$work/${f#"$dist"/}"); done
if [ ${#signed_infs[@]} -gt 0 ]; then
    echo "== the signed packages"
    toolkit release_gate --llvm-bin "$llvm_bin" --catalog-ca "$trusted" "${signed_infs[@]}" ||
        die "a signed package fails the gate (above): no release"
fi
rm -f "$trusted"

if [ -z "$pfx$module" ]; then
    openssl x509 -in "$signing_dir/root.pem" -outform DER -out "$work/test-signing.cer"
    openssl x509 -in "$signing_dir/signer.pem" -outform DER -out "$work/test-signer.cer"
    cat >"$work/TEST-SIGNED.txt" <<EOF
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
Valid until: $(openssl x509 -in "$signing_dir/signer.pem" -noout -enddate | sed 's/^notAfter=//') (the test
             certificates last 90 days; the signatures stop verifying then)
EOF
fi

cat >"$work/RELEASE.txt" <<EOF
$mark

Run again with this folder as its OUT, that script replaces the folder whole,
and the zip beside it.
EOF

(cd "$work" && find . -type f ! -name SHA256SUMS -printf '%P\n' | LC_ALL=C sort |
     xargs -d '\n' sha256sum >SHA256SUMS)

toolkit write_zip "$stage/release.zip" "$work" "$name" "$release_time" "$mark"
mv "$work" "$out"
mv "$stage/release.zip" "$zip"
trap - EXIT
rm -rf "$stage"

echo "== release $version in $out"
(cd "$out" && find . -type f -printf '   %P\n' | LC_ALL=C sort)
echo "== $zip ($(stat -c %s "$zip") bytes)"
if [ -n "$pfx$module" ] && [ "$timestamp_url" = none ]; then
    # The signer's dates are printed whether or not its chain is trusted here.
    expires=$({ osslsigncode verify -in "$out/bin/$(basename "${binaries[0]}")" 2>/dev/null || true; } |
                  sed -n 's/^[[:space:]]*notAfter : //p' | head -1)
    echo "== NO TIME STAMP (SIGNING_TIMESTAMP_URL=none): these signatures stop verifying when the signing certificate expires (${expires:-date unknown})"
fi
