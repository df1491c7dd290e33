#!/usr/bin/env python3
"""Power cuts during an apply on the emulated device.

A program package of 21 files under /opt/qx4170/{bin,lib,share} (20 of 100 KiB to
8 MiB, one of 32 MiB) overwrites files of other content and 0.6 to 1.4 times the
length on the ext4 root disk of a 128 MiB device. One run without a cut measures how
long the apply takes, from the key that starts it to the completion screen; then each
cut kills QEMU (SIGKILL) at a random moment of that span, and the root image is
examined offline: the journal replayed as a mount would (e2fsck -E journal_only),
checked (e2fsck -fn), the files taken out with debugfs. Every 4 KiB block of every
file begins with a line naming its file, block and version, so a torn file tells
what it holds.

    powercut.py N --out DIR --program PROGRAM --keyhost PATH --tufpkg PATH
                [--parts-file FILE | --cache DIR] [--seed S] [--keep]

Ends with the line "N cuts: A files old, B new, C torn". Exit 1 when a file was torn,
the version file was not whole or named the new version before every file was new,
e2fsck found damage, or a run did not get as far as its cut."""

import argparse
import os
import random
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "target"))

import harness  # noqa: E402
import scenarios  # noqa: E402

KIB, MIB = 1024, 1024 * 1024
BLOCK = 4096
FOLDER = "opt/qx4170"
NEW_VERSION = b"2.0\n3.1\n7"


