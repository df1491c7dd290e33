#!/usr/bin/env bash
# Extraction and packing speed of TUF packages against tar, side by side in one run:
#   (a) one file of 256 MiB of compressible data, (b) 4000 files of 4 KiB,
# each stored (against tar -xf) and compressed (against tar -xzf), plus the floor
# (read the package whole, one inflation per file, one write per file, one syncfs at
# the end), peak memory of the extraction, and tufpkg create against tar -czf.
# The extraction flushes every file to the storage before it renames it into place;
# tar flushes nothing, so on a disk folder the ratio includes the price of that.
# The big compressed file is also extracted the streamed way (as on a device whose
# memory cannot hold it), with its peak memory against the program's baseline.
#
#   bench/tuf/run.sh [REPEATS]        (default 3; the best time of each is kept)
#   bench/tuf/run.sh REPEATS levels   only tufpkg create at every level 1-12 against tar -czf:
#                                     time and package size, the measurements behind the default
#   TUF_BENCH_DIRS="/var/tmp /dev/shm" bench/tuf/run.sh   (the folders measured, default: a disk
#                                     folder and a tmpfs, one table each)
#   TUF_BENCH_LEVEL=9 bench/tuf/run.sh         (tufpkg create --level; default: its own)
#   bench/tuf/run.sh REPEATS packing  only tufpkg create against tar -czf, on every core and on one
#
# The contenders run in turns, each after a sync, with the same data in the page cache.
#
# Builds with the "release" preset (BUILD_DIR overrides the build folder). The data
# lives in a temporary folder in each measured folder, removed at the end.
set -euo pipefail
cd "$(dirname "$0")/../.."
repeats=${1:-3}
mode=${2:-all}
build=${BUILD_DIR:-build/release}
if [ ! -f "$build/build.ninja" ]; then
    cmake --preset release >/dev/null
fi
cmake --build "$build" --target tufpkg tuf_bench_tool -j2 >/dev/null
tool=$PWD/$build/bench/tuf/tuf_bench_tool
tufpkg=$PWD/$build/tools/tufpkg/tufpkg
[ -x "$tool" ] && [ -x "$tufpkg" ] || { echo "run.sh: build did not produce the tools in $build" >&2; exit 1; }
# The benchmark's packages carry the ID BENCH, which the device skips: tufpkg makes
# them on purpose (--any-id). Measured runs call the program itself.
tufpkg_program=$tufpkg
bench_tufpkg() { if [ "$1" = create ]; then shift; "$tufpkg_program" create --any-id "$@"; else "$tufpkg_program" "$@"; fi; }
tufpkg=bench_tufpkg
read -r -a folders <<< "${TUF_BENCH_DIRS:-/var/tmp /dev/shm}"

work=
trap '[ -z "$work" ] || rm -rf "$work"' EXIT
trap 'exit 1' INT TERM

# One measured run: OUT emptied and every dirty page written back first, so no
# run pays for the writeback of the one before. Prints "SECONDS PEAK_KIB".
# A tree of many files is moved aside rather than deleted: for a minute after a
# delete, ext4 without a journal passes over the freed inodes one by one at every
# file it creates (they are "recently deleted"), which makes the runs after a delete
# many times slower. What was moved aside goes at the end of each shape, and a disk
# folder is then given that minute (settle).
once() {
    local out=$1; shift
    if [ -d "$out" ] && [ "$(find "$out" | head -n 100 | wc -l)" -ge 100 ]; then
        mkdir -p "$work/aside"; mv "$out" "$(mktemp -u "$work/aside/XXXXXX")"
    fi
    rm -rf "$out"; mkdir -p "$out"; sync
    "$tool" measure "$@" || { echo "run.sh: failed: $*" >&2; kill $$; }
}
settle() {
    [ -d "$work/aside" ] || return 0
    rm -rf "$work/aside" "$work/out"; sync
    [ "$(stat -f -c %T "$work")" = tmpfs ] || sleep 65
}
# keep_best NAME TIME PEAK: the smallest time of the repetitions and its peak.
declare -A best_time best_peak
keep_best() {
    if [ -z "${best_time[$1]:-}" ] || awk "BEGIN{exit !($2 < ${best_time[$1]})}"; then
        best_time[$1]=$2; best_peak[$1]=$3
    fi
}
ratio() { awk "BEGIN{printf \"%.2f\", $1 / $2}"; }
mib() { awk "BEGIN{printf \"%.1f\", $1 / 1024}"; }
level=()
[ -z "${TUF_BENCH_LEVEL:-}" ] || level=(--level "$TUF_BENCH_LEVEL")

prepare() {
    work=$(mktemp -d "$1/tuf-bench-XXXXXX")
    echo "preparing data in $work ($(stat -f -c %T "$work"), $(nproc) cores, best of $repeats) ..."
    mkdir -p "$work/a/data" "$work/b/files"
    "$tool" text "$work/a/data/map.bin" $((256 << 20)) 7
    for d in $(seq -w 0 39); do mkdir -p "$work/b/files/d$d"; done
    python3 - "$work/b/files" <<'PY'
import sys, random
root = sys.argv[1]
words = [b"sector", b"road", b"tile", b"index", b"north", b"south", b"bridge", b"river"]
r = random.Random(4000)
for d in range(40):
    for f in range(100):
        out = bytearray()
        while len(out) < 4096:
            out += r.choice(words) + b" %d " % r.randrange(1000)
        open(f"{root}/d{d:02d}/f{f:02d}", "wb").write(out[:4096])
PY
}

