#!/usr/bin/env bash
# Makes the signed releases and digest inputs that the update tests read,
# on the Linux side where openssl, sha256sum and the release tool run.
# Usage: make_fixtures.sh <repository> <fixtures folder> <stand-in launcher> <its release number>
set -euo pipefail
repo=$1 out=$2 next_launcher=$3 next_release=$4
key=$repo/tests/support/keys/test-release-key.TEST-ONLY.pem
tool=$repo/tools/velmora-release.mjs
rm -rf "$out"
mkdir -p "$out"/signed "$out"/other "$out"/digest "$out"/release-src/bin/sub "$out"/release-src/maps
cd "$out"

sign() { openssl dgst -sha256 -sign "$key" -out "$2" "$1"; }
digest() { sha256sum "$1" | cut -c1-64; }

# A release description with CR LF line ends, a nested and a UTF-8 path.
printf 'velmoramp-manifest 1\r\n# made by the test fixtures\r\nchannel stable\r\nbuild 1.4.2\r\nprotocol 7\r\nserver play.example.net 27015\r\nnotes Two  spaces kept\r\nfile bin/sub/mod.dll 1234 %s files/1.4.2/bin/sub/mod.dll\r\nfile maps/carte-\xc3\xa9t\xc3\xa9.map 0 %s files/1.4.2/maps/carte-\xc3\xa9t\xc3\xa9.map\r\n' \
  "$(printf a | sha256sum | cut -c1-64)" "$(printf '' | sha256sum | cut -c1-64)" > signed/manifest.txt
sign signed/manifest.txt signed/manifest.sig
openssl dgst -sha256 -sigopt rsa_padding_mode:pss -sign "$key" -out signed/manifest.pss.sig signed/manifest.txt
openssl dgst -sha1 -sign "$key" -out signed/manifest.sha1.sig signed/manifest.txt

# Another key, with its modulus in the form the build takes.
openssl genrsa -out other/other-key.pem 2048 2>/dev/null
openssl rsa -in other/other-key.pem -noout -modulus | sed 's/^Modulus=//' | tr 'A-F' 'a-f' > other/other-key.modulus
openssl dgst -sha256 -sign other/other-key.pem -out signed/manifest.other.sig signed/manifest.txt

# Signed but malformed: no file line; a file that climbs out of the game folder.
printf 'velmoramp-manifest 1\nchannel stable\nbuild 1.4.2\n' > signed/nofiles.txt
sign signed/nofiles.txt signed/nofiles.sig
printf 'velmoramp-manifest 1\nbuild 1.4.2\nfile ../outside.dll 1 %s files/x.dll\n' "$(digest signed/nofiles.txt)" > signed/unsafe.txt
sign signed/unsafe.txt signed/unsafe.sig

# Fresh and stale: a sequence with an expiry long past, and one far ahead.
printf 'velmoramp-manifest 1\nchannel stable\nsequence 41\nexpires 2001-09-09T01:46:40Z\nbuild 7\nfile a.dll 1 %s files/a.dll\n' \
  "$(printf a | sha256sum | cut -c1-64)" > signed/expired.txt
sign signed/expired.txt signed/expired.sig
printf 'velmoramp-manifest 1\nchannel stable\nsequence 42\nexpires 9999-12-31T23:59:59Z\nbuild 7\nfile a.dll 1 %s files/a.dll\n' \
  "$(printf a | sha256sum | cut -c1-64)" > signed/fresh.txt
sign signed/fresh.txt signed/fresh.sig

# A valid description padded with a comment to 67,108,863 bytes, the
# largest file the self-test reads.
{
  printf 'velmoramp-manifest 1\nchannel big\nbuild 9\nfile a.dll 1 %s files/a.dll\n#' "$(printf a | sha256sum | cut -c1-64)"
} > signed/largest.txt
size=$(stat -c %s signed/largest.txt)
head -c $((67108863 - size)) /dev/zero | tr '\0' 'x' >> signed/largest.txt
sign signed/largest.txt signed/largest.sig

# Digest inputs: empty, exactly one chunk, several chunks and a part.
: > digest/empty.bin
head -c 65536 /dev/urandom > digest/chunk.bin
head -c $((3 * 65536 + 12345)) /dev/urandom > digest/multi.bin
(cd digest && sha256sum empty.bin chunk.bin multi.bin > sums.txt)

# A release made by the publisher's tool: the first of its channel.
printf 'mod' > release-src/bin/sub/mod.dll
: > release-src/empty.cfg
printf 'carte' > $'release-src/maps/carte-\xc3\xa9t\xc3\xa9.map'
cp "$next_launcher" VelmoraMultiplayer.exe
node "$tool" publish release-src published --key "$key" --channel beta --build 2.0.1 --protocol 8 \
  --server play.example.net:27016 --notes "Round trip" --launcher VelmoraMultiplayer.exe --launcher-version "$next_release" \
  --sequence 1
echo "fixtures ready in $out"
