#!/usr/bin/env python3
"""The driver image: seal it with its checksum, and check that it is a loadable NDIS 5.0 driver.

  sys_image.py seal  qvnet.sys
  sys_image.py check qvnet.sys --map qvnet.map --imports expected_imports.txt [--objdump OBJDUMP]

The check reads the image with objdump from the cross toolchain (and the linker's map for where
DriverEntry landed) and fails unless every rule below holds; it prints one line per rule.
"""

import argparse
import re
import struct
import subprocess
import sys

ALLOWED_MODULES = ("NDIS.SYS", "USBD.SYS", "ntoskrnl.exe", "HAL.dll")
# Routines that return with a spin lock held or the IRQL raised.
RAISING_ROUTINES = ("KfAcquireSpinLock", "KfRaiseIrql", "KeRaiseIrqlToDpcLevel",
                    "KefAcquireSpinLockAtDpcLevel", "KeAcquireSpinLockRaiseToDpc")
PAGEABLE_ROUTINES = ("MiniportInitialize", "MiniportHalt", "ReleaseAllResources")
CHECKSUM_OFFSET_IN_OPTIONAL_HEADER = 64


# ---- The image checksum ------------------------------------------------------------------------

def checksum_offset(image):
    """File offset of the optional header's CheckSum field."""
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if image[pe:pe + 4] != b"PE\0\0":
        raise ValueError("not a PE image")
    return pe + 4 + 20 + CHECKSUM_OFFSET_IN_OPTIONAL_HEADER


def image_checksum(image):
    """The PE checksum: 16-bit one's-complement-style sum of the file with the CheckSum field
    taken as zero, folded to 16 bits, plus the file's length."""
    skip = checksum_offset(image)
    data = bytearray(image)
    data[skip:skip + 4] = b"\0\0\0\0"
    if len(data) % 2:
        data.append(0)
    total = 0
    for (word,) in struct.iter_unpack("<H", data):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return (total & 0xFFFF) + len(image)


def seal(path):
    with open(path, "rb") as f:
        image = bytearray(f.read())
    struct.pack_into("<I", image, checksum_offset(image), image_checksum(image))
    with open(path, "wb") as f:
        f.write(image)


# ---- Reading the image through objdump -----------------------------------------------------------

def objdump(tool, *args):
    return subprocess.run([tool, *args], check=True, capture_output=True, text=True).stdout


def header_field(private, name):
    match = re.search(rf"^{name}\s+([0-9a-fA-F]+)", private, re.M)
    if not match:
        raise ValueError(f"objdump shows no {name}")
    return int(match.group(1), 16)


def data_directory(private, index):
    """(address, size) of a data directory entry."""
    match = re.search(rf"^Entry {index:x} ([0-9a-f]+) ([0-9a-f]+)", private, re.M)
    return (int(match.group(1), 16), int(match.group(2), 16)) if match else (0, 0)


def imports(private):
    """Set of 'MODULE routine' for every imported routine."""
    found = set()
    module = None
    for line in private.splitlines():
        name = re.match(r"^\s*DLL Name: (\S+)", line)
        if name:
            module = name.group(1)
            continue
        entry = re.match(r"^\t[0-9a-f]+\s+\d+\s+(\S+)$", line)
        if module and entry:
            found.add(f"{module} {entry.group(1)}")
    return found


def import_slots(private, base):
    """Address of each import's slot in the import address table -> 'MODULE routine'; code
    calls an import through its slot."""
    slots = {}
    first_thunk = module = None
    index = 0
    for line in private.splitlines():
        row = re.match(r"^\s*[0-9a-f]{8}\t[0-9a-f]{8} [0-9a-f]{8} [0-9a-f]{8} [0-9a-f]{8} "
                       r"([0-9a-f]{8})$", line)
        if row:
            first_thunk, module = int(row.group(1), 16), None
            continue
        name = re.match(r"^\s*DLL Name: (\S+)", line)
        if name:
            module, index = name.group(1), 0
            continue
        entry = re.match(r"^\t[0-9a-f]+\s+\d+\s+(\S+)$", line)
        if module and entry and first_thunk is not None:
            slots[base + first_thunk + 4 * index] = f"{module} {entry.group(1)}"
            index += 1
    return slots


def sections(headers):
    """Section name -> (start address, end address)."""
    found = {}
    for match in re.finditer(r"^\s+\d+ (\S+)\s+([0-9a-f]+)\s+([0-9a-f]+)\s", headers, re.M):
        start = int(match.group(3), 16)
        found[match.group(1)] = (start, start + int(match.group(2), 16))
    return found


def section_names(headers):
    return list(sections(headers))


def symbol_address(map_text, name):
    """Address of a routine in the linker's map (its names are demangled there)."""
    match = re.search(rf"^\s+0x([0-9a-f]+)\s+_?{name}(\(|@|\s*$)", map_text, re.M)
    return int(match.group(1), 16) if match else None


def raising_instructions(disassembly, slots):
    """Instructions that leave the code running with interrupts off or at DISPATCH_LEVEL:
    cli, and calls of the kernel's spin-lock and IRQL-raising routines."""
    found = []
    for line in disassembly.splitlines():
        parts = line.split("\t")
        if len(parts) < 2:
            continue
        instruction = parts[-1].strip()
        call = re.match(r"^call\s+\*0x([0-9a-f]+)$", instruction)
        target = slots.get(int(call.group(1), 16), "") if call else ""
        if instruction == "cli" or target.split(" ")[-1] in RAISING_ROUTINES:
            found.append(f"{line.strip()} {target}".strip())
    return found


def entry_from_map(map_text):
    match = re.search(r"^\s+0x([0-9a-f]+)\s+_?DriverEntry@8\s*$", map_text, re.M)
    return int(match.group(1), 16) if match else None


