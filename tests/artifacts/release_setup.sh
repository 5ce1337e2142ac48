#!/bin/bash
# Makes, afresh, the releases that the release checks read, under
# BUILD/test-release:
#   dist/     DIST with a stray binary (STRAY.exe and its PDB) that the build does not list
#   cert/     a root, a code-signing certificate issued by it and the same
#             certificate as a password-protected PKCS#12 file (the password in
#             cert/password), and an unrelated root (other-root.pem)
#   pfx/      a release signed through SIGNING_PFX; pfx/make.log is its output,
#             pfx/starts.log the arguments and environment of every
#             osslsigncode and openssl it started
#   default/  a release signed with the test certificate it made in default/signing
#   again/    the same as default/, made again with that same test certificate
#   expiring/ a test-signed release whose signing/ held a test certificate with
#             three days left (its root kept as old-root.pem)
#   refused/  runs that must stop: <case>.log their output, <case>.rc their exit
#             code, <case>/ where their release would be (for notimestamp, with
#             a copy of default/'s release and zip there first), <case>.starts the
#             programs they started (notimestamp: SIGNING_PFX without
#             SIGNING_TIMESTAMP_URL; pin: a PKCS#11 key URI with pin-value=)
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

# Every osslsigncode, openssl and python3 the release starts goes through a
# shim that records its arguments and environment (in $STARTS_LOG).
for tool in osslsigncode openssl python3; do
    real=$(command -v "$tool")
    printf '#!/bin/bash\n{ printf "start: %%s\\n" "%s $*"; env | sed "s/^/env: /"; } >>"$STARTS_LOG"\nexec "%s" "$@"\n' \
        "$tool" "$real" >"$tr/pfx/shims/$tool"
    chmod 700 "$tr/pfx/shims/$tool"
done

# The releases are made from a copy of DIST with a file the build does not
# list, which must not ship.
cp -r "$dist" "$tr/dist"
cp "$dist/TAVRIKEN.exe" "$tr/dist/STRAY.exe"
cp "$dist/TAVRIKEN.pdb" "$tr/dist/STRAY.pdb"
dist=$tr/dist
release() { "$source_dir/tools/release/make_release.sh" "$dist" "$@"; }
unset SIGNING_PFX SIGNING_PASSWORD SIGNING_TIMESTAMP_URL SIGNING_PKCS11_MODULE SIGNING_KEY SIGNING_CERTS
SIGNING_PFX=$cert/signer.pfx SIGNING_PASSWORD=$(cat "$cert/password") SIGNING_TIMESTAMP_URL=none \
    STARTS_LOG=$tr/pfx/starts.log PATH=$tr/pfx/shims:$PATH \
    release "$tr/pfx/release" "$tr/pfx/signing" >"$tr/pfx/make.log" 2>&1 ||
    { cat "$tr/pfx/make.log"; exit 1; }
release "$tr/default/release" "$tr/default/signing"
release "$tr/again/release" "$tr/default/signing" >/dev/null

mkdir -p "$tr/expiring/signing"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$tr/expiring/root.key" -out "$tr/expiring/signing/root.pem" \
    -days 3 -subj "/CN=Release check expiring root" -config "$cert/ext.cnf" -extensions root 2>/dev/null
openssl req -new -newkey rsa:2048 -nodes -keyout "$tr/expiring/signing/signer.key" -out "$tr/expiring/signer.csr" \
    -subj "/CN=Release check expiring signer" -config "$cert/ext.cnf" 2>/dev/null
openssl x509 -req -in "$tr/expiring/signer.csr" -CA "$tr/expiring/signing/root.pem" -CAkey "$tr/expiring/root.key" \
    -set_serial 1 -days 3 -extfile "$cert/ext.cnf" -extensions signer -out "$tr/expiring/signing/signer.pem" 2>/dev/null
cp "$tr/expiring/signing/root.pem" "$tr/expiring/old-root.pem"
release "$tr/expiring/release" "$tr/expiring/signing" >/dev/null

# refuse CASE SETTING...: runs the release with those settings only.
mkdir -p "$tr/refused"
refuse() {
    local case=$1; shift
    set +e
    env "$@" STARTS_LOG="$tr/refused/$case.starts" PATH="$tr/pfx/shims:$PATH" \
        "$source_dir/tools/release/make_release.sh" "$dist" "$tr/refused/$case/release" "$tr/refused/$case/signing" \
        >"$tr/refused/$case.log" 2>&1
    echo $? >"$tr/refused/$case.rc"
    set -e
    touch "$tr/refused/$case.starts"
}
# A release of an earlier run (a copy of default/ and its zip), which a
# refused run must not leave behind.
mkdir -p "$tr/refused/notimestamp"
cp -r "$tr/default/release" "$tr"/default/printer-companions-*.zip "$tr/refused/notimestamp/"
refuse notimestamp SIGNING_PFX="$cert/signer.pfx" SIGNING_PASSWORD="$(cat "$cert/password")"
printf 'pin-%s' "$(openssl rand -hex 6)" >"$cert/pin"
refuse pin SIGNING_PKCS11_MODULE="$cert/ext.cnf" SIGNING_CERTS="$cert/signer.pem" \
    SIGNING_KEY="pkcs11:token=t;object=k;type=private;pin-value=$(cat "$cert/pin")" SIGNING_TIMESTAMP_URL=none
