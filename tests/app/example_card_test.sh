#!/usr/bin/env bash
# The example card applies in upgsim: both packages confirmed, the power key ends
# the run, and the root file system holds what the packages and the first script wrote.
#   example_card_test.sh UPGSIM CARD
set -euo pipefail
upgsim=$1
card=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/rootfs/cmap"
printf '1.3.2\n2026.06\nnone' > "$work/rootfs/cmap/version.txt"

"$upgsim" --rootfs "$work/rootfs" --card "$card" --screens "$work/screens" --fast \
  --keys right,left,ok,ok,power > "$work/out" 2> "$work/err" || { cat "$work/out" "$work/err"; exit 1; }

fail() { echo "FAIL: $*"; cat "$work/out" "$work/err"; exit 1; }
[ "$(cat "$work/rootfs/cmap/version.txt")" = "$(printf '1.4.0\n2026.12\nnone')" ] || fail "version file"
[ "$(cat "$work/rootfs/opt/qx4170/var/status.txt")" = "$(printf 'qx4170 program 1.4.0\ncard: present')" ] || fail "program command"
grep -q region01 "$work/rootfs/cmap/maps/installed.txt" || fail "map command"
grep -q "upgrade from card /QX4XX/MMC" "$work/rootfs/var/log/upgrade.log" || fail "first script"
[ "$(grep -c '^TODO first script!!!$' "$work/out")" = 1 ] || fail "first script ran more than once"
grep -q "packages applied : 2" "$work/out" || fail "summary"
grep -q "powered off by the power key" "$work/out" || fail "power key"
[ "$(ls "$work/screens" | wc -l)" -ge 5 ] || fail "screens"
echo "example card applied"