def signed_blocks(name, version, length, rng):
    """`length` bytes whose every 4 KiB block starts with "<version> <name> block <n>",
    the rest a quarter noise and three quarters repeats (the package packs to about a quarter)."""
    out = bytearray()
    for n in range((length + BLOCK - 1) // BLOCK):
        head = f"{version} /{name} block {n}\n".encode()
        noise = rng.randbytes((BLOCK - len(head)) // 4)
        out += head + noise + rng.randbytes(16) * ((BLOCK - len(head) - len(noise)) // 16 + 1)
        del out[(n + 1) * BLOCK:]
    return bytes(out[:length])


def package_files(seed=4170):
    """{name: (old content, new content)}: the same files on every run."""
    rng = random.Random(seed)
    names = ([f"{FOLDER}/bin/qx{i}" for i in range(5)] + [f"{FOLDER}/lib/libqx{i}.so" for i in range(9)]
             + [f"{FOLDER}/share/data{i}.bin" for i in range(6)])
    lengths = [int(100 * KIB * (8 * MIB / (100 * KIB)) ** rng.random()) for _ in names]
    names.append(f"{FOLDER}/lib/libqxmap.so")
    lengths.append(32 * MIB)
    files = {}
    for name, length in zip(names, lengths):
        old_length = int(length * rng.uniform(0.6, 1.4))
        files[name] = (signed_blocks(name, "old", old_length, rng), signed_blocks(name, "new", length, rng))
    return files


def scenario(files):
    return {
        "memory_mib": 128,
        "root_disk": True,
        "sim": False,
        # A killed QEMU loses what the guest holds (its page cache, the open journal
        # transaction), never a write it has handed to the host: storage that keeps
        # every write it acknowledged, the best case. cache=unsafe only spares the host
        # the guest's flushes.
        "root_drive": ",cache=unsafe,aio=threads",
        "rootfs": {"/" + name: old for name, (old, _) in files.items()},
        "card": {"qx4170.tuf": {"id": "QX4170", "version": "2.0", "command": "sleep 3",
                                "tree": {name: new for name, (_, new) in files.items()}}},
        "keys": ["ok"],
        "expect": {"screens": 2, "commands": [scenarios.BEEP, scenarios.BEEP], "powered_off": False,
                   "version": NEW_VERSION},
    }


def describe(data, old, new):
    """What a file that is neither its old nor its new content holds."""
    if not data:
        return "empty"
    kinds = {}
    for n in range(0, len(data), BLOCK):
        block = data[n:n + BLOCK]
        if block == new[n:n + BLOCK]:
            kind = "new"
        elif block == old[n:n + BLOCK]:
            kind = "old"
        elif block.count(0) == len(block):
            kind = "zero"
        else:
            # A block of another file or version: named by its first line, without the block number.
            kind = "of " + block.split(b" block ", 1)[0][:80].decode(errors="replace")
        kinds[kind] = kinds.get(kind, 0) + 1
    blocks = ", ".join(f"{count} {kind}" for kind, count in kinds.items())
    return f"{len(data)} bytes (old {len(old)}, new {len(new)}): blocks {blocks}"


def run(command):
    return subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, errors="replace")


def examine(image, work, files):
    """Replays the journal of the root image, checks it and compares every file of the
    package with its old and new content. Returns ({name: "old"|"new"|description},
    the version file's content (empty when missing), [problems other than files],
    [other files beside them])."""
    problems = []
    replay = run(["e2fsck", "-E", "journal_only", "-y", image])
    if replay.returncode not in (0, 1):
        problems.append(f"e2fsck -E journal_only: exit {replay.returncode}: {replay.stdout.strip()}")
    check = run(["e2fsck", "-fn", image])
    if check.returncode != 0:
        problems.append(f"e2fsck -fn: exit {check.returncode}: {check.stdout.strip()}")
    dump = os.path.join(work, "dump")
    shutil.rmtree(dump, ignore_errors=True)
    os.makedirs(dump)
    run(["debugfs", "-R", f"rdump /{FOLDER} {dump}", image])
    version = subprocess.run(["debugfs", "-R", "cat /cmap/version.txt", image], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL).stdout
    states = {}
    for name, (old, new) in files.items():
        path = os.path.join(dump, os.path.basename(FOLDER), os.path.relpath(name, FOLDER))
        if not os.path.isfile(path):
            states[name] = "missing"
            continue
        data = harness.read(path)
        states[name] = "new" if data == new else "old" if data == old else describe(data, old, new)
    expected = {os.path.join(dump, os.path.basename(FOLDER), os.path.relpath(n, FOLDER)) for n in files}
    others = sorted(os.path.relpath(os.path.join(d, f), dump) for d, _, names in os.walk(dump) for f in names
                    if os.path.join(d, f) not in expected)
    shutil.rmtree(dump)
    return states, version, problems, others


def tidy(directory, keep_image):
    """Leaves the logs, pictures and result of a run, and its root image if asked."""
    for name in os.listdir(directory):
        path = os.path.join(directory, name)
        if name.endswith((".log", ".json", ".txt", ".png")) or (keep_image and name == "root.img"):
            continue
        if os.path.isdir(path):
            shutil.rmtree(path)
        else:
            os.unlink(path)


def apply_run(args, out, cut_after):
    """One run of the scenario (cut after `cut_after` s, or whole); its result or None."""
    args.out, args.cut_after = out, cut_after
    status = harness.run_kernel(args)
    result = harness.read_result(out)
    if status != 0 or (cut_after is not None and "cut" not in result["times"]):
        print(f"FAIL: the run in {out} did not end as it should: {result['failures']}", flush=True)
        return None
    return result


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("cuts", type=int)
    harness.add_device_arguments(parser, tufpkg_required=True)
    parser.add_argument("--seed", type=int, help="chooses the cut moments (default: a new one, printed)")
    parser.add_argument("--keep", action="store_true", help="keep the disk images of cuts that tore nothing")
    parser.add_argument("--timeout", type=float, default=240, help="limit of each run, s")
    args = parser.parse_args()
    out = os.path.abspath(args.out)
    os.makedirs(out, exist_ok=True)
    if not args.parts_file:
        args.parts_file = os.path.join(out, "guest-parts.txt")
        with open(args.parts_file, "w") as f:
            f.write(harness.prepare_parts(args.cache) + "\n")
    seed = args.seed if args.seed is not None else random.SystemRandom().randrange(1 << 32)
    rng = random.Random(seed)
    files = package_files()
    scenarios.SCENARIOS["power-cut"] = scenario(files)
    args.scenario = "power-cut"
    total = sum(len(new) for _, new in files.values())
    print(f"package: {len(files)} files, {total / MIB:.1f} MiB, over files of other content; "
          f"cut moments from seed {seed}", flush=True)

    whole = apply_run(args, os.path.join(out, "whole"), None)
    if whole is None:
        return 1
    states, version, problems, _ = examine(os.path.join(out, "whole", "root.img"), out, files)
    if problems or version != NEW_VERSION or any(state != "new" for state in states.values()):
        print(f"FAIL: the whole apply did not leave every file new: {problems} {version!r} {states}")
        return 1
    times = whole["times"]
    span = times["settled_002"] - times["key1"]
    print(f"whole apply: {span:.1f} s from the key to the completion screen; every file new", flush=True)

    counts = {"old": 0, "new": 0, "torn": 0}
    failed = False
    for i in range(1, args.cuts + 1):
        cut_dir = os.path.join(out, f"cut{i:02d}")
        after = round(rng.uniform(0, span), 2)
        result = apply_run(args, cut_dir, after)
        if result is None:
            failed = True
            continue
        states, version, problems, others = examine(os.path.join(cut_dir, "root.img"), cut_dir, files)
        torn = {name: state for name, state in states.items() if state not in ("old", "new")}
        old = sum(state == "old" for state in states.values())
        new = sum(state == "new" for state in states.values())
        counts["old"] += old
        counts["new"] += new
        counts["torn"] += len(torn)
        lines = [f"/{name}: {state}" for name, state in sorted(torn.items())]
        if version not in (scenarios.VERSION_BEFORE, NEW_VERSION):
            lines.append(f"version file not whole: {version!r}")
        elif version == NEW_VERSION and new != len(files):
            lines.append("version file new before every file was")
        failed |= bool(torn) or len(lines) > len(torn) or bool(problems)
        seen = sum(line.startswith("+ Create file") for line in result["output"])
        label = "new" if version == NEW_VERSION else "old" if version == scenarios.VERSION_BEFORE else "torn"
        print(f"cut {i} at {after:.2f} s after the key ({seen} files reported created): {old} old, "
              f"{new} new, {len(torn)} torn; version file {label}"
              + (f"; {len(others)} other files beside them" if others else ""), flush=True)
        for line in lines + problems + [f"beside them: {name}" for name in others]:
            print(f"  {line}", flush=True)
        tidy(cut_dir, keep_image=bool(torn or problems) or args.keep)
    shutil.rmtree(os.path.join(out, "whole"))
    print(f"{args.cuts} cuts: {counts['old']} files old, {counts['new']} new, {counts['torn']} torn", flush=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
