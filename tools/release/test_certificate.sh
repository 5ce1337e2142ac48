#!/bin/bash
# The build tree's test signing certificate: a test root and a code-signing
# certificate issued by it, both valid for 90 days, reused until less than a
# week is left and then made anew (so is one valid for longer, from an older
# build). The root's private key is thrown away once the signer is issued, so
# trusting this root on a test machine trusts nothing else, and only until it
# expires. Everything stays in DIR, inside the build tree.
#   test_certificate.sh DIR
# Leaves DIR/root.pem (the root's certificate), DIR/signer.pem and
# DIR/signer.key (the signer's certificate and private key, mode 0600).
set -euo pipefail
dir=$1
days=90
# still_good CERT: valid for another week, and for no more than $days days in all.
still_good() {
    local from to
    openssl x509 -in "$1" -noout -checkend $((7 * 86400)) >/dev/null 2>&1 || return 1
    from=$(date -d "$(openssl x509 -in "$1" -noout -startdate | sed 's/^notBefore=//')" +%s) || return 1
    to=$(date -d "$(openssl x509 -in "$1" -noout -enddate | sed 's/^notAfter=//')" +%s) || return 1
    [ $((to - from)) -le $((days * 86400)) ]
}
if [ -f "$dir/root.pem" ] && [ -f "$dir/signer.pem" ] && [ -f "$dir/signer.key" ] &&
   still_good "$dir/root.pem" && still_good "$dir/signer.pem"; then
    exit 0
fi

umask 077
mkdir -p "$(dirname "$dir")"
tmp=$(mktemp -d "$dir.new.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
# A configuration of our own, so the system's openssl.cnf adds nothing.
cat >"$tmp/openssl.cnf" <<'EOF'
[req]
distinguished_name = name
prompt = no
[name]
[root]
basicConstraints = critical, CA:TRUE, pathlen:0
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[signer]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
EOF
subject="/O=Printer driver companions/OU=TEST SIGNING ONLY - not for distribution"
openssl req -x509 -config "$tmp/openssl.cnf" -extensions root -newkey rsa:3072 -nodes \
    -keyout "$tmp/root.key" -out "$tmp/root.pem" -days $days -sha256 \
    -subj "$subject/CN=Printer companions test root" 2>/dev/null
openssl req -new -config "$tmp/openssl.cnf" -newkey rsa:3072 -nodes \
    -keyout "$tmp/signer.key" -out "$tmp/signer.csr" \
    -subj "$subject/CN=Printer companions test signer" 2>/dev/null
openssl x509 -req -in "$tmp/signer.csr" -CA "$tmp/root.pem" -CAkey "$tmp/root.key" \
    -set_serial "0x$(openssl rand -hex 16)" -days $days -sha256 \
    -extfile "$tmp/openssl.cnf" -extensions signer -out "$tmp/signer.pem" 2>/dev/null
rm -f "$tmp/root.key" "$tmp/signer.csr" "$tmp/openssl.cnf"
rm -rf "$dir"
mv "$tmp" "$dir"
trap - EXIT
echo "made the test signing certificate in $dir (valid until $(openssl x509 -in "$dir/signer.pem" -noout -enddate | sed 's/^notAfter=//'))"
