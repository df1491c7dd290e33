# Sourced by the on-device benchmarks (from the top of the tree): the static armel program, the
# host tools they drive, and an output folder OUT (the one given, or a temporary one removed at
# the end). Sets build and out.
#   . bench/target/prepare.sh OUT_DIR_OR_EMPTY TEMPORARY_PREFIX
scripts/require arm target
scripts/release-arm armel >/dev/null
build=build/target
if [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPG_WERROR=ON -DUPG_BENCH=OFF \
    -DUPG_TARGET_TESTS=ON -DUPG_TARGET_PROGRAM="$PWD/out/release/armel/upgqx4170" >/dev/null
fi
cmake --build "$build" -j2 --target target_keyhost tufpkg >/dev/null
out=$1
if [ -z "$out" ]; then
  out=$(mktemp -d "/tmp/$2-XXXXXX")
  trap 'rm -rf "$out"' EXIT
fi
