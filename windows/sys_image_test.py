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
import stack_balance  # noqa: E402
import sys_image  # noqa: E402

IMAGE_SCN_MEM_DISCARDABLE = sys_image.IMAGE_SCN_MEM_DISCARDABLE

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
             {"imports_path": self.write("more.txt",
                                         "".join(listed) + "NDIS.SYS NdisFoo stdcall 4\n")},
             "imports exactly"),
            ("an entry point that is not DriverEntry", lambda: None,
             {"map_path": self.write("moved.map", moved_entry)}, "entry point is DriverEntry"),
            ("a GUI subsystem", lambda: self.patch_subsystem(2), {}, "native subsystem"),
            ("no date", lambda: self.patch_header_dword(4, 0), {}, "TimeDateStamp set"),
            ("INIT kept resident", lambda: self.patch_init_flags(~IMAGE_SCN_MEM_DISCARDABLE), {},
             "INIT is marked discardable"),
            ("resident code calling into INIT", self.call_into_init, {},
             "no code outside INIT calls or points into it"),
            ("a resident pointer to a routine in INIT", self.point_into_init, {},
             "no code outside INIT calls or points into it: pointer at"),
            ("a stdcall import that pops other bytes than the driver assumes", lambda: None,
             {"imports_path": self.write("timer.txt", self.redocument(
                 listed, "NdisMSetTimer", "stdcall 12"))},
             ("every path of every routine", "declared with its documented convention")),
            ("a fastcall import taken for stdcall", lambda: None,
             {"imports_path": self.write("lock.txt", self.redocument(
                 listed, "KfReleaseSpinLock", "stdcall 8"))},
             ("every path of every routine", "declared with its documented convention")),
            ("a cdecl import taken for stdcall", lambda: None,
             {"imports_path": self.write("copy.txt", self.redocument(
                 listed, "memcpy", "stdcall 12"))},
             ("every path of every routine", "declared with its documented convention")),
            ("an import without a documented convention", lambda: None,
             {"imports_path": self.write("bare.txt", self.redocument(listed, "NdisMSleep", ""))},
             "every import has a documented calling convention"),
            ("a path that leaves bytes on the stack", self.unbalance_a_path, {},
             "every path of every routine"),
            ("a miniport handler that pops the wrong bytes",
             lambda: self.patch_rets("MiniportReset", 8, 12), {},
             "every routine Windows calls through a pointer"),
            ("library code besides memcmp", lambda: None,
             {"map_path": self.write("divide.map", map_text.replace(
                 "                memcmp\n", "                __udivdi3\n"))},
             "library code linked in: only memcmp"),
        ]
        for name, damage, paths, rules in cases:
            with self.subTest(name):
                shutil.copy(IMAGE, self.image)
                damage()
                status, out = self.run_check(**paths)
                self.assertEqual(status, 1, out)
                failed = [line for line in out.splitlines() if line.startswith("FAIL")]
                for rule in (rules,) if isinstance(rules, str) else rules:
                    self.assertTrue(any(rule in line for line in failed), f"{rule}:\n{out}")

    def test_a_callback_nobody_documented_fails(self):
        # The work item routine is static: the check must still find it by name.
        saved = dict(sys_image.CALLBACKS)
        del sys_image.CALLBACKS["FinishPendedSet"]
        try:
            status, out = self.run_check()
        finally:
            sys_image.CALLBACKS.clear()
            sys_image.CALLBACKS.update(saved)
        self.assertEqual(status, 1, out)
        self.assertIn("FinishPendedSet(_NDIS_WORK_ITEM*, void*)@8 is called through a pointer "
                      "but has no documented argument bytes", out)

    # ---- Damage ------------------------------------------------------------------------------

    @staticmethod
    def redocument(listed, routine, convention):
        lines = []
        for line in listed:
            fields = line.split()
            if fields[1] == routine:
                line = " ".join(fields[:2] + convention.split()) + "\n"
            lines.append(line)
        return "".join(lines)

    def read(self):
        with open(self.image, "rb") as f:
            return bytearray(f.read())

    def rewrite(self, image):
        with open(self.image, "wb") as f:
            f.write(image)
        sys_image.seal(self.image)

    def patch_header_dword(self, offset_in_file_header, value):
        image = self.read()
        pe = struct.unpack_from("<I", image, 0x3C)[0]
        struct.pack_into("<I", image, pe + 4 + offset_in_file_header, value)
        self.rewrite(image)

    def patch_init_flags(self, mask):
        image = self.read()
        for name, header in sys_image.section_table(image):
            if name == "INIT":
                flags = struct.unpack_from("<I", image, header + 36)[0]
                struct.pack_into("<I", image, header + 36, flags & mask & 0xFFFFFFFF)
        self.rewrite(image)

    def program(self):
        return stack_balance.parse_disassembly(
            sys_image.objdump(OBJDUMP, "-d", "--no-show-raw-insn", self.image))

    def file_offset(self, image, address):
        base = struct.unpack_from("<I", image, struct.unpack_from("<I", image, 0x3C)[0] + 52)[0]
        for _, header in sys_image.section_table(image):
            size, rva, _, raw = struct.unpack_from("<IIII", image, header + 8)
            if base + rva <= address < base + rva + size:
                return raw + address - base - rva
        raise ValueError(f"{address:#x} is in no section")

    def call_into_init(self):
        """Points the first direct call in .text at DriverEntry, in INIT."""
        with open(MAP) as f:
            driver_entry = sys_image.entry_from_map(f.read())
        image = self.read()
        for address, (mnemonic, operands, _) in sorted(self.program().items()):
            if mnemonic == "call" and stack_balance.absolute(operands[0]) and \
                    not operands[0].startswith("*") and address < driver_entry:
                offset = self.file_offset(image, address)
                struct.pack_into("<i", image, offset + 1, driver_entry - (address + 5))
                break
        self.rewrite(image)

    def point_into_init(self):
        """Aims the first relocated pointer to resident code at DriverEntry instead."""
        with open(MAP) as f:
            driver_entry = sys_image.entry_from_map(f.read())
        image = self.read()
        private = sys_image.objdump(OBJDUMP, "-p", self.image)
        read_dword = stack_balance.pe_reader(bytes(image))
        base = sys_image.header_field(private, "ImageBase")
        start, end = sys_image.sections(sys_image.objdump(OBJDUMP, "-h", self.image))[".text"]
        for rva in sys_image.relocated_pointers(private):
            value = read_dword(base + rva)
            if start <= value < end and start <= base + rva < end:
                struct.pack_into("<I", image, self.file_offset(image, base + rva), driver_entry)
                break
        self.rewrite(image)

    def unbalance_a_path(self):
        """Makes the first short 'add $N,%esp' of the code release four bytes more."""
        image = self.read()
        for address, (mnemonic, operands, _) in sorted(self.program().items()):
            if mnemonic == "add" and operands[-1] == "%esp":
                offset = self.file_offset(image, address)
                if image[offset:offset + 2] == b"\x83\xc4":
                    image[offset + 2] += 4
                    break
        self.rewrite(image)

    def patch_rets(self, routine, pops, new_pops):
        """Every 'ret pops' of the routine, up to the next one the map names, pops new_pops."""
        with open(MAP) as f:
            map_text = f.read()
        entry = sys_image.symbol_address(map_text, routine)
        after = min(a for a in sys_image.map_symbols(map_text) if a > entry)
        image = self.read()
        for address, (mnemonic, operands, _) in sorted(self.program().items()):
            if entry <= address < after and mnemonic == "ret" and operands == [f"${pops:#x}"]:
                struct.pack_into("<H", image, self.file_offset(image, address) + 1, new_pops)
        self.rewrite(image)

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


