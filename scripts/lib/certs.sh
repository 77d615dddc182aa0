#!/usr/bin/env bash
# A test CA and a server certificate it signed, for the throwaway servers:
#
#   certs.sh DIR [SAN]   makes DIR/ca.pem (once) and DIR/cert.pem with DIR/key.pem
#                        for SAN (default DNS:localhost,IP:127.0.0.1)
set -euo pipefail
dir=${1:?folder}
san=${2:-DNS:localhost,IP:127.0.0.1}
mkdir -p "$dir"
if [ ! -f "$dir/ca.pem" ]; then
  openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=Quorrel test CA" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
    -keyout "$dir/ca-key.pem" -out "$dir/ca.pem" >/dev/null 2>&1
fi
openssl req -newkey rsa:2048 -nodes -subj "/CN=${san#*:}" -keyout "$dir/key.pem" -out "$dir/cert.csr" \
  >/dev/null 2>&1
printf 'subjectAltName=%s\nextendedKeyUsage=serverAuth\n' "$san" > "$dir/cert.ext"
openssl x509 -req -in "$dir/cert.csr" -CA "$dir/ca.pem" -CAkey "$dir/ca-key.pem" -CAcreateserial -days 30 \
  -extfile "$dir/cert.ext" -out "$dir/cert.pem" >/dev/null 2>&1
rm -f "$dir/cert.csr" "$dir/cert.ext"
