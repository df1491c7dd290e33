#!/usr/bin/env bash
# Makes the Debian package of the build BUILD with CPack into a temporary folder
# (the build folder is left as it is), then checks it with scripts/check-deb.
#   package_test.sh BUILD VERSION CHECK_DEB
set -euo pipefail
build=$1 version=$2 check=$3
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
cpack --config "$build/CPackConfig.cmake" -B "$out" >"$out/cpack.log" 2>&1 || { cat "$out/cpack.log"; exit 1; }
debs=("$out"/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "cpack made no single .deb"; cat "$out/cpack.log"; exit 1; }
"$check" "${debs[0]}" "$version"
