#!/usr/bin/env python3
"""The driver image: finish it (date, discardable INIT, checksum), and check that it is a
loadable NDIS 5.0 driver.

  sys_image.py seal  qvnet.sys --inf qvnet.inf
  sys_image.py check qvnet.sys --map qvnet.map --imports expected_imports.txt [--objdump OBJDUMP]

The check reads the image with objdump from the cross toolchain, the linker's map for where
routines landed (and, through it, the linked objects for the static ones), and fails unless
every rule below holds; it prints one line per rule.
"""

import argparse
import datetime
import os
import re
import struct
import subprocess
import sys
import types

import stack_balance
from image_names import input_sections, map_symbols, object_symbols, short_name

ALLOWED_MODULES = ("NDIS.SYS", "USBD.SYS", "ntoskrnl.exe", "HAL.dll")
# Routines that return with a spin lock held or the IRQL raised.
RAISING_ROUTINES = ("KfAcquireSpinLock", "KfRaiseIrql", "KeRaiseIrqlToDpcLevel",
                    "KefAcquireSpinLockAtDpcLevel", "KeAcquireSpinLockRaiseToDpc")
PAGEABLE_ROUTINES = ("MiniportInitialize", "MiniportHalt", "ReleaseAllResources")
CHECKSUM_OFFSET_IN_OPTIONAL_HEADER = 64
TIMESTAMP_OFFSET_IN_FILE_HEADER = 4
IMAGE_SCN_MEM_DISCARDABLE = 0x02000000
# Code the image carries from the toolchain's libraries rather than importing: mingw-w64's
# libntoskrnl.a supplies memcmp as code, not as an import. It is plain integer code and goes
# through every rule below like the driver's own; anything else linked in fails the check.
LINKED_LIBRARY_ROUTINES = ("memcmp",)

# Routines Windows calls through a pointer, with the argument bytes their documented
# prototypes give (every argument is 32 bits on x86). Each must end in `ret N` with that N.
CALLBACKS = {
    # DRIVER_INITIALIZE (DriverObject, RegistryPath): "DriverEntry for WDM drivers"
    "DriverEntry": 8,
    # NDIS 5 miniport handlers, NDIS50_MINIPORT_CHARACTERISTICS ("MiniportInitialize",
    # "MiniportHalt", ... pages of the Windows 2000/XP DDK reference)
    "MiniportInitialize": 24,       # OpenErrorStatus, SelectedMediumIndex, MediumArray,
                                    # MediumArraySize, MiniportAdapterHandle, ConfigContext
    "MiniportHalt": 4,
    "MiniportQueryInformation": 24,  # Context, Oid, Buffer, Length, BytesWritten, BytesNeeded
    "MiniportSetInformation": 24,    # Context, Oid, Buffer, Length, BytesRead, BytesNeeded
    "MiniportReset": 8,              # AddressingReset, Context
    "MiniportCheckForHang": 4,
    "MiniportSend": 12,              # Context, Packet, Flags
    "MiniportTransferData": 24,      # Packet, BytesTransferred, Context, ReceiveContext,
                                     # ByteOffset, BytesToTransfer
    "MiniportReturnPacket": 8,       # Context, Packet
    # ADAPTER_SHUTDOWN_HANDLER (ShutdownContext): NdisMRegisterAdapterShutdownHandler
    "MiniportShutdown": 4,
    # DRIVER_ADD_DEVICE (DriverObject, PhysicalDeviceObject) and DRIVER_DISPATCH
    # (DeviceObject, Irp): "AddDevice routine", "DispatchPnP routine"
    "AddDeviceHook": 8,
    "PnpDispatchHook": 8,
    # IO_COMPLETION_ROUTINE (DeviceObject, Irp, Context): "IoSetCompletionRoutine"
    "AsyncWriteComplete": 12,
    "AsyncReadComplete": 12,
    "ReceiveComplete": 12,
    "TransmitComplete": 12,
    # NDIS timer function (SystemSpecific1, FunctionContext, SystemSpecific2,
    # SystemSpecific3): "NdisMInitializeTimer"
    "RxIndicateTimerFunction": 16,
    # NDIS_PROC (WorkItem, Context): "NdisInitializeWorkItem"
    "FinishPendedSet": 8,
}


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


