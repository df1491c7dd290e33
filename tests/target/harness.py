#!/usr/bin/env python3
"""Runs the device program of a scenario on an emulated device (Debian's armmp
kernel on QEMU's vexpress-a9, real /dev/fb0, SD card, virtio-serial key port) and,
for comparison, under upgsim; checks what each run left behind and compares their
settled screens.

    harness.py kernel  SCENARIO --out DIR --program ARMHF_PROGRAM --keyhost PATH [--tufpkg PATH]
                       [--old-kernel WRAPPER]   (the program as on Linux 2.6.29: sim/oldkernel.c)
    harness.py sim     SCENARIO --out DIR --upgsim PATH [--tufpkg PATH]
    harness.py compare SCENARIO --kernel DIR --sim DIR
    harness.py parts --record FILE [--cache DIR]   (fetches the guest parts, names them in FILE)
    harness.py probe-program --out PATH     (builds the stand-in program)
    harness.py bench --out DIR --program PROGRAM --keyhost PATH --tufpkg PATH
                                            (apply time of a map tree at a card's speed vs
                                             busybox tar -xzf and the I/O floor)

A kernel run ends within --timeout seconds (default 110) whatever happens: QEMU is
killed on every way out."""

import argparse
import gzip
import hashlib
import json
import os
import queue
import shutil
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import scenarios  # noqa: E402
import screens  # noqa: E402

SCREEN_W, SCREEN_H = 640, 480
POLL_S = 0.15          # screendump period
SETTLE_POLLS = 4       # identical dumps in a row ...
SETTLE_S = 0.7         # ... spanning at least this long: longer than a whole spinner turn (6 x 100 ms)
END_SETTLE_S = 8.0     # after the program ended: how long to wait for its last picture to settle
IDLE_END_S = 1.0       # settled with no keys left for this long: the program waits in vain


ASSETS = os.path.join(HERE, "..", "..", "assets")
DIALOG_W, DIALOG_H = 272, 126
DIALOG_X, DIALOG_Y = (SCREEN_W - DIALOG_W) // 2, (SCREEN_H - DIALOG_H) // 2
SPINNER_X, SPINNER_Y, SPINNER_SIZE = DIALOG_X + 110, DIALOG_Y + 60, 50


class BusyPicture:
    """Tells the updating window (dlgUpt, with any spinner frame) on the screen. The
    program never rests on it: after the spinner stops it always draws the result,
    so a screen that shows it and holds still only means the guest is slow."""

    def __init__(self):
        self.updating = screens.read_png(os.path.join(ASSETS, "dlgUpt.png"))

    def shown(self, picture):
        w = picture.width
        for row in range(DIALOG_H):
            y = DIALOG_Y + row
            start = 2 * (y * w + DIALOG_X)
            screen_row = picture.pixels[start:start + 2 * DIALOG_W]
            asset_row = self.updating.pixels[2 * row * DIALOG_W:2 * (row + 1) * DIALOG_W]
            if SPINNER_Y <= y < SPINNER_Y + SPINNER_SIZE:
                left = 2 * (SPINNER_X - DIALOG_X)
                right = left + 2 * SPINNER_SIZE
                if screen_row[:left] != asset_row[:left] or screen_row[right:] != asset_row[right:]:
                    return False
            elif screen_row != asset_row:
                return False
        return True


def log(*args):
    print(*args, flush=True)


# --- the card ---------------------------------------------------------------

def tuf_entries(path):
    """[(name, type, data_start, data_length)] of a package, read by the format."""
    with open(path, "rb") as f:
        data = f.read()
    (offset,) = struct.unpack_from("<I", data, 4)
    entries = []
    pos = offset
    while pos + 144 <= len(data):
        name = data[pos:pos + 130].split(b"\0", 1)[0].decode()
        kind, compressed = data[pos + 130], data[pos + 131]
        size, packed, skip = struct.unpack_from("<III", data, pos + 132)
        pos += 144
        if kind == 0:
            entries.append((name, 0, pos, 0))
            continue
        length = 0 if size == 0 else (packed if compressed == 1 else size)
        entries.append((name, 1, pos, length))
        pos += length + skip
    return entries


