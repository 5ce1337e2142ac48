#!/bin/bash
# Checks the signatures of the releases made by release_setup.sh: every signed
# file verifies against its own root and not against another one; a one-byte
# change breaks it; with the signature removed each file is its dist/ original
# (the header checksum aside); the PKCS#12 file's certificate is the signer of
# that release and its password is nowhere to be read; the test-signed release
# is signed by the build tree's test certificate and ships that root; each
# package's catalog is signed by the same signer and vouches, through
# osslsigncode, for its two signed binaries and not for a changed one. The
# signing rules: a real certificate needs SIGNING_TIMESTAMP_URL (none: the
# run's summary says the signatures expire), a PIN in the key's URI is refused
# before anything starts and without being repeated, and the test certificates
# last at most 90 days, made anew with less than a week left (root key gone).
#   check_release_signing.sh DIST BUILD
set -u
dist=$1 tr=$2/test-release
fail=0
bad() { echo "FAIL $1: $2"; fail=1; }
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT

# verifies FILE ROOT_PEM: osslsigncode's own verdict, exit code and text.
verifies() {
    local out
    out=$(osslsigncode verify -CAfile "$2" -in "$1" 2>&1) && grep -qx 'Signature verification: ok' <<<"$out"
}
# signer FILE: "subject serial" of the signature's signer.
signer() {
    osslsigncode verify -CAfile "$tr/cert/other-root.pem" -in "$1" 2>/dev/null |
        awk '/^Signer.s certificate:/ { on = 1 }
             on && /Subject: / { sub(/.*Subject: /, ""); s = $0 }
             on && /Serial : / { sub(/.*Serial : /, ""); print s, $0; exit }'
}
cert_id() {
    printf '%s %s\n' "$(openssl x509 -in "$1" -noout -subject -nameopt compat | sed 's/^subject=//')" \
                     "$(openssl x509 -in "$1" -noout -serial | sed 's/^serial=//')"
}
# checksum_offset FILE: where the PE header checksum lies (0-based).
checksum_offset() {
    local pe
    pe=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
    echo $((pe + 24 + 64))
}

openssl x509 -inform DER -in "$tr/default/release/test-signing.cer" -out "$tmp/shipped-root.pem" 2>/dev/null ||
    bad default "test-signing.cer is not a DER certificate"
cmp -s "$tmp/shipped-root.pem" "$tr/default/signing/root.pem" ||
    bad default "test-signing.cer is not the build tree's test root"

for kind in pfx default; do
    rel=$tr/$kind/release
    case $kind in
    pfx) root=$tr/cert/root.pem signer_cert=$tr/cert/signer.pem ;;
    default) root=$tmp/shipped-root.pem signer_cert=$tr/default/signing/signer.pem ;;
    esac
    want=$(cert_id "$signer_cert")
    n=0
    for orig in "$dist"/*.exe "$dist"/*.dll; do
        name=$(basename "$orig")
        f=$rel/bin/$name
        [ -f "$f" ] || { bad "$kind $name" "not in bin/"; continue; }
        n=$((n + 1))
        for copy in "$f" "$rel"/symbols/"$name"/*/"$name"; do
            verifies "$copy" "$root" || bad "$kind ${copy#$rel/}" "does not verify against its root"
        done
        ! verifies "$f" "$tr/cert/other-root.pem" || bad "$kind $name" "verifies against an unrelated root"
        got=$(signer "$f")
        [ "$got" = "$want" ] || bad "$kind $name" "signed by '$got', not '$want'"
        # One byte in the middle of the image, inside what the signature covers.
        cp "$f" "$tmp/changed"
        at=$(($(stat -c %s "$orig") / 2))
        python3 -c 'import sys