def section_table(image):
    """[(name, file offset of its header)] from the PE section table."""
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    count = struct.unpack_from("<H", image, pe + 6)[0]
    optional_size = struct.unpack_from("<H", image, pe + 20)[0]
    first = pe + 24 + optional_size
    return [(image[first + 40 * i:first + 40 * i + 8].rstrip(b"\0").decode("ascii", "replace"),
             first + 40 * i) for i in range(count)]


def section_characteristics(image, name):
    for found, header in section_table(image):
        if found == name:
            return struct.unpack_from("<I", image, header + 36)[0]
    return None


def release_timestamp(inf_path):
    """Seconds since 1970 of the DriverVer date in the INF: the image carries its release
    date, so two builds of one version are the same bytes."""
    with open(inf_path, encoding="ascii") as f:
        match = re.search(r"^DriverVer\s*=\s*(\d\d)/(\d\d)/(\d{4})", f.read(), re.M)
    if not match:
        raise ValueError(f"{inf_path} has no DriverVer date")
    month, day, year = (int(g) for g in match.groups())
    when = datetime.datetime(year, month, day, tzinfo=datetime.timezone.utc)
    return int(when.timestamp())


def finish(path, timestamp):
    """Finish the linked image: its date and INIT marked discardable, then sealed."""
    with open(path, "rb") as f:
        image = bytearray(f.read())
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    struct.pack_into("<I", image, pe + 4 + TIMESTAMP_OFFSET_IN_FILE_HEADER, timestamp)
    for name, header in section_table(image):
        if name == "INIT":
            flags = struct.unpack_from("<I", image, header + 36)[0]
            struct.pack_into("<I", image, header + 36, flags | IMAGE_SCN_MEM_DISCARDABLE)
    with open(path, "wb") as f:
        f.write(image)
    seal(path)


def seal(path):
    """Write the checksum the loader verifies; last, since it covers every other byte."""
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


def documented_imports(lines):
    """'MODULE routine' -> (convention, argument bytes) from the expected-imports list."""
    found = {}
    for line in lines:
        fields = line.split()
        if len(fields) == 4 and fields[2] in ("stdcall", "fastcall", "cdecl") \
                and fields[3].isdigit():
            found[f"{fields[0]} {fields[1]}"] = (fields[2], int(fields[3]))
    return found


def bytes_popped(convention, argument_bytes):
    """What a routine pops on return: stdcall all its arguments, fastcall all but the two in
    ECX and EDX, cdecl none."""
    return {"stdcall": argument_bytes, "fastcall": max(0, argument_bytes - 8),
            "cdecl": 0}[convention]


def import_decorations(map_text):
    """Import slot address -> (convention, argument bytes) as the driver's declaration
    decorated the name it links against."""
    found = {}
    for match in re.finditer(r"^\s+0x([0-9a-f]+)\s+_imp_(\S+)\s*$", map_text, re.M):
        symbol = match.group(2)
        fast = re.match(r"^@\w+@(\d+)$", symbol)
        std = re.match(r"^_\w+@(\d+)$", symbol)
        if fast:
            found[int(match.group(1), 16)] = ("fastcall", int(fast.group(1)))
        elif std:
            found[int(match.group(1), 16)] = ("stdcall", int(std.group(1)))
        else:
            found[int(match.group(1), 16)] = ("cdecl", None)
    return found


def linked_library_code(map_text, program, slots):
    """Names of routines whose code comes from a library archive rather than the driver's
    objects, leaving out import thunks (a lone `jmp *slot`)."""
    found = []
    symbols = map_symbols(map_text)
    for section, address, size, origin in input_sections(map_text):
        if section not in (".text", "INIT", "PAGE") and not section.startswith(".text"):
            continue
        if size == 0 or ".a(" not in origin or "objects.a(" in origin:
            continue
        first = program.get(address)
        if first and first[0] == "jmp" and stack_balance.absolute(first[1][0]) in slots \
                and size <= 8:
            continue
        found += [short_name(n) for a, n in symbols.items() if address <= a < address + size]
    return found


