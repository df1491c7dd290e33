#!/usr/bin/env python3
"""Checks of the harness's own parts: a screen comparison that cannot see a
difference, or an initramfs the kernel cannot unpack, would make every target test
meaningless."""

import gzip
import os
import struct
import subprocess
import sys
import tempfile
import unittest
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import harness  # noqa: E402
import screens  # noqa: E402


def pattern(width, height):
    """Every RGB565 value at least once on a 256x256 picture, then repeating."""
    pixels = bytearray()
    for i in range(width * height):
        v = (i * 40503) & 0xFFFF
        pixels += bytes((v >> 8, v & 0xFF))
    return screens.Picture(width, height, bytes(pixels))


def ppm(width, height, rgb):
    return b"P6\n%d %d\n255\n" % (width, height) + rgb


def png_with_filter(width, height, rgb, kind):
    """An RGB PNG whose rows all use filter `kind` (0..4), to read what libpng may write."""
    stride = 3 * width
    rows = bytearray()
    previous = bytes(stride)
    for y in range(height):
        line = rgb[y * stride:(y + 1) * stride]
        out = bytearray(stride)
        for i in range(stride):
            left = line[i - 3] if i >= 3 else 0
            up = previous[i]
            upper_left = previous[i - 3] if i >= 3 else 0
            predictor = [0, left, up, (left + up) >> 1, screens._paeth(left, up, upper_left)][kind]
            out[i] = (line[i] - predictor) & 0xFF
        rows += bytes((kind,)) + out
        previous = line
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + screens._chunk(b"IHDR", header) +
            screens._chunk(b"IDAT", zlib.compress(bytes(rows))) + screens._chunk(b"IEND", b""))


class ScreenPictures(unittest.TestCase):
    def test_png_written_reads_back_as_the_same_rgb565_values(self):
        picture = pattern(256, 256)
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "p.png")
            screens.write_png(path, picture)
            self.assertEqual(screens.read_png(path), picture)

    def test_qemu_and_upgsim_channel_expansions_map_to_the_same_picture(self):
        picture = pattern(256, 256)
        replicated = screens.rgb565_to_888(picture.pixels)
        # QEMU shifts the channels up and leaves the low bits zero.
        shifted = bytearray(replicated)
        for i in range(0, len(shifted), 3):
            shifted[i] &= 0xF8
            shifted[i + 1] &= 0xFC
            shifted[i + 2] &= 0xF8
        self.assertEqual(screens.picture_from_ppm(ppm(256, 256, bytes(shifted))), picture)
        self.assertEqual(screens.picture_from_ppm(ppm(256, 256, replicated)), picture)

    def test_every_png_row_filter_is_undone(self):
        picture = pattern(40, 30)
        rgb = screens.rgb565_to_888(picture.pixels)
        with tempfile.TemporaryDirectory() as tmp:
            for kind in range(5):
                path = os.path.join(tmp, f"f{kind}.png")
                with open(path, "wb") as f:
                    f.write(png_with_filter(40, 30, rgb, kind))
                self.assertEqual(screens.read_png(path), picture, f"filter {kind}")

    def test_one_changed_pixel_is_found_with_its_place_and_values(self):
        a = pattern(64, 48)
        changed = bytearray(a.pixels)
        i = 2 * (17 * 64 + 33)
        changed[i + 1] ^= 0x01  # lowest blue bit
        b = screens.Picture(64, 48, bytes(changed))
        self.assertNotEqual(a, b)
        count, first = a.differences(b)
        self.assertEqual(count, 1)
        self.assertEqual(first[0][:2], (33, 17))
        self.assertEqual(first[0][2] ^ first[0][3], 0x0001)
        self.assertEqual(a.bounding_box(b), (33, 17, 33, 17))

    def test_ppm_comments_and_header_whitespace_are_skipped(self):
        data = b"P6\n# dump\n2 1\n255\n" + bytes((255, 255, 255, 0, 0, 0))
        picture = screens.picture_from_ppm(data)
        self.assertEqual((picture.width, picture.height), (2, 1))
        self.assertEqual((picture.at(0, 0), picture.at(1, 0)), (0xFFFF, 0x0000))


def place(screen, picture, x, y):
    """`picture` drawn onto the bytearray `screen` (640 wide) at (x, y)."""
    for row in range(picture.height):
        start = 2 * ((y + row) * harness.SCREEN_W + x)
        screen[start:start + 2 * picture.width] = picture.pixels[2 * row * picture.width:2 * (row + 1) * picture.width]


