#!/usr/bin/env bash
# A throwaway code-signing CA, made fresh with openssl for one test run
# (never a real one in the repository):
#   ca.pem, ca.key          the CA
#   signer.pem, signer.key  a code-signing certificate it issued, and its key
#   tsa.pem, tsa.key        a time-stamping authority it issued, and its key
#   tsa.cnf                 what `openssl ts -reply -config tsa.cnf` needs
#   other-ca.pem            an unrelated CA that trusts none of them
# Usage: code-signing-ca.sh <folder>
set -euo pipefail
dir=$1
rm -rf "$dir"
mkdir -p "$dir"
cd "$dir"

ca() {  # name, subject
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.pem" -days 30 -subj "$2" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
}
issue() {  # name, subject, extended key usage
  openssl req -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.csr" -subj "$2" 2>/dev/null
  printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=%s\n' "$3" > "$1.ext"
  openssl x509 -req -in "$1.csr" -CA ca.pem -CAkey ca.key -set_serial "0x$(openssl rand -hex 8)" \
    -days 30 -extfile "$1.ext" -out "$1.pem" 2>/dev/null
  rm "$1.csr" "$1.ext"
}

ca ca "/CN=Velmora Test Code Signing CA (test only)"
ca other-ca "/CN=Unrelated Test CA (test only)"
rm other-ca.key
issue signer "/CN=Velmora Test Publisher (test only)" codeSigning
issue tsa "/CN=Velmora Test Time Stamping (test only)" critical,timeStamping
echo 01 > tsa.serial
cat > tsa.cnf <<CNF
[ tsa ]
default_tsa = tsa_config
[ tsa_config ]
serial = $PWD/tsa.serial
signer_digest = sha256
default_policy = 1.3.6.1.4.1.55555.1
digests = sha256, sha384, sha512
accuracy = secs:1
ess_cert_id_alg = sha256
CNF
echo "code-signing CA made in $dir"
