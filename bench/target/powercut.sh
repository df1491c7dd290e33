#!/usr/bin/env bash
# Power cuts on the emulated device (bench/target/powercut.py): the static armel upgqx4170
# applies a program package of 21 files (100 KiB to 32 MiB) over files of other content on the
# ext4 root disk of a 128 MiB device; QEMU is killed at a random moment of the apply, N times,
# and after each cut the root image is examined offline (journal replayed, e2fsck, the files
# taken out with debugfs). Ends with the line "N cuts: A files old, B new, C torn"; exit 1 when
# a file was torn or anything else went wrong.
#
#   bench/target/powercut.sh N [OUT_DIR]   (default: a temporary folder, removed at the end;
#                                           an OUT_DIR keeps the root image of every torn cut)
#
# Needs what .ci/target needs (scripts/require --install arm target).
set -euo pipefail
cd "$(dirname "$0")/../.."
cuts=${1:?usage: bench/target/powercut.sh N [OUT_DIR]}
. bench/target/prepare.sh "${2:-}" target-powercut
bench/target/powercut.py "$cuts" --out "$out" --program out/release/armel/upgqx4170 \
  --keyhost "$build/tests/target/target_keyhost" --tufpkg "$build/tools/tufpkg/tufpkg" |
  grep -v -e '^\[' -e '^times: '