class UpdatingWindow(unittest.TestCase):
    def setUp(self):
        self.busy = harness.BusyPicture()
        self.updating = screens.read_png(os.path.join(harness.ASSETS, "dlgUpt.png"))
        self.frame = screens.read_png(os.path.join(harness.ASSETS, "proc3.png"))

    def screen(self):
        screen = bytearray(2 * harness.SCREEN_W * harness.SCREEN_H)
        place(screen, self.updating, harness.DIALOG_X, harness.DIALOG_Y)
        place(screen, self.frame, harness.SPINNER_X, harness.SPINNER_Y)
        return screen

    def picture(self, screen):
        return screens.Picture(harness.SCREEN_W, harness.SCREEN_H, bytes(screen))

    def test_updating_window_with_any_spinner_frame_is_busy(self):
        self.assertTrue(self.busy.shown(self.picture(self.screen())))

    def test_a_result_drawn_over_it_is_not_busy(self):
        screen = self.screen()
        place(screen, screens.read_png(os.path.join(harness.ASSETS, "msg1.png")), harness.DIALOG_X, harness.DIALOG_Y)
        self.assertFalse(self.busy.shown(self.picture(screen)))
        self.assertFalse(self.busy.shown(self.picture(bytearray(2 * harness.SCREEN_W * harness.SCREEN_H))))

    def test_one_pixel_outside_the_spinner_is_enough_to_differ(self):
        screen = self.screen()
        i = 2 * ((harness.SPINNER_Y + 10) * harness.SCREEN_W + harness.SPINNER_X - 1)
        screen[i] ^= 0x80
        self.assertFalse(self.busy.shown(self.picture(screen)))


class Initramfs(unittest.TestCase):
    def test_archive_lists_files_links_and_directories_for_cpio(self):
        archive = harness.Cpio()
        archive.directory("bin")
        archive.file("bin/busybox", b"\x7fELF" + bytes(7), 0o755)  # odd length: padding
        archive.symlink("bin/sh", "busybox")
        archive.file("init", b"#!/bin/sh\n", 0o755)
        data = archive.finish()
        listing = subprocess.run(["cpio", "-itv", "--quiet"], input=data, stdout=subprocess.PIPE,
                                 check=True).stdout.decode()
        lines = listing.splitlines()
        self.assertEqual(len(lines), 4, listing)
        self.assertTrue(lines[0].startswith("d") and lines[0].endswith(" bin"))
        self.assertTrue(lines[1].startswith("-rwxr-xr-x") and lines[1].endswith(" bin/busybox"))
        self.assertIn(" 11 ", lines[1])
        self.assertTrue(lines[2].startswith("l") and lines[2].endswith("bin/sh -> busybox"))
        self.assertTrue(lines[3].endswith(" init"))


class RootDisk(unittest.TestCase):
    def test_disk_holds_the_device_files_and_the_initramfs_only_what_mounts_it(self):
        with tempfile.TemporaryDirectory() as tmp:
            parts = os.path.join(tmp, "parts")
            os.makedirs(os.path.join(parts, "modules"))
            for name, body in (("busybox", b"BB"), ("modules.list", b"virtio.ko\n"),
                               ("disk-modules.list", b"ext4.ko\n"), ("modules/virtio.ko", b"V"),
                               ("modules/ext4.ko", b"E"), ("init", b"#!/bin/sh\n"), ("program", b"PROG")):
                with open(os.path.join(parts, name), "wb") as f:
                    f.write(body)
            image, initrd = os.path.join(tmp, "root.img"), os.path.join(tmp, "initrd.gz")
            harness.build_root_disk(parts, os.path.join(parts, "program"), os.path.join(parts, "init"), ["a.tuf"],
                                    b"1.0\n3.1\n7", initrd, image, tmp, {"/cmap/map/old.map": b"OLD"})

            def cat(path):
                return subprocess.run(["debugfs", "-R", f"cat {path}", image], stdout=subprocess.PIPE,
                                      stderr=subprocess.DEVNULL, check=True).stdout

            self.assertEqual(cat("/usr/bin/upgqx4170"), b"PROG")
            self.assertEqual(cat("/cmap/version.txt"), b"1.0\n3.1\n7")
            self.assertEqual(cat("/cmap/map/old.map"), b"OLD")
            self.assertEqual(cat("/etc/upg/args"), b"a.tuf\n")
            self.assertEqual(cat("/etc/upg/root-disk"), b"")
            with open(initrd, "rb") as f:
                listing = subprocess.run(["cpio", "-it", "--quiet"], input=gzip.decompress(f.read()),
                                         stdout=subprocess.PIPE, check=True).stdout.decode().split()
            self.assertIn("etc/upg/root-disk", listing)
            self.assertIn("lib/modules/ext4.ko", listing)
            self.assertNotIn("usr/bin/upgqx4170", listing)


class Packages(unittest.TestCase):
    def test_entries_are_walked_by_the_record_sizes(self):
        data = b"hello, device\n" * 20
        packed = zlib.compress(data)
        header = b"TUF\0" + struct.pack("<I", 160) + b"QX4170\0\0" + b"2.0".ljust(16, b"\0") + bytes(128)

        def record(name, kind, compressed=0, size=0, packed_size=0, skip=0):
            return name.encode().ljust(130, b"\0") + bytes((kind, compressed)) + struct.pack(
                "<III", size, packed_size, skip)

        body = (record("/opt", 0) + record("/opt/a", 1, 1, len(data), len(packed), 3) + packed + b"xyz" +
                record("/opt/b", 1, 0, 5) + b"plain")
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "p.tuf")
            with open(path, "wb") as f:
                f.write(header + body)
            entries = harness.tuf_entries(path)
        a_start = 160 + 144 + 144
        self.assertEqual(entries, [("/opt", 0, 160 + 144, 0),
                                   ("/opt/a", 1, a_start, len(packed)),
                                   ("/opt/b", 1, a_start + len(packed) + 3 + 144, 5)])


if __name__ == "__main__":
    unittest.main()