def relocated_pointers(private):
    """RVA of every absolute address the loader relocates: each pointer the image holds, in
    code (immediates, memory operands) and in data alike."""
    found = []
    page = None
    for line in private.splitlines():
        chunk = re.match(r"^Virtual Address: ([0-9a-f]+) ", line)
        if chunk:
            page = int(chunk.group(1), 16)
            continue
        fixup = re.match(r"^\treloc\s+\d+ offset\s+[0-9a-f]+ \[([0-9a-f]+)\] HIGHLOW", line)
        if fixup and page is not None:
            found.append(int(fixup.group(1), 16))
    return found


def address_taken_routines(pointers, is_code, table_slots):
    """Routines whose address the image holds as a value, outside the switch tables of its own
    routines: routines something calls through a pointer. (location -> target)"""
    return {value: where for where, value in pointers
            if is_code(value) and where not in table_slots}


def calls_into(program, pointers, placed, section):
    """Places outside `section` that call or jump into its code or hold a pointer into it."""
    start, end = placed.get(section, (0, 0))
    found = [f"pointer at {where:#x}" for where, value in pointers
             if start <= value < end and not start <= where < end]
    for address, (mnemonic, operands, _) in program.items():
        if start <= address < end or not mnemonic.startswith(("call", "j")):
            continue
        target = stack_balance.absolute(operands[0]) if operands else None
        if target is not None and not operands[0].startswith("*") and start <= target < end:
            found.append(f"{address:#x} {mnemonic} {operands[0]}")
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


# ---- The rules ---------------------------------------------------------------------------------

def init_and_date_rules(facts, rule):
    # INIT: the kernel frees it once DriverEntry has returned ("Writing a DriverEntry Routine":
    # DriverEntry "should be in an INIT segment so it will be discarded"). The DDK's own build
    # links INIT with the discardable flag, and so does this one; nothing may reach into it
    # from the code that stays.
    init_flags = section_characteristics(facts.image, "INIT")
    page_flags = section_characteristics(facts.image, "PAGE") or 0
    rule("INIT is marked discardable, PAGE is not",
         init_flags is not None and init_flags & IMAGE_SCN_MEM_DISCARDABLE != 0
         and not page_flags & IMAGE_SCN_MEM_DISCARDABLE)
    reaching = calls_into(facts.program, facts.pointers, facts.placed, "INIT")
    rule("no code outside INIT calls or points into it", not reaching, "; ".join(reaching[:5]))

    pe = struct.unpack_from("<I", facts.image, 0x3C)[0]
    stamp = struct.unpack_from("<I", facts.image, pe + 4 + TIMESTAMP_OFFSET_IN_FILE_HEADER)[0]
    rule("TimeDateStamp set", stamp != 0)


def import_convention_rules(facts, rule):
    undocumented = sorted(n for n in facts.found if n not in facts.documented)
    rule("every import has a documented calling convention", not undocumented,
         ", ".join(undocumented))
    declared = import_decorations(facts.map_text)
    misdeclared = []
    for slot, name in sorted(facts.slots.items()):
        convention, size = facts.documented.get(name, (None, None))
        linked = declared.get(slot)
        if convention and linked and (linked[0] != convention
                                      or (linked[1] is not None and linked[1] != size)):
            misdeclared.append(f"{name} declared {linked[0]} {linked[1]}, documented "
                               f"{convention} {size}")
    rule("every import declared with its documented convention and arguments",
         not misdeclared, "; ".join(misdeclared))

    library = linked_library_code(facts.map_text, facts.program, facts.slots)
    stray_code = sorted(set(library) - set(LINKED_LIBRARY_ROUTINES))
    rule("library code linked in: only " + ", ".join(LINKED_LIBRARY_ROUTINES),
         not stray_code, "also " + ", ".join(stray_code) if stray_code else "")