def constructor_inputs(map_text):
    """Input sections of constructor or destructor tables that contribute bytes."""
    found = []
    lines = map_text.splitlines()
    pattern = re.compile(r"^ (\.(?:ctors|dtors|init_array|fini_array|tls|CRT\$\S*)(?:\.\S+)?)"
                         r"(?:\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+(\S+))?\s*$")
    for i, line in enumerate(lines):
        match = pattern.match(line)
        if not match:
            continue
        size, origin = match.group(3), match.group(4)
        if size is None and i + 1 < len(lines):
            rest = re.match(r"^\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+(\S+)", lines[i + 1])
            if rest:
                size, origin = rest.group(2), rest.group(3)
        if size is not None and int(size, 16) != 0:
            found.append(f"{match.group(1)} from {origin}")
    return found


FLOATING_MNEMONIC = re.compile(r"^(f[a-z0-9]+|wait|emms|ldmxcsr|stmxcsr|fxsave|fxrstor)$")
FLOATING_REGISTER = re.compile(r"%(xmm|ymm|zmm|mm\d|st\b|st\()")


def floating_point_instructions(disassembly):
    found = []
    for line in disassembly.splitlines():
        parts = line.split("\t")
        if len(parts) < 2 or not re.match(r"^\s*[0-9a-f]+:$", parts[0]):
            continue
        instruction = parts[-1].strip()
        mnemonic = instruction.split(" ")[0] if instruction else ""
        if FLOATING_MNEMONIC.match(mnemonic) or FLOATING_REGISTER.search(instruction):
            found.append(line.strip())
    return found


# ---- The rules ---------------------------------------------------------------------------------------

def check(args):
    with open(args.image, "rb") as f:
        image = f.read()
    with open(args.map) as f:
        map_text = f.read()
    with open(args.imports) as f:
        expected = {line.strip() for line in f if line.strip() and not line.startswith("#")}

    private = objdump(args.objdump, "-p", args.image)
    headers = objdump(args.objdump, "-h", args.image)
    disassembly = objdump(args.objdump, "-d", "--no-show-raw-insn", args.image)

    results = []

    def rule(name, ok, detail=""):
        results.append(ok)
        print(f"{'ok  ' if ok else 'FAIL'} {name}{': ' + detail if detail else ''}")

    rule("PE32 image for 32-bit x86",
         "file format pei-i386" in private and header_field(private, "Magic") == 0x10B)
    rule("native subsystem", header_field(private, "Subsystem") == 1)

    entry = header_field(private, "AddressOfEntryPoint")
    driver_entry = entry_from_map(map_text)
    base = header_field(private, "ImageBase")
    rule("entry point is DriverEntry",
         driver_entry is not None and driver_entry - base == entry,
         f"entry RVA {entry:#x}, DriverEntry at "
         + (f"{driver_entry - base:#x}" if driver_entry is not None else "nowhere"))

    found = imports(private)
    modules = {name.split(" ")[0] for name in found}
    stray = sorted(modules - set(ALLOWED_MODULES))
    rule("imports only from " + ", ".join(ALLOWED_MODULES), not stray,
         "also " + ", ".join(stray) if stray else "")
    missing, extra = sorted(expected - found), sorted(found - expected)
    rule(f"imports exactly the {len(expected)} expected routines", not missing and not extra,
         "; ".join(filter(None, ["missing " + ", ".join(missing) if missing else "",
                                 "unexpected " + ", ".join(extra) if extra else ""])))

    rule("exports nothing", data_directory(private, 0) == (0, 0)
         and "There is an export table" not in private)
    rule("no thread-local storage", data_directory(private, 9) == (0, 0)
         and ".tls" not in section_names(headers))
    ctors = constructor_inputs(map_text)
    rule("no constructors or destructors", not ctors, "; ".join(ctors))
    floating = floating_point_instructions(disassembly)
    rule("no floating-point or SSE instructions", not floating,
         "; ".join(floating[:5]) + (" ..." if len(floating) > 5 else ""))

    placed = sections(headers)

    def within(section, address):
        start, end = placed.get(section, (0, 0))
        return address is not None and start <= address < end

    rule("DriverEntry is discardable (INIT)", within("INIT", driver_entry))
    outside = [name for name in PAGEABLE_ROUTINES
               if not within("PAGE", symbol_address(map_text, name))]
    rule("initialize, halt and the release walk are pageable (PAGE)", not outside,
         "not in PAGE: " + ", ".join(outside) if outside else "")
    paged = objdump(args.objdump, "-d", "--no-show-raw-insn", "-j", "PAGE", args.image) \
        if "PAGE" in placed else ""
    raising = raising_instructions(paged, import_slots(private, base))
    rule("pageable code never raises the IRQL", not raising, "; ".join(raising))

    rule("base relocations present", data_directory(private, 5)[1] != 0)
    stored = header_field(private, "CheckSum")
    rule("image checksum valid", stored == image_checksum(image) and stored != 0,
         f"stored {stored:#x}, computed {image_checksum(image):#x}")

    return 0 if all(results) else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    sealing = commands.add_parser("seal", help="write the image checksum")
    sealing.add_argument("image")
    checking = commands.add_parser("check", help="check the image")
    checking.add_argument("image")
    checking.add_argument("--map", required=True, help="the linker's map of the image")
    checking.add_argument("--imports", required=True,
                          help="expected imports, one 'MODULE routine' per line")
    checking.add_argument("--objdump", default="i686-w64-mingw32-objdump")
    args = parser.parse_args()
    if args.command == "seal":
        seal(args.image)
        return 0
    return check(args)


if __name__ == "__main__":
    sys.exit(main())
