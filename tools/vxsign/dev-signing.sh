#!/usr/bin/env bash
# dev-signing.sh DIR: a development signing root and a "Vexora, Inc." code-signing
# certificate under it, made once in DIR and kept there. Prints the root's SHA-1
# thumbprint (40 hexadecimal digits), which the build trusts through
# VX_TRUSTED_TEST_ROOT_SHA1.
#
# The keys never leave the build folder and are never committed; a release is
# signed with the real certificate instead (see the README).
set -euo pipefail
dir=$1
umask 077
mkdir -p "$dir"
cd "$dir"

if [ ! -s root.pem ] || [ ! -s signer.pem ] || [ ! -s signer.key ] || [ ! -s chain.pem ]; then
  rm -f root.key root.pem signer.key signer.csr signer.pem chain.pem
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 3650 \
    -subj "/O=Vexora development/CN=Vexora Development Root ($(hostname))" \
    -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign,cRLSign" \
    -keyout root.key -out root.pem 2>/dev/null
  openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes \
    -subj "/O=Vexora development/CN=Vexora, Inc." \
    -keyout signer.key -out signer.csr 2>/dev/null
  openssl x509 -req -in signer.csr -CA root.pem -CAkey root.key -CAcreateserial \
    -days 3650 -out signer.pem \
    -extfile <(printf '%s\n' "basicConstraints=critical,CA:FALSE" \
                              "keyUsage=critical,digitalSignature" \
                              "extendedKeyUsage=codeSigning") 2>/dev/null
  rm -f signer.csr root.srl
  # The root's key has done its work; only the signer signs from now on.
  rm -f root.key
  cat signer.pem root.pem >chain.pem
fi

openssl x509 -in root.pem -noout -fingerprint -sha1 | sed 's/.*=//; s/://g'
