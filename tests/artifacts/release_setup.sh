#!/bin/bash
# Makes, afresh, the releases that the release checks read, under
# BUILD/test-release:
#   cert/     a root, a code-signing certificate issued by it and the same
#             certificate as a password-protected PKCS#12 file (the password in
#             cert/password), and an unrelated root (other-root.pem)
#   pfx/      a release signed through SIGNING_PFX; pfx/make.log is its output,
#             pfx/starts.log the arguments and environment of every
#             osslsigncode and openssl it started
#   default/  a release signed with the test certificate it made in default/signing
#   again/    the same as default/, made again with that same test certificate
#   release_setup.sh SOURCE DIST BUILD
set -euo pipefail
source_dir=$1 dist=$2 build=$3
tr=$build/test-release
rm -rf "$tr"
mkdir -p "$tr/cert" "$tr/pfx/shims"
umask 077

cert=$tr/cert
cat >"$cert/ext.cnf" <<'EOF'
[root]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign
[signer]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
EOF
for root in root other-root; do
    openssl req -x509 -newkey rsa:2048 -nodes -keyout "$cert/$root.key" -out "$cert/$root.pem" \
        -days 30 -subj "/CN=Release check $root" -config "$cert/ext.cnf" -extensions root 2>/dev/null
done
openssl req -new -newkey rsa:2048 -nodes -keyout "$cert/signer.key" -out "$cert/signer.csr" \
    -subj "/O=Release check/CN=Release check signer" -config "$cert/ext.cnf" 2>/dev/null
openssl x509 -req -in "$cert/signer.csr" -CA "$cert/root.pem" -CAkey "$cert/root.key" \
    -set_serial "0x$(openssl rand -hex 16)" -days 30 -extfile "$cert/ext.cnf" -extensions signer \
    -out "$cert/signer.pem" 2>/dev/null
printf 'pw-%s' "$(openssl rand -hex 12)" >"$cert/password"
openssl pkcs12 -export -inkey "$cert/signer.key" -in "$cert/signer.pem" -certfile "$cert/root.pem" \
    -passout "file:$cert/password" -out "$cert/signer.pfx"

# Every osslsigncode and openssl the release starts goes through a shim that
# records its arguments and environment.
for tool in osslsigncode openssl; do
    real=$(command -v "$tool")
    printf '#!/bin/bash\n{ printf "start: %%s\\n" "%s $*"; env | sed "s/^/env: /"; } >>"%s"\nexec "%s" "$@"\n' \
        "$tool" "$tr/pfx/starts.log" "$real" >"$tr/pfx/shims/$tool"
    chmod 700 "$tr/pfx/shims/$tool"
done

release() { "$source_dir/tools/release/make_release.sh" "$dist" "$@"; }
SIGNING_PFX=$cert/signer.pfx SIGNING_PASSWORD=$(cat "$cert/password") PATH=$tr/pfx/shims:$PATH \
    release "$tr/pfx/release" "$tr/pfx/signing" >"$tr/pfx/make.log" 2>&1 ||
    { cat "$tr/pfx/make.log"; exit 1; }
(unset SIGNING_PFX SIGNING_PASSWORD; release "$tr/default/release" "$tr/default/signing")
(unset SIGNING_PFX SIGNING_PASSWORD; release "$tr/again/release" "$tr/default/signing") >/dev/null
