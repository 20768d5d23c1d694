#!/usr/bin/env bash
# Makes the test certificates that sign the images, once: a code-signing test
# root and a leaf it issues (RSA 3072, SHA-256, ten years), and the leaf with
# its key as leaf.pfx (empty password) for SignTool on Windows. The keys stay
# under build/ and are never committed.
#
#   scripts/test-signing.sh DIR
set -euo pipefail
dir=$1
[ -s "$dir/leaf.pfx" ] && exit 0
mkdir -p "$dir"
tmp=$(mktemp -d "$dir/.new.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
cat > "$tmp/x509.cnf" <<'CNF'
[req]
distinguished_name = name
[name]
[root]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[leaf]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
CNF
for key in root leaf; do
    openssl genpkey -quiet -algorithm RSA -pkeyopt rsa_keygen_bits:3072 -out "$tmp/$key.key"
done
openssl req -x509 -new -sha256 -days 3650 -key "$tmp/root.key" -subj "/CN=Velmora multiport serial test root" \
    -config "$tmp/x509.cnf" -extensions root -out "$tmp/root.crt"
openssl req -new -key "$tmp/leaf.key" -subj "/CN=Velmora multiport serial test signing" -config "$tmp/x509.cnf" |
    openssl x509 -req -sha256 -days 3650 -CA "$tmp/root.crt" -CAkey "$tmp/root.key" -set_serial 2 \
        -extfile "$tmp/x509.cnf" -extensions leaf -out "$tmp/leaf.crt" 2>/dev/null
openssl pkcs12 -export -passout pass: -inkey "$tmp/leaf.key" -in "$tmp/leaf.crt" -certfile "$tmp/root.crt" \
    -name "Velmora multiport serial test signing" -out "$tmp/leaf.pfx"
mv "$tmp"/root.crt "$tmp"/root.key "$tmp"/leaf.crt "$tmp"/leaf.key "$dir"/
mv "$tmp/leaf.pfx" "$dir/"