class StackModelOnSamples(unittest.TestCase):
    """The stack model on small routines: at 0x1000 the one under test, at 0x1100 another,
    NdisMSetTimer (stdcall, 8 bytes) in the import slot at 0x9000, a jump table at 0x8000."""

    OTHER = [(0x1100, "ret    $0xc")]
    TABLE = {0x8000: 0x1010, 0x8004: 0x1020}

    def model(self, lines):
        text = "\n".join(f"{a:8x}:\t{t}" for a, t in lines + self.OTHER)
        image = stack_balance.Image(
            stack_balance.parse_disassembly(text), {0x9000: ("NDIS.SYS NdisMSetTimer", 8)},
            {0x1000: "Routine", 0x1100: "Other"}, [(0x1000, 0x2000)], self.TABLE.get)
        return stack_balance.StackModel(image).routine(0x1000)

    def test_samples(self):
        cases = [
            ("arguments pushed for a stdcall import",
             [(0x1000, "push   %eax"), (0x1001, "push   $0x1"), (0x1003, "call   *0x9000"),
              (0x1009, "ret    $0x4")], 4, None),
            ("a stdcall import whose arguments the caller releases too",
             [(0x1000, "push   %eax"), (0x1001, "push   $0x1"), (0x1003, "call   *0x9000"),
              (0x1009, "add    $0x8,%esp"), (0x100c, "ret")], 0, "returns with -8 bytes"),
            ("an import held in a register, under a frame pointer",
             [(0x1000, "push   %ebp"), (0x1001, "mov    %esp,%ebp"),
              (0x1003, "mov    0x9000,%esi"), (0x1009, "sub    $0x18,%esp"),
              (0x100c, "lea    0x0(%esi,%eiz,1),%esi"), (0x1010, "call   *%esi"),
              (0x1012, "leave"), (0x1013, "ret")], 0, None),
            ("an import spilled to the stack and loaded back",
             [(0x1000, "sub    $0xc,%esp"), (0x1003, "mov    0x9000,%eax"),
              (0x1008, "mov    %eax,0x8(%esp)"), (0x100c, "push   $0x1"),
              (0x100e, "push   $0x2"), (0x1010, "mov    0x10(%esp),%ecx"),
              (0x1014, "call   *%ecx"), (0x1016, "add    $0xc,%esp"), (0x1019, "ret")], 0, None),
            ("paths that meet with different stacks",
             [(0x1000, "je     0x1003"), (0x1002, "push   %eax"), (0x1003, "pop    %eax"),
              (0x1004, "ret")], None, "paths meet at 0x1003"),
            ("a switch whose cases return differently",
             [(0x1000, "jmp    *0x8000(,%eax,4)"), (0x1010, "ret    $0x4"),
              (0x1020, "ret    $0x8")], 4, "returns popping"),
            ("a tail call of another routine",
             [(0x1000, "jmp    0x1100")], 12, None),
            ("a tail call with bytes still pushed",
             [(0x1000, "push   %eax"), (0x1001, "jmp    0x1100")], None, "tail call at 0x1001"),
            ("a handler of the miniport block",
             [(0x1000, "push   %eax"), (0x1001, "push   %edx"), (0x1002, "call   *0x18c(%ecx)"),
              (0x1008, "ret    $0x8")], 8, None),
            ("arguments released with a sized mnemonic",
             [(0x1000, "subl   $0x8,%esp"), (0x1003, "addl   $0x8,%esp"), (0x1006, "ret")], 0,
             None),
            ("a stack realigned", [(0x1000, "and    $0xfffffff0,%esp"), (0x1003, "ret")], None,
             "changes ESP"),
            ("a frame made by enter", [(0x1000, "enter  $0x8,$0x0"), (0x1004, "ret")], None,
             "enter moves ESP"),
            ("a call through an unknown pointer",
             [(0x1000, "call   *%eax"), (0x1002, "ret")], None, "cannot resolve"),
        ]
        for name, lines, pops, problem in cases:
            with self.subTest(name):
                routine = self.model(lines)
                if problem is None:
                    self.assertEqual(routine.problems, [])
                    self.assertEqual(routine.pops, pops)
                else:
                    self.assertTrue(any(problem in p for p in routine.problems),
                                    routine.problems)


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