with open(sys.argv[1], "r+b") as f:
    f.seek(int(sys.argv[2])); b = f.read(1); f.seek(-1, 1); f.write(bytes([b[0] ^ 0xFF]))' "$tmp/changed" $at
        cmp -s "$f" "$tmp/changed" && bad "$kind $name" "the byte at $at did not change"
        ! verifies "$tmp/changed" "$root" || bad "$kind $name" "still verifies with the byte at $at changed"
        # Signing changed nothing but the appended signature and the checksum.
        rm -f "$tmp/unsigned"
        osslsigncode remove-signature -in "$f" -out "$tmp/unsigned" >/dev/null 2>&1 ||
            { bad "$kind $name" "remove-signature failed"; continue; }
        cs=$(checksum_offset "$orig")
        diffs=$(cmp -l "$orig" "$tmp/unsigned" 2>&1 | awk -v lo=$((cs + 1)) -v hi=$((cs + 4)) '$1 !~ /^[0-9]+$/ || $1 < lo || $1 > hi')
        [ -z "$diffs" ] || bad "$kind $name" "unsigned, it differs from dist/ beyond the checksum: $(head -3 <<<"$diffs")"
    done
    [ $n -ge 6 ] || bad "$kind" "only $n binaries checked"
    [ $fail = 0 ] && echo "ok $kind: $n binaries and their store copies, signed by $want"

    # Each package's catalog, made before the binaries were signed, is signed
    # by the same signer and vouches for both signed binaries in it, and for
    # neither once a byte of it changes.
    n=0
    for cat in "$rel"/package/*/printer.cat; do
        [ "$(signer "$cat")" = "$want" ] || bad "$kind ${cat#$rel/}" "signed by '$(signer "$cat")', not '$want'"
        for f in "$(dirname "$cat")"/*.exe "$(dirname "$cat")"/*.dll; do
            n=$((n + 1))
            out=$(osslsigncode verify -catalog "$cat" -in "$f" -CAfile "$root" 2>&1) &&
                grep -qx 'Signature verification: ok' <<<"$out" ||
                bad "$kind ${f#$rel/}" "does not verify through its catalog: $(tail -3 <<<"$out")"
            cp "$f" "$tmp/changed"
            python3 -c 'import sys
with open(sys.argv[1], "r+b") as f:
    f.seek(1024); b = f.read(1); f.seek(-1, 1); f.write(bytes([b[0] ^ 0xFF]))' "$tmp/changed"
            ! osslsigncode verify -catalog "$cat" -in "$tmp/changed" -CAfile "$root" >/dev/null 2>&1 ||
                bad "$kind ${f#$rel/}" "verifies through its catalog with a byte changed"
        done
    done
    [ $n = 6 ] || bad "$kind" "$n packaged binaries checked through their catalogs, not 6"
    [ $fail = 0 ] && echo "ok $kind: the 3 package catalogs vouch for their 6 signed binaries, and not for a changed one"
done

# The password given with the PKCS#12 file: not in the release, its zip, the
# run's output, nor in any start of osslsigncode or openssl.
pw=$(cat "$tr/cert/password")
grep -c '^start: osslsigncode sign ' "$tr/pfx/starts.log" | grep -qx 9 ||
    bad pfx "the shims did not see nine signings (six binaries, three catalogs): $(grep -c '^start: ' "$tr/pfx/starts.log")"
for where in "$tr/pfx/release" "$tr/pfx/make.log" "$tr/pfx/starts.log"; do
    ! grep -rqF -- "$pw" "$where" || bad pfx "the password is in $(grep -rlF -- "$pw" "$where" | head -1)"
done
python3 -c 'import sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
sys.exit(any(sys.argv[2].encode() in z.read(n) for n in z.namelist()))' \
    "$tr"/pfx/printer-companions-*.zip "$pw" || bad pfx "the password is in the zip"
[ ! -e "$tr/pfx/signing" ] || bad pfx "a test certificate was made although SIGNING_PFX was given"
[ $fail = 0 ] && echo "ok the password is in no release file, log or command line"

grep -q 'NO TIME STAMP (SIGNING_TIMESTAMP_URL=none): these signatures stop verifying when the signing certificate expires ([A-Z][a-z][a-z] ' \
    "$tr/pfx/make.log" || bad pfx "the summary does not say when the untime-stamped signatures expire: $(tail -2 "$tr/pfx/make.log")"
r=$tr/refused
for case in notimestamp pin; do
    [ "$(cat "$r/$case.rc")" != 0 ] || bad $case "the release went ahead"
    [ -z "$(ls -A "$r/$case" 2>/dev/null)" ] || bad $case "it left $(cd "$r/$case" && find . | head -3 | xargs)"
done
grep -q 'SIGNING_TIMESTAMP_URL is not set. Signatures made with a real certificate and no time stamp stop verifying' \
    "$r/notimestamp.log" || bad notimestamp "the message does not name the setting and why: $(cat "$r/notimestamp.log")"
! grep -q '^start: osslsigncode' "$r/notimestamp.starts" || bad notimestamp "osslsigncode was started"
grep -q "SIGNING_KEY carries the PIN (pin-value=), which would put it on osslsigncode's command line" "$r/pin.log" ||
    bad pin "the message does not say why: $(cat "$r/pin.log")"
! grep -qF -- "$(cat "$tr/cert/pin")" "$r/pin.log" || bad pin "the message repeats the PIN"
[ ! -s "$r/pin.starts" ] || bad pin "programs were started: $(grep '^start: ' "$r/pin.starts" | head -3)"
[ $fail = 0 ] && echo "ok a real certificate needs a time-stamp setting, and a PIN in the key URI is refused"

# days CERT: how many days the certificate is valid for in all.
days() {
    echo $(( ($(date -d "$(openssl x509 -in "$1" -noout -enddate | sed 's/^notAfter=//')" +%s) -
              $(date -d "$(openssl x509 -in "$1" -noout -startdate | sed 's/^notBefore=//')" +%s)) / 86400 ))
}
for dir in "$tr/default/signing" "$tr/expiring/signing"; do
    for c in root signer; do
        [ "$(days "$dir/$c.pem")" -le 90 ] || bad "${dir#$tr/}" "$c.pem is valid for $(days "$dir/$c.pem") days"
    done
    [ "$(cd "$dir" && ls | xargs)" = "root.pem signer.key signer.pem" ] || bad "${dir#$tr/}" "holds $(cd "$dir" && ls | xargs)"
done
! cmp -s "$tr/expiring/old-root.pem" "$tr/expiring/signing/root.pem" ||
    bad expiring "the test root with three days left was used again"
verifies "$tr/expiring/release/bin/HELDRAVO.dll" "$tr/expiring/signing/root.pem" ||
    bad expiring "the release is not signed under the new test root"
[ $fail = 0 ] && echo "ok test certificates last at most 90 days and are made anew with less than a week left"
exit $fail