# create_best SHAPE ARGS...: best time of tufpkg create over the repetitions.
create_best() {
    local shape=$1 best= t p; shift
    for round in $(seq "$repeats"); do
        read -r t p < <(once "$work/out" "$tufpkg_program" create -o "$work/out/p.tuf" --id BENCH --any-id --version 1 "$@" "$work/$shape")
        if [ -z "$best" ] || awk "BEGIN{exit !($t < $best)}"; then best=$t; fi
    done
    echo "$best"
}

levels() {
    printf '\n%-16s %10s %12s %10s %12s\n' level "a time" "a bytes" "b time" "b bytes"
    for shape in a b; do tar -czf "$work/$shape.tgz" -C "$work/$shape" .; done
    best_time=(); best_peak=()
    for shape in a b; do
        for round in $(seq "$repeats"); do
            read -r t p < <(once "$work/out" tar -czf "$work/out/p.tgz" -C "$work/$shape" .); keep_best "$shape" "$t" "$p"
        done
    done
    printf '%-16s %9.3fs %12s %9.3fs %12s\n' "tar -czf" "${best_time[a]}" "$(stat -c %s "$work/a.tgz")" \
        "${best_time[b]}" "$(stat -c %s "$work/b.tgz")"
    for n in $(seq 1 12); do
        ta=$(create_best a --level "$n"); sa=$(stat -c %s "$work/out/p.tuf")
        tb=$(create_best b --level "$n"); sb=$(stat -c %s "$work/out/p.tuf")
        printf '%-16s %9.3fs %12s %9.3fs %12s\n' "tufpkg --level $n" "$ta" "$sa" "$tb" "$sb"
    done
}

extraction() {
    printf '\n%-28s %9s %9s %9s %8s %9s %10s %10s\n' "shape ($(stat -f -c %T "$work"))" tuf tar floor tuf/tar \
        tuf/floor "peak MiB" "bound MiB"
    for shape in a b; do
        for kind in stored compressed; do
            store=(); tar_flag=-cf; untar=-xf; ext=tar
            if [ $kind = stored ]; then store=(--store); else tar_flag=-czf; untar=-xzf; ext=tgz; fi
            pkg=$work/$shape-$kind.tuf
            "$tufpkg" create -o "$pkg" --id BENCH --version 1 "${level[@]}" "${store[@]}" "$work/$shape" >/dev/null
            tar $tar_flag "$work/$shape.$ext" -C "$work/$shape" .
            best_time=(); best_peak=()
            # The contenders take turns in a rotating order, so neither a slow phase of
            # the machine nor the file system's state after the previous run favours one.
            for round in $(seq "$repeats"); do
                for turn in 0 1 2; do
                    case $(( (round + turn) % 3 )) in
                        0) read -r t p < <(once "$work/out" "$tool" extract "$pkg" "$work/out"); keep_best tuf "$t" "$p" ;;
                        1) read -r t p < <(once "$work/out" tar $untar "$work/$shape.$ext" -C "$work/out"); keep_best tar "$t" "$p" ;;
                        2) read -r t p < <(once "$work/out" "$tool" floor "$pkg" "$work/out"); keep_best floor "$t" "$p" ;;
                    esac
                done
            done
            settle
            t_tuf=${best_time[tuf]} peak=${best_peak[tuf]} t_tar=${best_time[tar]} t_floor=${best_time[floor]}
            # Bound of the one-pass way: the largest file plus its packed size plus 4 MiB,
            # over a baseline of the same program extracting a small package.
            largest=$("$tufpkg" list --json "$pkg" | python3 -c '
import json, sys
entries = json.load(sys.stdin)["entries"]
files = [e for e in entries if e["kind"] == "file"]
big = max(files, key=lambda e: e["size"])
print(big["size"] + (big["packed_size"] if big["compressed"] else 0))')
            if [ $shape = a ]; then label="a 1 x 256 MiB $kind"; else label="b 4000 x 4 KiB $kind"; fi
            printf '%-28s %8.3fs %8.3fs %8.3fs %8s %9s %10s %10.1f\n' "$label" "$t_tuf" "$t_tar" "$t_floor" \
                "$(ratio "$t_tuf" "$t_tar")" "$(ratio "$t_tuf" "$t_floor")" "$(mib "$peak")" \
                "$(awk "BEGIN{print $largest/1048576 + 4}")"
            if [ $shape$kind = acompressed ]; then
                best_time=(); best_peak=()
                for round in $(seq "$repeats"); do
                    read -r t p < <(once "$work/out" "$tool" extract-streamed "$pkg" "$work/out"); keep_best streamed "$t" "$p"
                done
                printf '%-28s %8.3fs %8.3fs %9s %8s %9s %10s %10s\n' "a 1 x 256 MiB streamed" \
                    "${best_time[streamed]}" "$t_tar" - "$(ratio "${best_time[streamed]}" "$t_tar")" - \
                    "$(mib "${best_peak[streamed]}")" "+16"
            fi
        done
    done
    "$tufpkg" create -o "$work/small.tuf" --id BENCH --version 1 "$work/b/files/d00" >/dev/null
    read -r _ base_peak < <(once "$work/out" "$tool" extract "$work/small.tuf" "$work/out")
    echo "(peak MiB: ru_maxrss of the extracting process; the same program on a package of 100 x 4 KiB: $(mib "$base_peak") MiB;"
    echo " streamed: every compressed file inflated in pieces, as where the memory cannot be told)"
}

