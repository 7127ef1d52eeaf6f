#!/usr/bin/env python3
"""Proves that the image check catches what it is there to catch, by running it on damaged
copies of the built driver and on small samples of objdump and linker-map text.

  sys_image_test.py qvnet.sys qvnet.map expected_imports.txt OBJDUMP
"""

import contextlib
import io
import os
import shutil
import struct
import sys
import tempfile
import types
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sys_image  # noqa: E402

IMAGE, MAP, IMPORTS, OBJDUMP = sys.argv[1:5] if len(sys.argv) >= 5 else (None,) * 4


class CheckOnDamagedImages(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()
        self.image = os.path.join(self.dir, "qvnet.sys")
        shutil.copy(IMAGE, self.image)

    def tearDown(self):
        shutil.rmtree(self.dir)

    def run_check(self, map_path=MAP, imports_path=IMPORTS):
        args = types.SimpleNamespace(image=self.image, map=map_path, imports=imports_path,
                                     objdump=OBJDUMP)
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            status = sys_image.check(args)
        return status, out.getvalue()

    def write(self, name, text):
        path = os.path.join(self.dir, name)
        with open(path, "w") as f:
            f.write(text)
        return path

    def test_the_built_image_passes(self):
        status, out = self.run_check()
        self.assertEqual(status, 0, out)

    def test_each_damage_fails_its_rule(self):
        with open(IMPORTS) as f:
            listed = [line for line in f if line.strip() and not line.startswith("#")]
        with open(MAP) as f:
            map_text = f.read()
        moved_entry = map_text.replace("DriverEntry@8", "DriverEntryElsewhere")
        cases = [
            ("a stale checksum", lambda: self.patch_checksum(1), {}, "image checksum valid"),
            ("an import not on the list", lambda: None,
             {"imports_path": self.write("fewer.txt", "".join(listed[1:]))},
             "imports exactly"),
            ("a listed import the image lacks", lambda: None,
             {"imports_path": self.write("more.txt", "".join(listed) + "NDIS.SYS NdisFoo\n")},
             "imports exactly"),
            ("an entry point that is not DriverEntry", lambda: None,
             {"map_path": self.write("moved.map", moved_entry)}, "entry point is DriverEntry"),
            ("a GUI subsystem", lambda: self.patch_subsystem(2), {}, "native subsystem"),
        ]
        for name, damage, paths, rule in cases:
            with self.subTest(name):
                shutil.copy(IMAGE, self.image)
                damage()
                status, out = self.run_check(**paths)
                self.assertEqual(status, 1, out)
                failed = [line for line in out.splitlines() if line.startswith("FAIL")]
                self.assertTrue(any(rule in line for line in failed), out)

    def patch_checksum(self, delta):
        with open(self.image, "r+b") as f:
            image = f.read()
            offset = sys_image.checksum_offset(image)
            (value,) = struct.unpack_from("<I", image, offset)
            f.seek(offset)
            f.write(struct.pack("<I", value + delta))

    def patch_subsystem(self, subsystem):
        with open(self.image, "r+b") as f:
            image = bytearray(f.read())
            struct.pack_into("<H", image, sys_image.checksum_offset(image) + 4, subsystem)
            f.seek(0)
            f.write(image)
        sys_image.seal(self.image)


class TextScanners(unittest.TestCase):
    def test_floating_point_and_vector_instructions_are_found(self):
        lines = {
            "  11000:\tfldl   0x8(%esp)": True,
            "  11004:\tfnstcw 0x2(%esp)": True,
            "  11008:\tmovsd  %xmm0,(%eax)": True,
            "  1100c:\tpxor   %mm1,%mm1": True,
            "  11010:\tfstp   %st(1)": True,
            "  11014:\tmov    %fs:0x0,%eax": False,
            "  11018:\tmovsl  %ds:(%esi),%es:(%edi)": False,
            "  1101c:\tcli": False,
        }
        for line, floating in lines.items():
            with self.subTest(line):
                self.assertEqual(bool(sys_image.floating_point_instructions(line)), floating)

    def test_constructor_tables_in_the_map_are_found(self):
        sample = "\n".join([
            " .ctors         0x00013000        0x4 foo.o",
            " .ctors.65535",
            "                0x00013004        0x8 bar.o",
            " .init_array    0x00013010        0x0 empty.o",
            " .text          0x00011000       0x50 baz.o",
        ])
        found = sys_image.constructor_inputs(sample)
        self.assertEqual(found, [".ctors from foo.o", ".ctors.65535 from bar.o"])

    def test_irql_raising_calls_are_found_through_their_slots(self):
        slots = {0x1C14C: "HAL.dll KfAcquireSpinLock", 0x1C150: "HAL.dll KfLowerIrql"}
        sample = "\n".join([
            "   17000:\tcall   *0x1c14c",
            "   17006:\tcall   *0x1c150",
            "   1700c:\tcli",
            "   1700d:\tcall   0x11000",
        ])
        self.assertEqual(sys_image.raising_instructions(sample, slots),
                         ["17000:\tcall   *0x1c14c HAL.dll KfAcquireSpinLock", "1700c:\tcli"])

    def test_checksum_matches_a_hand_computed_sum(self):
        # A minimal PE header: e_lfanew at 0x3C pointing at "PE\0\0", the rest zero.
        image = bytearray(0x100)
        struct.pack_into("<I", image, 0x3C, 0x40)
        image[0x40:0x44] = b"PE\0\0"
        image[0xF0:0xF4] = b"\x01\x00\xFF\xFF"
        expected = 0x40 + 0x4550 + 0x0001 + 0xFFFF  # words, then folded once
        expected = (expected & 0xFFFF) + (expected >> 16) + len(image)
        self.assertEqual(sys_image.image_checksum(bytes(image)), expected)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]], verbosity=1)
