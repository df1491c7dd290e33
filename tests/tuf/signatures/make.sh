#!/usr/bin/env bash
# Makes the signature fixtures of tsign_test.cpp with Debian's minisign (run it here;
# the keys are new each time, the secret keys are thrown away):
#   key.pub, other-key.pub             two public keys
#   signed.bin                         the signed file
#   signed.bin.minisig                 its signature by key.pub (prehashed, minisign's default)
#   legacy.minisig                     its legacy signature by key.pub (minisign -l)
#   by-other-key.minisig               its signature by other-key.pub
#   other-file.minisig                 the signature by key.pub of another file
set -euo pipefail
cd "$(dirname "$0")"
secret=$(mktemp -d)
trap 'rm -rf "$secret"' EXIT
minisign -G -W -f -p key.pub -s "$secret/key.sec" >/dev/null
minisign -G -W -f -p other-key.pub -s "$secret/other-key.sec" >/dev/null
seq 1 300 | sed 's/^/line /' > signed.bin
minisign -S -s "$secret/key.sec" -m signed.bin >/dev/null
minisign -S -l -s "$secret/key.sec" -m signed.bin -x legacy.minisig >/dev/null
minisign -S -s "$secret/other-key.sec" -m signed.bin -x by-other-key.minisig >/dev/null
echo "another file" > "$secret/another.bin"
minisign -S -s "$secret/key.sec" -m "$secret/another.bin" -x other-file.minisig >/dev/null