def make_package(spec, path, tufpkg, work):
    tree = os.path.join(work, os.path.basename(path) + ".tree")
    shutil.rmtree(tree, ignore_errors=True)
    os.makedirs(tree)
    for name, content in sorted(spec["tree"].items()):
        target = os.path.join(tree, name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "wb") as f:
            f.write(content)
    command = [tufpkg, "create", "-o", path, "--id", spec["id"], "--version", spec["version"]]
    if spec.get("command"):
        command += ["--command", spec["command"]]
    subprocess.run(command + [tree], check=True, stdout=subprocess.DEVNULL)
    cut = spec.get("truncate_in_data")
    if cut:
        # Cut the package inside the named file's data: the record is whole, the data short.
        for name, kind, start, length in tuf_entries(path):
            if kind == 1 and name.lstrip("/").endswith(cut) and length > 1:
                os.truncate(path, start + length // 2)
                break
        else:
            raise SystemExit(f"{path}: no data of {cut} to cut")


def flip_in_data(path, name):
    """Flips one bit in the middle of the named file's data in the package."""
    for entry, kind, start, length in tuf_entries(path):
        if kind == 1 and entry.lstrip("/").endswith(name) and length > 0:
            with open(path, "r+b") as f:
                f.seek(start + length // 2)
                byte = f.read(1)[0]
                f.seek(start + length // 2)
                f.write(bytes([byte ^ 1]))
            return
    raise SystemExit(f"{path}: no data of {name} to change")


def trust_key_path(work):
    return os.path.join(work, "keys", "upgrade.pub")


def make_card_dir(scenario, card, tufpkg, work):
    """The card's files, in the order they are to be written to the card. A scenario
    with "signed" names gets a minisign key pair (trust_key_path) and signs those
    files; "flip_in_data" then changes a signed package."""
    shutil.rmtree(card, ignore_errors=True)
    os.makedirs(card)
    names = []
    for name, content in scenario["card"].items():
        path = os.path.join(card, name)
        if isinstance(content, dict):
            if not tufpkg:
                raise SystemExit("this scenario needs --tufpkg")
            make_package(content, path, tufpkg, work)
        else:
            with open(path, "wb") as f:
                f.write(content)
        names.append(name)
    if "signed" in scenario:
        public = trust_key_path(work)
        secret = public[:-len(".pub")] + ".key"
        os.makedirs(os.path.dirname(public), exist_ok=True)
        quiet = {"check": True, "stdout": subprocess.DEVNULL, "stdin": subprocess.DEVNULL}
        subprocess.run(["minisign", "-G", "-W", "-f", "-p", public, "-s", secret], **quiet)
        for name in scenario["signed"]:
            subprocess.run(["minisign", "-S", "-s", secret, "-m", os.path.join(card, name)], **quiet)
            names.append(name + ".minisig")
    for name, content in scenario["card"].items():
        if isinstance(content, dict) and content.get("flip_in_data"):
            flip_in_data(os.path.join(card, name), content["flip_in_data"])
    return names


def power_of_two_mib(needed, least):
    """The smallest power of two of MiB, at least `least`, that holds `needed` bytes."""
    mib = least
    while mib * 1024 * 1024 < needed:
        mib *= 2
    return mib


def make_card_image(card, names, image):
    """A FAT card image holding the files of `card` (16 MiB or more: QEMU wants a power of two)."""
    if os.path.exists(image):
        os.unlink(image)
    content = sum(os.path.getsize(os.path.join(card, name)) for name in names)
    mib = power_of_two_mib(content + content // 8 + (2 << 20), 16)
    subprocess.run(["mkfs.vfat", "-C", "-n", "QXCARD", image, str(mib * 1024)], check=True, stdout=subprocess.DEVNULL)
    for name in names:
        subprocess.run(["mcopy", "-i", image, os.path.join(card, name), "::/" + name], check=True)


# --- the initramfs ------------------------------------------------------------

class Cpio:
    """A newc cpio archive written in memory (no root needed: owners are 0)."""

    def __init__(self):
        self.data = bytearray()
        self.ino = 1

    def _entry(self, name, mode, body=b""):
        name_bytes = name.encode() + b"\0"
        fields = [self.ino, mode, 0, 0, 1, 0, len(body), 0, 0, 0, 0, len(name_bytes), 0]
        self.ino += 1
        self.data += b"070701" + b"".join(b"%08X" % v for v in fields) + name_bytes
        self.data += b"\0" * (-len(self.data) % 4)
        self.data += body
        self.data += b"\0" * (-len(self.data) % 4)

    def directory(self, name, mode=0o755):
        self._entry(name, 0o040000 | mode)

    def file(self, name, body, mode=0o644):
        self._entry(name, 0o100000 | mode, body)

    def symlink(self, name, target):
        self._entry(name, 0o120777, target.encode())

    def finish(self):
        self._entry("TRAILER!!!", 0)
        return bytes(self.data)


def read(path):
    with open(path, "rb") as f:
        return f.read()


class RootTree:
    """The device's root file system as a list of entries, written either into an
    initramfs archive or into a folder for an ext4 image."""

    def __init__(self):
        self.entries = []  # (kind, name, body or target, mode)

    def directory(self, name, mode=0o755):
        self.entries.append(("d", name, None, mode))

    def file(self, name, body, mode=0o644):
        self.entries.append(("f", name, body, mode))

    def symlink(self, name, target):
        self.entries.append(("l", name, target, 0o777))

    def cpio(self):
        archive = Cpio()
        for kind, name, body, mode in self.entries:
            if kind == "d":
                archive.directory(name, mode)
            elif kind == "f":
                archive.file(name, body, mode)
            else:
                archive.symlink(name, body)
        return archive.finish()

    def write_to(self, folder):
        for kind, name, body, mode in self.entries:
            path = os.path.join(folder, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            if kind == "d":
                os.makedirs(path, exist_ok=True)
            elif kind == "f":
                with open(path, "wb") as f:
                    f.write(body)
            else:
                os.symlink(body, path)
            if kind != "l":
                os.chmod(path, mode)


def system_tree(parts, init, modules):
    """Busybox, the init and the kernel modules it loads."""
    tree = RootTree()
    for d in ("bin", "sbin", "usr", "usr/bin", "usr/sbin", "etc", "etc/upg", "lib", "lib/modules",
              "proc", "sys", "dev", "tmp", "run", "cmap", "QX4XX"):
        tree.directory(d)
    tree.file("bin/busybox", read(os.path.join(parts, "busybox")), 0o755)
    tree.symlink("bin/sh", "busybox")
    tree.file("init", read(init), 0o755)
    for module in modules:
        tree.file("lib/modules/" + module, read(os.path.join(parts, "modules", module)))
    tree.file("etc/modules", ("\n".join(modules) + "\n").encode())
    return tree


def add_device_files(tree, program, args, version, files):
    tree.file("usr/bin/upgqx4170", read(program), 0o755)
    tree.file("etc/upg/args", (" ".join(args) + "\n").encode())
    if version is not None:
        tree.file("cmap/version.txt", version)
    for name, body in sorted(files.items()):
        parent = os.path.dirname(name.strip("/"))
        if parent:
            tree.directory(parent)
        body, mode = body if isinstance(body, tuple) else (body, 0o644)
        tree.file(name.strip("/"), body, mode)


def build_initrd(parts, program, init, args, version, out, files=None):
    """An initramfs that is the device's whole root file system."""
    modules = read(os.path.join(parts, "modules.list")).decode().split()
    tree = system_tree(parts, init, modules)
    add_device_files(tree, program, args, version, files or {})
    with open(out, "wb") as f:
        f.write(gzip.compress(tree.cpio(), compresslevel=1))


def build_root_disk(parts, program, init, args, version, initrd, image, work, files=None, least_mib=64,
                    bench=False):
    """The device's root file system on an ext4 disk image (mke2fs -d, no root needed); the
    initramfs only loads the modules, mounts the disk and switches to it, as a device whose
    root is flash. Files written during the run then take no memory of the guest."""
    modules = read(os.path.join(parts, "modules.list")).decode().split()
    disk_modules = read(os.path.join(parts, "disk-modules.list")).decode().split()
    boot = system_tree(parts, init, modules + disk_modules)
    boot.file("etc/upg/root-disk", b"/dev/vda\n")
    with open(initrd, "wb") as f:
        f.write(gzip.compress(boot.cpio(), compresslevel=1))
    root = system_tree(parts, init, [])
    add_device_files(root, program, args, version, files or {})
    if bench:
        root.file("etc/upg/bench", b"map.tar.gz\n")
    folder = os.path.join(work, "rootfs")
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    root.write_to(folder)
    content = sum(len(body) for kind, _, body, _ in root.entries if kind == "f")
    mib = power_of_two_mib(2 * content + (64 << 20), least_mib)
    if os.path.exists(image):
        os.unlink(image)
    subprocess.run(["mke2fs", "-q", "-F", "-t", "ext4", "-L", "root", "-E", "root_owner=0:0",
                    "-d", folder, image, f"{mib}M"], check=True, stdout=subprocess.DEVNULL)
    shutil.rmtree(folder)


def prepare_parts(cache):
    command = [os.path.join(HERE, "prepare.sh")] + ([cache] if cache else [])
    result = subprocess.run(command, check=True, stdout=subprocess.PIPE, text=True)
    return result.stdout.strip().splitlines()[-1]


# --- the emulator --------------------------------------------------------------

def connect_unix(path, deadline, alive=None):
    """Connects to a socket QEMU is about to create; gives up at the deadline or
    when QEMU has ended (alive() false)."""
    while True:
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            s.connect(path)
            return s
        except OSError:
            s.close()
            if time.monotonic() > deadline or (alive and not alive()):
                raise
            time.sleep(0.02)


class Qmp:
    def __init__(self, path, deadline, alive=None):
        self.sock = connect_unix(path, deadline, alive)
        # A QEMU that stops answering must not hold the harness past its limit.
        self.sock.settimeout(10)
        self.file = self.sock.makefile("rwb", buffering=0)
        self._read()  # greeting
        self.execute("qmp_capabilities")

    def _read(self):
        while True:
            line = self.file.readline()
            if not line:
                raise ConnectionError("QMP closed")
            message = json.loads(line)
            if "event" not in message:
                return message

    def execute(self, command, **arguments):
        request = {"execute": command}
        if arguments:
            request["arguments"] = arguments
        self.file.write(json.dumps(request).encode() + b"\n")
        reply = self._read()
        if "error" in reply:
            raise RuntimeError(f"QMP {command}: {reply['error']}")
        return reply.get("return")

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


def reader(stream, tag, events, logfile=None):
    for raw in stream:
        line = raw.decode(errors="replace").rstrip("\r\n") if isinstance(raw, bytes) else raw.rstrip("\n")
        if logfile:
            logfile.write(line + "\n")
            logfile.flush()
        events.put((tag, line, time.monotonic()))
    events.put((tag, None, time.monotonic()))


def resize_map(scenario, mib):
    """The scenario's one map file made `mib` MiB long (to find the largest that fits)."""
    name = scenario["sized_file"]
    size = int(mib * 1024 * 1024)
    content = (bytes(range(256)) * (size // 256 + 1))[:size]
    scenario["card"]["map4170.tuf"]["tree"] = {name: content}
    scenario["expect"]["files"] = {"/" + name: content}


def fill_large_file(scenario):
    """The large-file scenarios' one map file, made here: compressible, or random (stored)."""
    import random
    spec = scenario["large_file"]
    size = spec["mib"] * 1024 * 1024
    if spec["stored"]:
        rng = random.Random(4170)
        content = b"".join(rng.randbytes(1 << 20) for _ in range(spec["mib"]))
    else:
        content = bytes(range(256)) * (size // 256)
    scenario["card"]["map4170.tuf"]["tree"] = {spec["path"]: content}
    scenario["expect"]["files"] = {"/" + spec["path"]: content}


def check_large_file(scenario, card, work):
    """The package holds the file as the scenario says (stored or compressed); the big copies
    of the card's files go, the card image holds them."""
    spec = scenario["large_file"]
    package = os.path.join(card, "map4170.tuf")
    lengths = [length for name, kind, _, length in tuf_entries(package) if name.endswith(spec["path"])]
    stored = lengths == [spec["mib"] * 1024 * 1024]
    shutil.rmtree(os.path.join(work, "map4170.tuf.tree"), ignore_errors=True)
    os.unlink(package)
    if stored != spec["stored"]:
        raise SystemExit(f"{package}: the file is {'stored' if stored else 'compressed'}, "
                         f"the scenario wants it {'stored' if spec['stored'] else 'compressed'}")


# --- the old-kernel family ----------------------------------------------------------

def syscall_names():
    """{number: name} of the ARM EABI system calls, from the cross compiler's kernel headers."""
    import re
    names = {}
    include = "/usr/arm-linux-gnueabi/include/asm"
    for header, pattern in (("unistd-eabi.h", r"#define __NR_(\w+)\s+\(__NR_SYSCALL_BASE\s*\+\s*(\w+)\)"),
                            ("unistd.h", r"#define __ARM_NR_(\w+)\s+\(__ARM_NR_BASE\s*\+\s*(\w+)\)")):
        path = os.path.join(include, header)
        if os.path.exists(path):
            base = 0 if header == "unistd-eabi.h" else 0x0f0000
            for name, number in re.findall(pattern, read(path).decode()):
                names[base + int(number, 0)] = name
    return names


def futex_option(op):
    """A futex operation word as <linux/futex.h> writes it, e.g. FUTEX_WAIT|FUTEX_CLOCK_REALTIME."""
    commands = ["WAIT", "WAKE", "FD", "REQUEUE", "CMP_REQUEUE", "WAKE_OP", "LOCK_PI", "UNLOCK_PI",
                "TRYLOCK_PI", "WAIT_BITSET", "WAKE_BITSET", "WAIT_REQUEUE_PI", "CMP_REQUEUE_PI", "LOCK_PI2"]
    command = op & ~0x180
    parts = ["FUTEX_" + commands[command] if command < len(commands) else str(command)]
    parts += [flag for bit, flag in ((0x80, "FUTEX_PRIVATE_FLAG"), (0x100, "FUTEX_CLOCK_REALTIME")) if op & bit]
    return "futex " + "|".join(parts)


def check_old_kernel(result):
    """Logs each call or futex option the wrapper refused ("UPG-REFUSED <number> <command>",
    "UPG-REFUSED futex:<op> <command>"); those the program does not do without are failures."""
    names = syscall_names()
    refused = {}
    for line in result.get("refused", []):
        what, command = (line.split(" ", 1) + ["?"])[:2]
        if what.isdigit():
            what = names.get(int(what), "system call " + what)
        elif what.startswith("futex:"):
            what = futex_option(int(what[len("futex:"):], 16))
        refused.setdefault(what, []).append(command)
    failures = []
    for what, commands in sorted(refused.items()):
        said = f"refused as on Linux 2.6.29: {what} (by {', '.join(commands)})"
        log(said)
        if what not in scenarios.OLD_KERNEL_FALLBACKS:
            failures.append(said + "; the program needs a newer kernel")
    return failures


def run_kernel(args):
    scenario = scenarios.SCENARIOS[args.scenario]
    if getattr(args, "map_mib", None) is not None:
        if "sized_file" not in scenario:
            raise SystemExit(f"--map-mib: scenario {args.scenario} has no map file to size")
        resize_map(scenario, args.map_mib)
    if "large_file" in scenario:
        fill_large_file(scenario)
    out = os.path.abspath(args.out)
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    started = time.monotonic()
    deadline = started + args.timeout

    if args.parts_file:
        with open(args.parts_file) as f:
            parts = f.read().strip()
    else:
        parts = prepare_parts(args.cache)
    card = os.path.join(out, "card")
    names = make_card_dir(scenario, card, args.tufpkg, out)
    make_card_image(card, names, os.path.join(out, "card.img"))
    if "large_file" in scenario:
        check_large_file(scenario, card, out)
    program = args.program
    device_args = (os.path.join(HERE, "init"), scenario.get("args", []),
                   scenario.get("version", scenarios.VERSION_BEFORE))
    device_files = dict(scenario.get("rootfs", {}))
    if "signed" in scenario:
        device_files["/cmap/upgrade.pub"] = read(trust_key_path(out))
    if getattr(args, "old_kernel", None):
        device_files["/usr/bin/oldkernel"] = (read(args.old_kernel), 0o755)
        device_files["/etc/upg/wrapper"] = b"/usr/bin/oldkernel\n"
    if scenario.get("peak"):
        device_files["/etc/upg/peak"] = b""
    disk = []
    if scenario.get("root_disk"):
        image = os.path.join(out, "root.img")
        build_root_disk(parts, program, *device_args, os.path.join(out, "initrd.gz"), image, out,
                        device_files, scenario.get("disk_mib", 64), scenario.get("bench", False))
        disk = ["-drive", f"if=none,format=raw,file={image},id=root" + scenario.get("root_drive", ""),
                "-device", "virtio-blk-device,drive=root"]
    else:
        build_initrd(parts, program, *device_args, os.path.join(out, "initrd.gz"), device_files)
    prepared = time.monotonic()

    # Sockets live in a short private directory: unix socket paths are limited to 107 bytes.
    sockdir = tempfile_dir()
    qmp_path, keys_path, ctl_path = (os.path.join(sockdir, n) for n in ("qmp", "keys", "ctl"))
    command = [
        "qemu-system-arm", "-M", "vexpress-a9", "-smp", "1", "-m", str(scenario.get("memory_mib", 256)),
        "-kernel", os.path.join(parts, "zImage"),
        "-dtb", os.path.join(parts, "vexpress-ca9-fb.dtb"),
        "-initrd", os.path.join(out, "initrd.gz"),
        "-append", "console=ttyAMA0 panic=-1 logo.nologo vt.global_cursor_default=0",
        "-display", "none", "-monitor", "none", "-nic", "none", "-no-reboot",
        "-audiodev", "none,id=snd0", "-global", "pl041.audiodev=snd0",
        "-serial", "stdio",
        "-qmp", f"unix:{qmp_path},server=on,wait=off",
        "-drive", f"if=sd,format=raw,file={os.path.join(out, 'card.img')}" + scenario.get("card_drive", ""),
        "-device", "virtio-serial-device",
        # wait=on: QEMU starts the machine only once both ports have their peer, so
        # nothing the program writes can be lost.
        "-chardev", f"socket,id=keys,path={keys_path},server=on,wait=on",
        "-device", "virtserialport,chardev=keys,name=spi_key",
        "-chardev", f"socket,id=ctl,path={ctl_path},server=on,wait=on",
        "-device", "virtserialport,chardev=ctl,name=upg_ctl",
    ] + disk
    with open(os.path.join(out, "qemu-command.txt"), "w") as f:
        f.write(" ".join(command) + "\n")

    events = queue.Queue()
    console_log = open(os.path.join(out, "console.log"), "w")
    qemu = keyhost = qmp = ctl = None
    result = {"scenario": args.scenario, "screens": [], "commands": [], "command_bytes": [], "keys": [],
              "times": {}, "exit": None, "powered_off": False, "output": [], "report": [], "version": None,
              "failures": []}
    times = result["times"]
    times["prepare_s"] = round(prepared - started, 2)

    def mark(name, when=None):
        times[name] = round((when or time.monotonic()) - t0, 2)

    try:
        t0 = time.monotonic()
        qemu = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, start_new_session=True, preexec_fn=die_with_parent)
        keyhost = subprocess.Popen([args.keyhost, keys_path, "20000"], stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE, text=True, bufsize=1)

        def alive():
            # QEMU waits for the key port's peer before it creates the next socket.
            return qemu.poll() is None and keyhost.poll() is None

        try:
            ctl = connect_unix(ctl_path, deadline, alive)
            qmp = Qmp(qmp_path, deadline, alive)
        except OSError as error:
            output = qemu.stdout.read().decode(errors="replace") if qemu.poll() is not None else ""
            raise SystemExit(f"cannot reach QEMU's sockets ({error}); QEMU said:\n{output}")
        threading.Thread(target=reader, args=(qemu.stdout, "console", events, console_log), daemon=True).start()
        threading.Thread(target=reader, args=(keyhost.stdout, "keys", events), daemon=True).start()

        busy = BusyPicture()
        busy_seen = False
        keys = list(scenario["keys"])
        phase = "boot"            # boot -> run -> (ending) -> report
        last_dump = None
        stable_polls = 0
        stable_since = 0.0
        # The screen starts black (the init clears it); like upgsim, a picture is
        # written only when it differs from the last one written.
        last_written = screens.Picture(SCREEN_W, SCREEN_H, bytes(2 * SCREEN_W * SCREEN_H))
        ended_at = None
        idle_since = None         # settled with no keys left
        next_poll = 0.0
        in_report = False
        dump_path = os.path.join(out, "dump.ppm")

        def end_run(reason):
            nonlocal phase
            log(f"[{time.monotonic() - t0:6.2f}s] ending the run: {reason}")
            result["end"] = reason
            ctl.sendall(b"off\n")
            phase = "report"

        # A power cut (args.cut_after, bench/target/powercut.py): QEMU killed that long after the first key.
        cut_after, cut_at = getattr(args, "cut_after", None), None
        while True:
            now = time.monotonic()
            if cut_at is not None and now >= cut_at:
                os.killpg(qemu.pid, signal.SIGKILL)
                mark("cut", now)
                break
            if now > deadline:
                result["failures"].append(f"timeout after {args.timeout} s in phase {phase}")
                break
            wait = max(0.0, min(next_poll - now, 0.05)) if phase in ("run", "ending") else 0.1
            try:
                tag, line, when = events.get(timeout=wait)
            except queue.Empty:
                tag = None
            if tag == "console":
                if line is None:
                    mark("qemu_exit", when)
                    break
                if line.startswith("UPG-INIT"):
                    mark("init", when)
                elif line.startswith("UPG-RUN"):
                    mark("program_start", when)
                    phase = "run"
                    next_poll = when
                elif line.startswith("UPG-EXIT "):
                    mark("program_end", when)
                    result["exit"] = int(line.split()[1])
                    if phase == "run":
                        phase = "ending"
                        ended_at = when
                elif line.startswith("UPG-BENCH "):
                    mark("bench_" + line.split()[1], when)
                elif line.startswith("UPG-REFUSED "):
                    result.setdefault("refused", []).append(line.split(" ", 1)[1])
                elif line.startswith("UPG-PEAK "):
                    result["peak_kib"] = int(line.split()[1])
                    log(f"peak memory of the program (VmHWM): {result['peak_kib'] / 1024:.1f} MiB")
                elif line.startswith("UPG-KILLED"):
                    result["killed"] = line.split(" ", 1)[1] if " " in line else line
                elif line.startswith("UPG-FAIL"):
                    result["failures"].append("guest: " + line)
                elif line.startswith("UPG-REPORT-BEGIN"):
                    in_report = True
                elif line.startswith("UPG-REPORT-END"):
                    in_report = False
                    mark("report", when)
                elif phase in ("run", "ending") and result["exit"] is None:
                    result["output"].append(line)
                    # The span of the extraction: its first line to its last entry's line.
                    if line.startswith("TUF File Info:"):
                        mark("extract_begin", when)
                    elif line.startswith("+ Create "):
                        mark("extract_last_entry", when)
                    elif line.startswith("+ Do command"):
                        mark("extract_command", when)
                elif in_report:
                    if line.startswith("version "):
                        value = line.split(" ", 1)[1].strip()
                        result["version"] = None if value == "missing" else value
                    else:
                        result["report"].append(line)
            elif tag == "keys" and line is not None:
                if line.startswith("command "):
                    _, hexbytes, text = line.split(" ", 2)
                    result["commands"].append(text)
                    result["command_bytes"].append(hexbytes)
                    log(f"[{when - t0:6.2f}s] command: {text}")
                elif line == "powered-off":
                    mark("powered_off", when)
                    result["powered_off"] = True
                    if phase in ("run", "ending"):
                        end_run("power-off sequence")
                elif line.startswith("error"):
                    result["failures"].append("keyhost: " + line)

            if phase not in ("run", "ending") or time.monotonic() < next_poll:
                continue
            polled = time.monotonic()
            next_poll = polled + POLL_S
            if phase == "ending" and polled - ended_at > END_SETTLE_S:
                end_run("the program ended, its screen did not settle")
                continue
            qmp.execute("screendump", filename=dump_path)
            dump = read(dump_path)
            if dump != last_dump:
                last_dump = dump
                stable_polls = 1
                stable_since = polled
                idle_since = None
                continue
            stable_polls += 1
            if stable_polls < SETTLE_POLLS or polled - stable_since < SETTLE_S:
                continue
            # Settled: the picture, if new, then the next key.
            picture = screens.picture_from_ppm(dump)
            if busy.shown(picture):
                if not busy_seen:
                    log(f"[{polled - t0:6.2f}s] the updating window holds still: not settled")
                busy_seen = True
                continue
            if picture != last_written:
                last_written = picture
                name = f"{len(result['screens']) + 1:03d}.png"
                screens.write_png(os.path.join(out, name), picture)
                result["screens"].append(name)
                mark("settled_" + name[:-4], polled)
                log(f"[{polled - t0:6.2f}s] settled: {name}")
            if phase == "ending":
                end_run("the program ended")
            elif keys:
                key = keys.pop(0)
                keyhost.stdin.write(f"press {key}\n")
                keyhost.stdin.flush()
                result["keys"].append(key)
                mark(f"key{len(result['keys'])}")
                if cut_after is not None and cut_at is None:
                    cut_at = time.monotonic() + cut_after
                log(f"[{time.monotonic() - t0:6.2f}s] key: {key}")
                # The key's effect must settle anew.
                stable_polls = 0
                stable_since = time.monotonic()
            else:
                idle_since = idle_since or polled
                if polled - idle_since >= IDLE_END_S:
                    end_run("no keys left and the program waits for one")
    finally:
        for proc in (qemu,):
            if proc and proc.poll() is None:
                try:
                    os.killpg(proc.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
        if qemu:
            qemu.wait()
        if keyhost:
            try:
                keyhost.stdin.close()
            except OSError:
                pass
            try:
                keyhost.wait(timeout=2)
            except subprocess.TimeoutExpired:
                keyhost.kill()
                keyhost.wait()
        for s in (qmp, ):
            if s:
                s.close()
        if ctl:
            ctl.close()
        console_log.close()
        shutil.rmtree(sockdir, ignore_errors=True)
        if os.path.exists(os.path.join(out, "dump.ppm")):
            os.unlink(os.path.join(out, "dump.ppm"))

    result["times"]["total_s"] = round(time.monotonic() - started, 2)
    if keys and "cut" not in times:
        result["failures"].append(f"keys not pressed: {keys}")
    # After a power cut the guest reports nothing: what the disk holds is examined offline.
    failures = result["failures"] + ([] if "cut" in times else check_kernel(scenario["expect"], result))
    if getattr(args, "old_kernel", None):
        failures += check_old_kernel(result)
    if "large_file" in scenario:
        failures += [f"the program said: {line}" for line in result["output"] if line.startswith("Error :")]
        if result["output"] and not any(line.startswith(("+ Create file", "Error :")) for line in result["output"]):
            failures.append(f"the program's last line: {result['output'][-1]!r}, exit status {result['exit']}")
        for image in ("card.img", "root.img"):
            os.unlink(os.path.join(out, image))
    result["failures"] = failures
    with open(os.path.join(out, "result.json"), "w") as f:
        json.dump(result, f, indent=2)
    log("times: " + json.dumps(times))
    for failure in failures:
        log("FAIL: " + failure)
    return 1 if failures else 0


def die_with_parent():
    """In the child before exec: SIGKILL when the harness dies, however it dies
    (a CTest timeout kills the harness, not its children)."""
    import ctypes
    libc = ctypes.CDLL(None, use_errno=True)
    PR_SET_PDEATHSIG = 1
    libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)


def tempfile_dir():
    import tempfile
    return tempfile.mkdtemp(prefix="upgt-")


def md5(data):
    return hashlib.md5(data).hexdigest()


def check_common(expect, screen_count, commands):
    failures = []
    if screen_count != expect["screens"]:
        failures.append(f"settled screens: {screen_count}, expected {expect['screens']}")
    if commands is not None and commands != expect["commands"]:
        failures.append(f"commands: {commands}, expected {expect['commands']}")
    return failures


def check_kernel(expect, result):
    failures = check_common(expect, len(result["screens"]), result["commands"])
    if result["powered_off"] != expect["powered_off"]:
        failures.append(f"power-off sequence: {result['powered_off']}, expected {expect['powered_off']}")
    if "exit" in expect and result["exit"] != expect["exit"]:
        failures.append(f"program exit status {result['exit']}, expected {expect['exit']}")
    for wanted in expect.get("output", []):
        if not any(line.startswith(wanted) for line in result["output"]):
            failures.append(f"the program did not print the line {wanted!r}")
    if "report" not in result["times"]:
        failures.append("no report from the guest")
        return failures
    if "version" in expect:
        got = None if result["version"] is None else bytes.fromhex(result["version"])
        if got != expect["version"]:
            failures.append(f"version file {got!r}, expected {expect['version']!r}")
    modes, sums = {}, {}
    for line in result["report"]:
        parts = line.split(" ", 2)
        if len(parts) == 3 and parts[0] in ("D", "F"):
            modes[parts[2]] = parts[1]
        elif len(parts) == 3 and parts[0] == "M":
            sums[parts[2]] = parts[1]
    files = {path: (mode, sums.get(path)) for path, mode in modes.items()}
    for path, content in expect.get("files", {}).items():
        if path not in files:
            failures.append(f"{path}: not laid down")
        elif files[path][1] != md5(content):
            failures.append(f"{path}: content differs (md5 {files[path][1]}, expected {md5(content)})")
    for path, mode in expect.get("modes", {}).items():
        if path in files and files[path][0] != mode:
            failures.append(f"{path}: mode {files[path][0]}, expected {mode}")
    for path in expect.get("absent", []):
        if any(p == path or p.startswith(path + "/") for p in files):
            failures.append(f"{path}: present, expected absent")
    for path in expect.get("unchanged", []):
        if any(line.endswith(" " + path) for line in result["report"]):
            failures.append(f"{path}: changed, expected untouched")
    if "killed" in result:
        failures.append(f"the kernel killed a process: {result['killed']}")
    return failures


# --- upgsim ---------------------------------------------------------------------

def settled_pictures(directory):
    """The settled screens upgsim wrote (001.png, 002.png, ...), in order, without its
    pictures of the updating window (001_updating.png), on which no run settles."""
    if not os.path.isdir(directory):
        return []
    return sorted(n for n in os.listdir(directory) if n.endswith(".png") and "_updating" not in n)


def run_sim(args):
    scenario = scenarios.SCENARIOS[args.scenario]
    out = os.path.abspath(args.out)
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    card = os.path.join(out, "card")
    make_card_dir(scenario, card, args.tufpkg, out)
    rootfs = os.path.join(out, "rootfs")
    os.makedirs(os.path.join(rootfs, "cmap"))
    version = scenario.get("version", scenarios.VERSION_BEFORE)
    with open(os.path.join(rootfs, "cmap", "version.txt"), "wb") as f:
        f.write(version)
    if "signed" in scenario:
        shutil.copyfile(trust_key_path(out), os.path.join(rootfs, "cmap", "upgrade.pub"))
    shots = os.path.join(out, "screens")
    command = [args.upgsim, "--rootfs", rootfs, "--card", card, "--screens", shots,
               "--screen", f"{SCREEN_W}x{SCREEN_H}x16"]
    if scenario["keys"]:
        command += ["--keys", ",".join(scenario["keys"])]
    command += scenario.get("args", [])
    with open(os.path.join(out, "upgsim-command.txt"), "w") as f:
        f.write(" ".join(command) + "\n")
    started = time.monotonic()
    with open(os.path.join(out, "upgsim.log"), "w") as logfile:
        try:
            proc = subprocess.run(command, stdout=logfile, stderr=subprocess.STDOUT, timeout=args.timeout)
            status = proc.returncode
        except subprocess.TimeoutExpired:
            status = None
    elapsed = round(time.monotonic() - started, 2)
    expect = scenario["expect"]
    found = settled_pictures(shots)
    failures = []
    if status is None:
        failures.append(f"upgsim did not end within {args.timeout} s")
    elif status != expect.get("sim_exit", 0):
        failures.append(f"upgsim exit status {status}, expected {expect.get('sim_exit', 0)}")
    # upgsim logs each controller command as "upgsim: controller: TEXT".
    with open(os.path.join(out, "upgsim.log"), errors="replace") as f:
        commands = [line.split("upgsim: controller: ", 1)[1].rstrip("\n")
                    for line in f if line.startswith("upgsim: controller: ")]
    failures += check_common(expect, len(found), commands)
    if "version" in expect:
        path = os.path.join(rootfs, "cmap", "version.txt")
        got = read(path) if os.path.exists(path) else None
        if got != expect["version"]:
            failures.append(f"version file {got!r}, expected {expect['version']!r}")
    for path, content in expect.get("files", {}).items():
        full = os.path.join(rootfs, path.lstrip("/"))
        if not os.path.isfile(full):
            failures.append(f"{path}: not laid down")
        elif read(full) != content:
            failures.append(f"{path}: content differs")
    for path in expect.get("absent", []):
        if os.path.lexists(os.path.join(rootfs, path.lstrip("/"))):
            failures.append(f"{path}: present, expected absent")
    with open(os.path.join(out, "result.json"), "w") as f:
        json.dump({"scenario": args.scenario, "screens": found, "exit": status, "seconds": elapsed,
                   "failures": failures}, f, indent=2)
    log(f"upgsim: {len(found)} screens, exit {status}, {elapsed} s")
    for failure in failures:
        log("FAIL: " + failure)
    return 1 if failures else 0


# --- comparison -----------------------------------------------------------------

def compare(args):
    for directory in (args.kernel, args.sim):
        if not os.path.isfile(os.path.join(directory, "result.json")):
            log(f"FAIL: {directory} holds no finished run")
            return 1
    kernel = read_result(args.kernel)
    sim_dir = os.path.join(args.sim, "screens")
    sim = settled_pictures(sim_dir)
    failures = []
    if len(kernel["screens"]) != len(sim):
        failures.append(f"kernel run settled {len(kernel['screens'])} times, upgsim {len(sim)} times")
    for i, (k, s) in enumerate(zip(kernel["screens"], sim), 1):
        a = screens.read_png(os.path.join(args.kernel, k))
        b = screens.read_png(os.path.join(sim_dir, s))
        if (a.width, a.height) != (b.width, b.height):
            failures.append(f"screen {i}: kernel {a.width}x{a.height}, upgsim {b.width}x{b.height}")
            continue
        count, first = a.differences(b)
        if count:
            box = a.bounding_box(b)
            sample = ", ".join(f"({x},{y}) kernel {p:04x} upgsim {q:04x}" for x, y, p, q in first[:4])
            failures.append(f"screen {i} ({k} / {s}): {count} pixels differ within {box}: {sample}")
        else:
            log(f"screen {i}: equal ({k} / {s})")
    for failure in failures:
        log("FAIL: " + failure)
    return 1 if failures else 0


def read_result(directory):
    with open(os.path.join(directory, "result.json")) as f:
        return json.load(f)


def record_parts(args):
    parts = prepare_parts(args.cache)
    for name in ("zImage", "vexpress-ca9-fb.dtb", "busybox", "modules.list"):
        if not os.path.isfile(os.path.join(parts, name)):
            log(f"FAIL: {parts} has no {name}")
            return 1
    with open(args.record, "w") as f:
        f.write(parts + "\n")
    log(f"guest parts: {parts} ({read(os.path.join(parts, 'kernel-package')).decode().strip()})")
    return 0


def build_probe(args):
    subprocess.run(["arm-linux-gnueabihf-g++", "-static", "-O2", "-std=c++20", "-Wall", "-Wextra",
                    "-o", args.out, os.path.join(HERE, "guest_probe.cpp")], check=True)
    return 0


# --- on-device benchmark ----------------------------------------------------------

# An SD card's speed: the card is read at about 10 MB/s, the root file system's flash written at 5 MB/s.
CARD_READ_BPS = 10_000_000
ROOT_WRITE_BPS = 5_000_000


def map_tree(seed=4170):
    """A map tree as a device gets it: a few large files of several MiB and many small ones
    in a handful of folders, compressing to about half (tiles of noise and of repeats)."""
    import random
    rng = random.Random(seed)

    def body(length):
        out = bytearray()
        while len(out) < length:
            out += rng.randbytes(2048)
            pattern = rng.randbytes(64)
            out += pattern * 32
        return bytes(out[:length])

    tree = {}
    for i, mib in enumerate((6, 5, 4, 3)):
        tree[f"cmap/map/region{i}.map"] = body(mib * 1024 * 1024 + 4170 * i)
    for folder in range(12):
        for i in range(40):
            tree[f"cmap/poi/{folder:02d}/p{i:03d}.dat"] = body(rng.randrange(512, 16384))
    return tree


def tar_gz(tree):
    import io
    import tarfile
    buffer = io.BytesIO()
    with tarfile.open(fileobj=buffer, mode="w:gz", compresslevel=6) as archive:
        for name, content in sorted(tree.items()):
            info = tarfile.TarInfo(name)
            info.size = len(content)
            info.mode = 0o644
            archive.addfile(info, io.BytesIO(content))
    return buffer.getvalue()


def bench(args):
    """Applies a map tree package with the device program on an emulated device whose card
    and root disk have an SD card's speed, and in the same guest unpacks the same tree with
    busybox tar -xzf and measures the I/O floor, page cache dropped before each; prints the
    times and the ratios."""
    tree = map_tree()
    total = sum(len(c) for c in tree.values())
    scenarios.SCENARIOS["bench-map-tree"] = {
        "root_disk": True,
        "disk_mib": 256,
        "bench": True,
        # QEMU's throttling gives the disks a card's speed; flushes cost the throttled writes only.
        "card_drive": f",throttling.bps-read={CARD_READ_BPS}",
        "root_drive": f",cache=unsafe,throttling.bps-write={ROOT_WRITE_BPS}",
        "rootfs": {"/etc/upg/bench-floor": f"map4170.tuf {total}\n".encode()},
        # The command ends once the apply's data is on the disk: the apply is timed to it.
        "card": {"map4170.tuf": {"id": "MAP4170", "version": "3.2", "command": "sync", "tree": tree},
                 "map.tar.gz": tar_gz(tree)},
        "keys": ["ok", "power"],
        "expect": {"screens": 2, "commands": [scenarios.BEEP, scenarios.BEEP] + scenarios.POWER_OFF,
                   "powered_off": True, "version": b"1.0\n3.2\n7",
                   "files": {"/" + name: content for name, content in tree.items() if name.endswith(".map")}},
    }
    args.scenario = "bench-map-tree"
    status = run_kernel(args)
    times = read_result(args.out)["times"]
    spans = {}
    for name, begin, end in (("tar", "bench_tar-begin", "bench_tar-end"),
                             ("tar_sync", "bench_tar-begin", "bench_tar-synced"),
                             ("read", "bench_read-begin", "bench_read-end"),
                             ("write", "bench_write-begin", "bench_write-end"),
                             ("apply", "extract_begin", "extract_command")):
        if begin in times and end in times:
            spans[name] = times[end] - times[begin]
    if status != 0 or len(spans) != 5:
        log("FAIL: no complete measurement")
        return 1
    floor = spans["read"] + spans["write"]
    apply = spans["apply"]
    package = os.path.getsize(os.path.join(args.out, "card", "map4170.tuf"))
    log(f"map tree: {len(tree)} files, {total / 1048576:.1f} MiB, package {package / 1048576:.1f} MiB; "
        f"card read {CARD_READ_BPS / 1e6:g} MB/s, root disk write {ROOT_WRITE_BPS / 1e6:g} MB/s")
    log(f"busybox tar -xzf : {spans['tar']:.2f} s, {spans['tar_sync']:.2f} s with its sync")
    log(f"I/O floor        : {floor:.2f} s (package read from the card {spans['read']:.2f} s, "
        f"the tree's bytes written with one fsync {spans['write']:.2f} s)")
    log(f"upgqx4170 apply  : {apply:.2f} s (until its data is on the disk)")
    log(f"apply / tar -xzf : {apply / spans['tar']:.2f}, {apply / spans['tar_sync']:.2f} against tar with its sync "
        f"(target 0.6)")
    log(f"apply / floor    : {apply / floor:.2f} (target 1.2)")
    return 0


def add_device_arguments(parser, tufpkg_required):
    """The options of every run on the emulated device: its output folder, the program and
    key host to run, tufpkg to pack the card, and the prepared guest parts."""
    parser.add_argument("--out", required=True)
    parser.add_argument("--program", required=True)
    parser.add_argument("--keyhost", required=True)
    parser.add_argument("--tufpkg", required=tufpkg_required)
    parser.add_argument("--cache", help="guest parts cache (default: prepare.sh's)")
    parser.add_argument("--parts-file", help="file naming the prepared guest parts (written by 'parts')")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="what", required=True)
    k = sub.add_parser("kernel")
    k.add_argument("scenario", choices=sorted(scenarios.SCENARIOS))
    add_device_arguments(k, tufpkg_required=False)
    k.add_argument("--timeout", type=float, default=110)
    k.add_argument("--map-mib", type=float, help="memory-fits: the map file's length in MiB")
    k.add_argument("--old-kernel", metavar="WRAPPER",
                   help="run the program under this oldkernel wrapper (Linux 2.6.29 simulated)")
    s = sub.add_parser("sim")
    s.add_argument("scenario", choices=sorted(scenarios.SCENARIOS))
    s.add_argument("--out", required=True)
    s.add_argument("--upgsim", required=True)
    s.add_argument("--tufpkg")
    s.add_argument("--timeout", type=float, default=100)
    c = sub.add_parser("compare")
    c.add_argument("scenario", choices=sorted(scenarios.SCENARIOS))
    c.add_argument("--kernel", required=True)
    c.add_argument("--sim", required=True)
    g = sub.add_parser("parts")
    g.add_argument("--cache", help="guest parts cache (default: prepare.sh's)")
    g.add_argument("--record", required=True, help="file to write the guest parts' directory to")
    p = sub.add_parser("probe-program")
    p.add_argument("--out", required=True)
    b = sub.add_parser("bench")
    add_device_arguments(b, tufpkg_required=True)
    b.add_argument("--timeout", type=float, default=300)
    args = parser.parse_args()
    return {"kernel": run_kernel, "sim": run_sim, "compare": compare, "parts": record_parts,
            "probe-program": build_probe, "bench": bench}[args.what](args)


if __name__ == "__main__":
    sys.exit(main())
