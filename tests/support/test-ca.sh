#!/usr/bin/env bash
# Makes the test CA and a certificate for "localhost" from it (once per build
# folder), and trusts the CA inside the build's Wine prefix only; the host's
# own trust store and ~/.wine are never touched.
# Usage: test-ca.sh <build folder> <trust helper exe>
set -euo pipefail
build=$1 helper=$2
dir=$build/test-ca
mkdir -p "$dir"
cd "$dir"
if [ ! -f localhost.pem ] || [ ! -f ca.pem ]; then
  openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 3650 \
    -subj "/CN=Velmora Test CA (build $RANDOM)" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
  openssl req -newkey rsa:2048 -nodes -keyout localhost.key -out localhost.csr -subj "/CN=localhost" 2>/dev/null
  printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' > localhost.ext
  openssl x509 -req -in localhost.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 3650 \
    -extfile localhost.ext -out localhost.pem 2>/dev/null
  rm -f localhost.csr
fi
# A certificate for localhost that nothing trusts: what a player meets with
# a server whose certificate is self-made.
if [ ! -f untrusted.pem ]; then
  openssl req -x509 -newkey rsa:2048 -nodes -keyout untrusted.key -out untrusted.pem -days 3650 \
    -subj "/CN=localhost" -addext subjectAltName=DNS:localhost 2>/dev/null
fi
winpath="Z:$(echo "$dir/ca.pem" | tr / '\\')"
exec bash "$(dirname "$0")/../../cmake/wine-run.sh" --build "$build" "$helper" "$winpath"