def stack_rules(facts, rule):
    names = map_symbols(facts.map_text)
    names.update(object_symbols(facts.objdump, facts.map_text, facts.map_dir))
    code_ranges = [r for n, r in facts.placed.items() if n in (".text", "INIT", "PAGE")]

    def in_code(address):
        return address is not None and any(s <= address < e for s, e in code_ranges)

    model = stack_balance.StackModel(stack_balance.Image(
        facts.program,
        {slot: (name, bytes_popped(*facts.documented[name]))
         for slot, name in facts.slots.items() if name in facts.documented},
        names, code_ranges, facts.read_dword))
    for entry in sorted(model.image.entries):
        if entry in facts.program:
            model.routine(entry)
    # Every routine followed, named or reached only by a call.
    unbalanced = [f"{names.get(entry, hex(entry))}: {p}"
                  for entry, routine in sorted(model.routines.items()) for p in routine.problems]
    rule("every path of every routine returns with the stack it started with",
         not unbalanced, "; ".join(unbalanced[:6]) + (" ..." if len(unbalanced) > 6 else ""))

    callbacks = address_taken_routines(facts.pointers, in_code, model.table_slots)
    if facts.driver_entry is not None:
        callbacks.setdefault(facts.driver_entry, None)
    wrong = []
    for entry in sorted(callbacks):
        name = short_name(names.get(entry, ""))
        if name not in CALLBACKS:
            wrong.append(f"{names.get(entry, hex(entry))} is called through a pointer but has "
                         f"no documented argument bytes")
            continue
        pops = model.routine(entry).pops
        if pops != CALLBACKS[name]:
            wrong.append(f"{name} pops {pops}, documented {CALLBACKS[name]}")
    rule(f"every routine Windows calls through a pointer ({len(callbacks)}) pops its "
         f"documented argument bytes", not wrong, "; ".join(wrong))


def check(args):
    with open(args.image, "rb") as f:
        image = f.read()
    with open(args.map) as f:
        map_text = f.read()
    with open(args.imports) as f:
        listed = [line for line in f if line.strip() and not line.startswith("#")]
    expected = {" ".join(line.split()[:2]) for line in listed}
    documented = documented_imports(listed)

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

    program = stack_balance.parse_disassembly(disassembly)
    read_dword = stack_balance.pe_reader(image)
    facts = types.SimpleNamespace(
        image=image, map_text=map_text, program=program, placed=placed, base=base,
        driver_entry=driver_entry, found=found, documented=documented, read_dword=read_dword,
        slots=import_slots(private, base), objdump=args.objdump,
        map_dir=os.path.dirname(args.map),
        pointers=[(base + rva, read_dword(base + rva)) for rva in relocated_pointers(private)])
    init_and_date_rules(facts, rule)
    import_convention_rules(facts, rule)
    stack_rules(facts, rule)

    rule("base relocations present", data_directory(private, 5)[1] != 0)
    stored = header_field(private, "CheckSum")
    rule("image checksum valid", stored == image_checksum(image) and stored != 0,
         f"stored {stored:#x}, computed {image_checksum(image):#x}")

    return 0 if all(results) else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    sealing = commands.add_parser("seal", help="date the image, mark INIT discardable and "
                                  "write the checksum")
    sealing.add_argument("image")
    sealing.add_argument("--inf", required=True, help="the INF, whose DriverVer dates the image")
    checking = commands.add_parser("check", help="check the image")
    checking.add_argument("image")
    checking.add_argument("--map", required=True, help="the linker's map of the image")
    checking.add_argument("--imports", required=True,
                          help="expected imports, one 'MODULE routine' per line")
    checking.add_argument("--objdump", default="i686-w64-mingw32-objdump")
    args = parser.parse_args()
    if args.command == "seal":
        finish(args.image, release_timestamp(args.inf))
        return 0
    return check(args)


if __name__ == "__main__":
    sys.exit(main())
