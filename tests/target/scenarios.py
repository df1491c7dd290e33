"""The target scenarios: what each card holds, which keys the user presses, and
what the run must leave behind. The kernel run and the upgsim run of a scenario use
the same card and the same keys."""

# The version file on the device before each run: program, map, user map.
VERSION_BEFORE = b"1.0\n3.1\n7"

# Key controller commands as sim::KeyController describes them.
BEEP = "beep"
POWER_OFF = ["power: $SNB3", "power: $SLB255", "power off"]

# What the program prints at start-up on the device's 640x480 RGB565 screen: the
# screen information as the 32-bit kernel hands it over.
START_OUTPUT = ["UpgQx4170 - ver.130315", ">> Use SPI!!!", "Frame Buffer Info :", "+ Width  : 640",
                "+ Height : 480", "+ Size   : 614400", "+ BPP    : 16", "+ Red    : 5 11",
                "+ Green  : 6 5", "+ Blue   : 5 0"]

FIRST_SH = b"#!/bin/sh\necho first script ran >> /cmap/first.log\n"

# A program package: a tree laid onto "/", a command run after it.
PROGRAM_TREE = {
    "opt/qx4170/bin/tool": b"#!/bin/sh\necho tool 2.0\n",
    "opt/qx4170/share/readme.txt": b"QX4170 program 2.0\n" * 40,
    "opt/qx4170/share/empty": b"",
}
PROGRAM_COMMAND = "/opt/qx4170/bin/tool > /opt/qx4170/command.out"

