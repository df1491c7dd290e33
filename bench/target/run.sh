#!/usr/bin/env bash
# Apply speed on the emulated device: the static armel upgqx4170 applies a map tree package
# (four files of 3 to 6 MiB, 480 small ones, about 22 MiB) and busybox tar -xzf unpacks the
# same tree, in the same guest, from the same card onto the same ext4 disk, page cache
# dropped before each; prints both times and the ratio apply / tar. The emulation slows both
# alike: the ratio is what counts.
#
#   bench/target/run.sh [OUT_DIR]      (default: a temporary folder, removed at the end)
#
# Needs what .ci/target needs (scripts/require --install arm target).
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/require arm target
scripts/release-arm armel >/dev/null
build=build/target
if [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPG_WERROR=ON -DUPG_BENCH=OFF \
    -DUPG_TARGET_TESTS=ON -DUPG_TARGET_PROGRAM="$PWD/out/release/armel/upgqx4170" >/dev/null
fi
cmake --build "$build" -j2 --target target_keyhost tufpkg >/dev/null
out=${1:-}
if [ -z "$out" ]; then
  out=$(mktemp -d /tmp/target-bench-XXXXXX)
  trap 'rm -rf "$out"' EXIT
fi
tests/target/harness.py bench --out "$out" --program out/release/armel/upgqx4170 \
  --keyhost "$build/tests/target/target_keyhost" --tufpkg "$build/tools/tufpkg/tufpkg" |
  sed -n -e '/^FAIL/p' -e '/^map tree:/,$p'
