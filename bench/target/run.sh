#!/usr/bin/env bash
# Apply speed on the emulated device at an SD card's speed (QEMU throttling: the card read at
# 10 MB/s, the root disk written at 5 MB/s): the static armel upgqx4170 applies a map tree
# package (four files of 3 to 6 MiB, 480 small ones, about 22 MiB) until its data is on the
# disk; in the same guest busybox tar -xzf unpacks the same tree from the same card onto the
# same ext4 disk, and the I/O floor is measured: the package read from the card plus, on its
# own, the tree's bytes written with one fsync. Page cache dropped before each. Prints the
# times and the ratios apply / tar (target 0.6) and apply / floor (target 1.2).
#
#   bench/target/run.sh [OUT_DIR]      (default: a temporary folder, removed at the end)
#
# Needs what .ci/target needs (scripts/require --install arm target).
set -euo pipefail
cd "$(dirname "$0")/../.."
. bench/target/prepare.sh "${1:-}" target-bench
tests/target/harness.py bench --out "$out" --program out/release/armel/upgqx4170 \
  --keyhost "$build/tests/target/target_keyhost" --tufpkg "$build/tools/tufpkg/tufpkg" |
  sed -n -e '/^FAIL/p' -e '/^map tree:/,$p'