# Map files for a device with 128 MiB of memory (the extraction holds a whole file in
# memory). They compress to almost nothing, so the card stays small; what the device
# needs is the file's length either way.
MIB = 1024 * 1024
FITTING_MAP = bytes(range(256)) * (48 * MIB // 256)
OLD_MAP = b"world map 3.1\n" * 1000

def map_applied(files):
    """What the memory scenarios expect: the map 3.2 with its one file /cmap/map/world.map
    confirmed, applied and the device powered off."""
    return {
        "screens": 2,
        "commands": [BEEP, BEEP] + POWER_OFF,
        "powered_off": True,
        "output": START_OUTPUT + ["PATH map4170.tuf", "+ Create file : (00) /cmap/map/world.map"],
        "version": b"1.0\n3.2\n7",
        "files": files,
    }


SCENARIOS = {
    # The stand-in program: checks the guest parts and the harness, not the product.
    "probe": {
        "program": "probe",
        "card": {},
        "keys": ["right", "ok", "power"],
        "expect": {
            "screens": 3,
            "commands": [BEEP, BEEP] + POWER_OFF,
            "powered_off": True,
        },
        "sim": False,
    },
    # Apply a program package: first script, files, command, version file,
    # completion message, power key.
    "apply": {
        "card": {
            "first.sh": FIRST_SH,
            "qx4170.tuf": {"id": "QX4170", "version": "2.0", "command": PROGRAM_COMMAND,
                           "tree": PROGRAM_TREE},
        },
        "keys": ["ok", "power"],
        "expect": {
            "screens": 2,
            "commands": [BEEP, BEEP] + POWER_OFF,
            "powered_off": True,
            "output": START_OUTPUT + ["Found .sh : first.sh", "PATH qx4170.tuf", ">>>>>> : sh ./first.sh",
                                      "+ Do command : (00) " + PROGRAM_COMMAND],
            "version": b"2.0\n3.1\n7",
            "files": {
                "/opt/qx4170/bin/tool": PROGRAM_TREE["opt/qx4170/bin/tool"],
                "/opt/qx4170/share/readme.txt": PROGRAM_TREE["opt/qx4170/share/readme.txt"],
                "/opt/qx4170/share/empty": b"",
                "/opt/qx4170/command.out": b"tool 2.0\n",
                "/cmap/first.log": b"first script ran\n",
            },
            "modes": {"/opt/qx4170/bin/tool": "777"},
        },
    },
    # Skip a package: focus to no, select. Nothing is applied, the run ends.
    "skip": {
        "card": {
            "first.sh": FIRST_SH,
            "qx4170.tuf": {"id": "QX4170", "version": "2.0", "command": PROGRAM_COMMAND,
                           "tree": PROGRAM_TREE},
        },
        "keys": ["right", "ok"],
        "expect": {
            "screens": 2,
            "commands": [BEEP, BEEP],
            "powered_off": False,
            "output": START_OUTPUT + ["PATH qx4170.tuf"],
            "exit": 0,
            "version": VERSION_BEFORE,
            "files": {},
            "absent": ["/opt/qx4170", "/cmap/first.log"],
        },
    },
    # A package whose file data is cut short: the failure message, nothing recorded.
    "extract-fails": {
        "card": {
            "qx4170.tuf": {"id": "QX4170", "version": "2.0", "command": PROGRAM_COMMAND,
                           "tree": PROGRAM_TREE, "truncate_in_data": "opt/qx4170/share/readme.txt"},
        },
        "keys": ["ok"],
        "expect": {
            "screens": 2,
            "commands": [BEEP],  # the key; no second beep without success
            "powered_off": False,
            "output": START_OUTPUT + ["PATH qx4170.tuf", "<<<<<< : sh ./first.sh"],
            "exit": 0,
            "sim_exit": 1,  # upgsim: a package failed
            "version": VERSION_BEFORE,
            "absent": ["/opt/qx4170/command.out", "/opt/qx4170/share/readme.txt"],
        },
    },
    # A map package named on the command line: only it is offered (the program
    # package beside it is not), the focus goes to no and back, the map line changes.
    "map-argument": {
        "args": ["map4170.tuf"],
        "card": {
            "qx4170.tuf": {"id": "QX4170", "version": "2.0", "command": PROGRAM_COMMAND,
                           "tree": PROGRAM_TREE},
            "map4170.tuf": {"id": "MAP4170", "version": "3.2", "command": "",
                            "tree": {"cmap/map/europe.map": bytes(range(256)) * 64}},
        },
        "keys": ["left", "left", "ok", "power"],
        "expect": {
            "screens": 4,
            "commands": [BEEP, BEEP, BEEP, BEEP] + POWER_OFF,
            "powered_off": True,
            "output": START_OUTPUT + ["PATH map4170.tuf"],
            "version": b"1.0\n3.2\n7",
            "files": {"/cmap/map/europe.map": bytes(range(256)) * 64},
            "absent": ["/opt/qx4170"],
        },
    },
    # With the trust key /cmap/upgrade.pub: the signed package and first script are
    # used, the unsigned map package is not offered.
    "signed": {
        "card": {
            "first.sh": FIRST_SH,
            "qx4170.tuf": {"id": "QX4170", "version": "2.0", "command": PROGRAM_COMMAND,
                           "tree": PROGRAM_TREE},
            "map4170.tuf": {"id": "MAP4170", "version": "3.2", "command": "",
                            "tree": {"cmap/map/europe.map": bytes(range(256)) * 64}},
        },
        "signed": ["first.sh", "qx4170.tuf"],
        "keys": ["ok", "power"],
        "expect": {
            "screens": 2,
            "commands": [BEEP, BEEP] + POWER_OFF,
            "powered_off": True,
            "output": START_OUTPUT + ["PATH map4170.tuf", 'Skip : no valid signature for "map4170.tuf"',
                                      "PATH qx4170.tuf", ">>>>>> : sh ./first.sh"],
            "sim_exit": 1,  # upgsim: the unsigned package failed
            "version": b"2.0\n3.1\n7",
            "files": {
                "/opt/qx4170/share/readme.txt": PROGRAM_TREE["opt/qx4170/share/readme.txt"],
                "/opt/qx4170/command.out": b"tool 2.0\n",
                "/cmap/first.log": b"first script ran\n",
            },
            "absent": ["/cmap/map"],
        },
    },
    # A signed package changed after signing (one bit of a file's data): read once on
    # yes, after the signed first script, its files staged while every byte is hashed;
    # the signature fails at its end, the failure message shows, no file of it is left,
    # staged or in place (its folders may stay), and its command does not run.
    "signed-changed": {
        "card": {
            "first.sh": FIRST_SH,
            "qx4170.tuf": {"id": "QX4170", "version": "2.0", "command": PROGRAM_COMMAND,
                           "tree": PROGRAM_TREE, "flip_in_data": "opt/qx4170/share/readme.txt"},
        },
        "signed": ["first.sh", "qx4170.tuf"],
        "keys": ["ok"],
        "expect": {
            "screens": 2,
            "commands": [BEEP],
            "powered_off": False,
            "output": START_OUTPUT + ["PATH qx4170.tuf", ">>>>>> : sh ./first.sh",
                                      'Error : signature of "qx4170.tuf" : the file does not match its signature'],
            "exit": 0,
            "sim_exit": 1,  # upgsim: a package failed
            "version": VERSION_BEFORE,
            "files": {"/cmap/first.log": b"first script ran\n"},
            "absent": ["/" + path + suffix for path in PROGRAM_TREE for suffix in ("", ".tuf-new")]
                      + ["/opt/qx4170/command.out"],
        },
    },
    # A device with 128 MiB of memory and its root file system on a disk: a map
    # package whose one big file fits applies like any other.
    "memory-fits": {
        "memory_mib": 128,
        "root_disk": True,
        "sim": False,
        "sized_file": "cmap/map/world.map",  # harness.py kernel --map-mib changes its length
        "peak": True,
        "card": {"map4170.tuf": {"id": "MAP4170", "version": "3.2", "command": "",
                                 "tree": {"cmap/map/world.map": FITTING_MAP}}},
        "keys": ["ok", "power"],
        "expect": map_applied({"/cmap/map/world.map": FITTING_MAP}),
    },
    # An empty card: nothing is offered, nothing drawn, the program returns 0.
    "empty-card": {
        "card": {},
        "keys": [],
        "expect": {
            "screens": 0,
            "commands": [],
            "powered_off": False,
            "output": START_OUTPUT,
            "exit": 0,
            "version": VERSION_BEFORE,
            "files": {},
        },
    },
}


# The old-kernel family (harness.py kernel --old-kernel): calls newer than Linux 2.6.29 that the
# static C library (glibc 2.36) tries first and, answered ENOSYS, does without (rseq; getrandom
# for malloc's heap key, which then comes from the clock) or replaces by older ones, as it must on
# such a kernel; and syncfs (2.6.39), which the program's file writer replaces by one sync. Any
# other refused call fails the scenario, naming the call.
OLD_KERNEL_FALLBACKS = {"rseq", "getrandom", "clock_gettime64", "statx", "syncfs"}


def large_file(stored):
    """A device with 128 MiB of memory and a map whose one file is 300 MiB, more than twice the
    memory: it applies only when the extraction streams the file through small buffers. The
    harness makes the file (too large to keep here): compressible, or random and thus stored.
    The card and the root disk are 512 MiB; the disk holds the old file, the new one and,
    until the rename, the new one's temporary copy beside it."""
    return {
        "memory_mib": 128,
        "root_disk": True,
        "disk_mib": 512,
        "sim": False,
        "peak": True,
        "large_file": {"path": "cmap/map/world.map", "mib": 300, "stored": stored},
        "rootfs": {"/cmap/map/world.map": OLD_MAP},
        "card": {"map4170.tuf": {"id": "MAP4170", "version": "3.2", "command": "", "tree": {}}},
        "keys": ["ok", "power"],
        "expect": map_applied({}),  # the harness adds the file
    }


SCENARIOS["large-file"] = large_file(stored=False)
SCENARIOS["large-file-stored"] = large_file(stored=True)