packing() {
    printf '\n%-28s %9s %9s %8s %12s %12s\n' "packing (level ${TUF_BENCH_LEVEL:-default})" tufpkg "tar -czf" ratio \
        "tufpkg bytes" "tar bytes"
    for shape in a b; do
        best_time=(); best_peak=()
        for round in $(seq "$repeats"); do
            for turn in 0 1; do
                if [ $(( (round + turn) % 2 )) = 0 ]; then
                    read -r t p < <(once "$work/out" "$tufpkg_program" create -o "$work/out/p.tuf" --id BENCH --any-id --version 1 "${level[@]}" "$work/$shape")
                    keep_best create "$t" "$p"
                else
                    read -r t p < <(once "$work/out" tar -czf "$work/out/p.tgz" -C "$work/$shape" .)
                    keep_best targz "$t" "$p"
                fi
            done
        done
        t_create=${best_time[create]} t_targz=${best_time[targz]}
        "$tufpkg_program" create -q -o "$work/$shape-packed.tuf" --id BENCH --any-id --version 1 "${level[@]}" "$work/$shape"
        tar -czf "$work/$shape-packed.tgz" -C "$work/$shape" .
        if [ $shape = a ]; then label="a 1 x 256 MiB"; else label="b 4000 x 4 KiB"; fi
        printf '%-28s %8.3fs %8.3fs %8s %12s %12s\n' "$label" "$t_create" "$t_targz" "$(ratio "$t_create" "$t_targz")" \
            "$(stat -c %s "$work/$shape-packed.tuf")" "$(stat -c %s "$work/$shape-packed.tgz")"
    done

    # The packing target: on the multi-file tree b, tufpkg create takes at most half
    # the time of tar -czf (the last row above). Then the same creates on one core
    # (byte for byte the same package), and a file of random bytes, which the first
    # samples find incompressible: created in about the time of --store.
    echo "packing target: b 4000 x 4 KiB $(ratio "$t_create" "$t_targz") x tar -czf (target <= 0.50: $(awk "BEGIN{print ($t_create <= 0.5 * $t_targz) ? \"met\" : \"missed\"}"))"
    head -c $((64 << 20)) /dev/urandom >"$work/c.bin"; mkdir -p "$work/c"; mv "$work/c.bin" "$work/c/"
    printf '\n%-28s %9s %9s %8s %s\n' "create, cores" "-j $(nproc)" "-j 1" ratio "same bytes"
    for shape in a b c; do
        best_time=(); best_peak=()
        for round in $(seq "$repeats"); do
            read -r t p < <(once "$work/out" "$tufpkg_program" create -o "$work/out/all.tuf" --id BENCH --any-id --version 1 "${level[@]}" "$work/$shape")
            keep_best all "$t" "$p"
            cp "$work/out/all.tuf" "$work/all.tuf"
            read -r t p < <(once "$work/out" "$tufpkg_program" create -o "$work/out/one.tuf" -j 1 --id BENCH --any-id --version 1 "${level[@]}" "$work/$shape")
            keep_best one "$t" "$p"
        done
        same=no; cmp -s "$work/all.tuf" "$work/out/one.tuf" && same=yes
        case $shape in a) label="a 1 x 256 MiB" ;; b) label="b 4000 x 4 KiB" ;; c) label="c 1 x 64 MiB random" ;; esac
        printf '%-28s %8.3fs %8.3fs %8s %s\n' "$label" "${best_time[all]}" "${best_time[one]}" \
            "$(ratio "${best_time[all]}" "${best_time[one]}")" "$same"
    done
    t_one=${best_time[one]}
    best_time=(); best_peak=()
    for round in $(seq "$repeats"); do
        read -r t p < <(once "$work/out" "$tufpkg_program" create -o "$work/out/s.tuf" --store --id BENCH --any-id --version 1 "$work/c")
        keep_best store "$t" "$p"
    done
    echo "c 1 x 64 MiB random: create $(ratio "$t_one" "${best_time[store]}") x create --store (one core)"
}

if [ "$mode" = levels ] || [ "$mode" = packing ]; then
    prepare "${folders[0]}"
    "$mode"
    exit 0
fi
for folder in "${folders[@]}"; do
    prepare "$folder"
    extraction
    # Packing reads the tree and writes one file: the first folder tells enough.
    [ "$folder" != "${folders[0]}" ] || packing
    rm -rf "$work"; work=
done
