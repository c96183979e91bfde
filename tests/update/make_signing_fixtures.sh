#!/usr/bin/env bash
# For the test of code-signed launchers: a throwaway code-signing CA in
# <folder>/ca and a copy of the launcher signed with it by the release tool,
# <folder>/VelmoraMultiplayer-signed.exe.
# Usage: make_signing_fixtures.sh <repository> <folder> <launcher exe>
set -euo pipefail
repo=$1 dir=$2 launcher=$3
bash "$repo/tests/support/code-signing-ca.sh" "$dir/ca"
node "$repo/tools/velmora-release.mjs" sign-exe "$launcher" --out "$dir/VelmoraMultiplayer-signed.exe" \
     --cert "$dir/ca/signer.pem" --key "$dir/ca/signer.key"
node "$repo/tools/velmora-release.mjs" verify-exe "$dir/VelmoraMultiplayer-signed.exe" --ca "$dir/ca/ca.pem" \
     --built "$launcher"
