#!/usr/bin/env bash
# Signs a driver image with the package's test certificate and checks the signature.
#   sign.sh IN.sys OUT.sys CERT_DIR PACKAGE_DIR
# The certificate (self-signed, code signing) and its key are made once in CERT_DIR
# and kept, so that both architectures' images carry the same signer; its public part
# goes into the package as vcomusb-test.cer for the machines that are to trust it.
set -euo pipefail
in=$1 out=$2 certdir=$3 package=$4
mkdir -p "$certdir" "$package"
key=$certdir/vcomusb-test.key crt=$certdir/vcomusb-test.crt
(
  flock 9
  if [ ! -s "$crt" ] || [ ! -s "$key" ]; then
    openssl req -x509 -newkey rsa:3072 -sha256 -nodes -days 3650 \
      -subj "/CN=vcomusb test signing (do not trust in production)" \
      -addext "keyUsage=critical,digitalSignature" \
      -addext "extendedKeyUsage=codeSigning" \
      -addext "basicConstraints=critical,CA:FALSE" \
      -keyout "$key.new" -out "$crt.new" 2>/dev/null
    mv "$key.new" "$key"
    mv "$crt.new" "$crt"
  fi
  openssl x509 -in "$crt" -outform der -out "$package/vcomusb-test.cer"
) 9>"$certdir/.lock"
rm -f "$out.tmp"
osslsigncode sign -certs "$crt" -key "$key" -h sha256 -n "vcomusb" -in "$in" -out "$out.tmp" >/dev/null
osslsigncode verify -CAfile "$crt" -in "$out.tmp" >/dev/null
mv "$out.tmp" "$out"
