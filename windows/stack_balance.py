"""Stack balance of the driver image: every path through every routine returns with the stack
it started with, and every routine pops the argument bytes its callers expect.

The model follows each routine from its entry along every path, counting the bytes it has
pushed beyond its return address. A call of an import pops what the kernel routine pops by its
documented calling convention (stdcall: all its argument bytes; fastcall: all but the first two
arguments, which travel in ECX and EDX; cdecl: none), not what the driver's declaration says. A
call of one of the driver's own routines pops what that routine's `ret N` pops. A routine's
`ret` must find the count back at zero, and all its `ret`s must agree on N.

The conventions are Microsoft's pages "__stdcall" ("called function pops its own arguments from
the stack"), "__fastcall" ("the first two DWORD or smaller arguments are passed in ECX and EDX
registers; all other arguments are passed right to left"; "called function pops the arguments
from the stack") and "__cdecl" ("calling function pops the arguments from the stack"), in the
Visual C++ language reference.
"""

import re
import struct

# Calls the driver makes through a handler NDIS keeps in the miniport block (the NdisM...
# macros of the NDIS 5 headers): block offset -> (handler, argument bytes). Each handler is
# stdcall and takes the arguments of the NdisM... routine that calls it.
MINIPORT_BLOCK_HANDLERS = {
    0xE8: ("PacketIndicateHandler (NdisMIndicateReceivePacket)", 12),
    0xEC: ("SendCompleteHandler (NdisMSendComplete)", 12),
    0xF0: ("SendResourcesHandler (NdisMSendResourcesAvailable)", 4),
    0xF4: ("ResetCompleteHandler (NdisMResetComplete)", 12),
    0x164: ("EthRxIndicateHandler (NdisMEthIndicateReceive)", 32),
    0x170: ("EthRxCompleteHandler (NdisMEthIndicateReceiveComplete)", 4),
    0x17C: ("StatusHandler (NdisMIndicateStatus)", 16),
    0x180: ("StatusCompleteHandler (NdisMIndicateStatusComplete)", 4),
    0x184: ("TDCompleteHandler (NdisMTransferDataComplete)", 16),
    0x188: ("QueryCompleteHandler (NdisMQueryInformationComplete)", 8),
    0x18C: ("SetCompleteHandler (NdisMSetInformationComplete)", 8),
}

# The driver's own pointers to kernel routines it calls: variable -> argument bytes (stdcall).
# NDIS's AddDevice (DRIVER_ADD_DEVICE: DriverObject, PhysicalDeviceObject) and its IRP_MJ_PNP
# dispatch routine (DRIVER_DISPATCH: DeviceObject, Irp), saved before the driver hooks them.
ROUTINE_POINTERS = {"NdisAddDevice": 8, "NdisPnpDispatch": 8}

CALLER_SAVED = ("eax", "ecx", "edx")
# Mnemonics whose AT&T size suffix (b, w, l) the model drops before it looks at them.
SIZED = ("mov", "add", "sub", "lea", "xchg", "and", "or")
# Instructions that move ESP by other than a push or pop of one dword.
IMPLICIT_ESP = ("enter", "enterl", "pusha", "pushal", "popa", "popal", "pushw", "popw",
                "iret", "lret", "lcall")
CONDITIONAL_JUMP = re.compile(r"^(j(?!mp)[a-z]+|loop[a-z]*)$")
MAX_STATES = 50000


def split_operands(text):
    """AT&T operands, split at the commas that are not inside parentheses."""
    operands, depth, current = [], 0, ""
    for char in text:
        if char == "," and depth == 0:
            operands.append(current.strip())
            current = ""
            continue
        depth += {"(": 1, ")": -1}.get(char, 0)
        current += char
    if current.strip():
        operands.append(current.strip())
    return operands


def parse_disassembly(disassembly):
    """Address -> (mnemonic, operands, address of the next instruction)."""
    rows = []
    for line in disassembly.splitlines():
        match = re.match(r"^\s*([0-9a-f]+):\t(.*)$", line)
        if not match:
            if line.startswith("Disassembly of section"):
                rows.append(None)
            continue
        text = re.sub(r"\s+<[^>]*>$", "", match.group(2).strip())
        fields = text.split(None, 1)
        mnemonic = fields[0] if fields else ""
        if mnemonic in ("lock", "rep", "repz", "repnz", "repe", "repne") and len(fields) > 1:
            fields = fields[1].split(None, 1)
            mnemonic = fields[0]
        operands = split_operands(fields[1]) if len(fields) > 1 else []
        rows.append((int(match.group(1), 16), mnemonic, operands))
    program = {}
    for i, row in enumerate(rows):
        if row is None:
            continue
        following = rows[i + 1] if i + 1 < len(rows) else None
        program[row[0]] = (row[1], row[2], following[0] if following else None)
    return program


def immediate(text):
    """Value of '$0x..' as a signed 32-bit number, or None."""
    match = re.match(r"^\$(0x[0-9a-f]+|\d+)$", text)
    if not match:
        return None
    value = int(match.group(1), 0) & 0xFFFFFFFF
    return value - (1 << 32) if value & 0x80000000 else value


def absolute(text):
    """Address of an absolute memory operand '0x...' or '*0x...', or None."""
    match = re.match(r"^\*?0x([0-9a-f]+)$", text)
    return int(match.group(1), 16) if match else None


def stack_slot(text, depth):
    """Key of an ESP-relative memory operand, the same for every depth; None otherwise."""
    match = re.match(r"^(-?0x[0-9a-f]+|-?\d+)?\(%esp\)$", text)
    return f"stack{int(match.group(1) or '0', 0) - depth}" if match else None


def register(text):
    match = re.match(r"^\*?%(e[a-z]{2})$", text)
    return match.group(1) if match else None


class Image:
    """What the model needs to know about the image besides its instructions."""

    def __init__(self, program, imports, names, code_ranges, read_dword):
        self.program = program
        self.imports = imports          # slot address -> (name, bytes the routine pops)
        self.names = names              # address -> name of a routine or variable
        self.code_ranges = code_ranges  # [(start, end)] of executable sections
        self.read_dword = read_dword    # address -> the dword stored there
        # Routine entries; a routine's cold part (".cold") is only ever jumped to from it.
        self.entries = {a for a, n in names.items() if self.in_code(a) and ".cold" not in n}

    def in_code(self, address):
        return any(start <= address < end for start, end in self.code_ranges)

    def name(self, address):
        return self.names.get(address, f"routine at {address:#x}")


class Routine:
    def __init__(self, entry):
        self.entry = entry
        self.pops = None      # N of its 'ret N', once one is found
        self.problems = []


class StackModel:
    def __init__(self, image):
        self.image = image
        self.routines = {}
        self.in_progress = set()
        self.table_slots = set()  # addresses of the jump-table entries followed

    def routine(self, entry):
        if entry in self.routines:
            return self.routines[entry]
        routine = Routine(entry)
        if entry in self.in_progress:
            routine.problems.append("calls itself: its stack use has no bound")
            return routine
        self.in_progress.add(entry)
        self.follow(routine)
        self.in_progress.discard(entry)
        self.routines[entry] = routine
        return routine

    def returns(self, routine, pops, where):
        if routine.pops is None:
            routine.pops = pops
        elif routine.pops != pops:
            routine.problems.append(f"returns popping {pops} bytes at {where:#x} "
                                    f"but {routine.pops} elsewhere")

    def callee_pops(self, operand, regs, depth, where, problems):
        """Bytes a call pops off the caller's stack, or None when it cannot be modelled."""
        image = self.image
        target = absolute(operand)
        if operand.startswith("*"):
            if target is not None and target in image.imports:
                return image.imports[target][1]
            name = image.names.get(target) if target is not None else None
            if name in ROUTINE_POINTERS:
                return ROUTINE_POINTERS[name]
            reg = register(operand)
            held = regs.get(reg or stack_slot(operand[1:], depth) or "")
            if held is not None:
                return self.held_pops(held)
            block = re.match(r"^\*0x([0-9a-f]+)\(%e[a-z]{2}\)$", operand)
            if block and int(block.group(1), 16) in MINIPORT_BLOCK_HANDLERS:
                return MINIPORT_BLOCK_HANDLERS[int(block.group(1), 16)][1]
            problems.append(f"indirect call {operand} at {where:#x} the model cannot resolve")
            return None
        if target is None or target not in image.program:
            problems.append(f"call of {operand} at {where:#x} outside the code")
            return None
        callee = self.routine(target)
        if callee.problems:
            return callee.pops if callee.pops is not None else 0
        return callee.pops

    def held_pops(self, held):
        """Bytes popped by the routine a register or stack slot holds the address of."""
        if isinstance(held, tuple):
            return MINIPORT_BLOCK_HANDLERS[held[1]][1]
        return self.image.imports[held][1]

    def follow(self, routine):
        image = self.image
        # State: (address, bytes pushed, EBP as a stack depth or None, registers holding
        # an import's slot address).
        pending = [(routine.entry, 0, None, ())]
        seen = set()
        depth_at = {}
        problems = routine.problems
        while pending:
            address, depth, ebp, held = pending.pop()
            if (address, depth, ebp, held) in seen:
                continue
            seen.add((address, depth, ebp, held))
            if len(seen) > MAX_STATES:
                problems.append("too many paths to follow")
                return
            if depth_at.setdefault(address, depth) != depth:
                problems.append(f"paths meet at {address:#x} with {depth_at[address]} and "
                                f"{depth} bytes pushed")
                return
            if address not in image.program:
                problems.append(f"runs into {address}, which is not code" if address is None
                                else f"runs into {address:#x}, which is not code")
                return
            mnemonic, ops, following = image.program[address]
            regs = dict(held)
            step = self.step(routine, address, mnemonic, ops, depth, ebp, regs)
            if step is None:
                continue
            for target, new_depth, new_ebp in step:
                if target is None:
                    target = following
                pending.append((target, new_depth, new_ebp, tuple(sorted(regs.items()))))

    def step(self, routine, address, mnemonic, ops, depth, ebp, regs):
        """The states after one instruction: [(next address or None for the following one,
        depth, ebp)], or None where the path ends."""
        image = self.image
        problems = routine.problems
        dest = ops[-1] if ops else ""
        base = mnemonic[:-1] if mnemonic not in SIZED and mnemonic[:-1] in SIZED \
            and mnemonic[-1] in "bwl" else mnemonic

        def fail(message):
            problems.append(f"{message} at {address:#x}")
            return None

        if mnemonic in ("ret", "retl"):
            pops = immediate(ops[0]) if ops else 0
            if depth != 0:
                return fail(f"returns with {depth} bytes still pushed")
            self.returns(routine, pops, address)
            return None
        if mnemonic in ("ud2", "int3", "hlt"):
            return None
        if mnemonic in IMPLICIT_ESP:
            return fail(f"{mnemonic} moves ESP in a way the model does not follow")
        if mnemonic in ("push", "pushl", "pushf", "pushfl"):
            regs.pop(f"stack{-(depth + 4)}", None)
            return [(None, depth + 4, ebp)]
        if mnemonic in ("pop", "popl", "popf", "popfl"):
            reg = register(dest) if ops else None
            if reg:
                regs.pop(reg, None)
            return [(None, depth - 4, None if reg == "ebp" else ebp)]
        if mnemonic == "leave":
            if ebp is None:
                return fail("leave without a frame")
            regs.pop("ebp", None)
            return [(None, ebp - 4, None)]
        if mnemonic in ("call", "calll"):
            pops = self.callee_pops(ops[0], regs, depth, address, problems)
            for reg in CALLER_SAVED:
                regs.pop(reg, None)
            if pops is None:
                return None
            return [(None, depth - pops, ebp)]
        if mnemonic in ("jmp", "jmpl"):
            return self.jump(routine, address, ops[0], depth, ebp, regs)
        if CONDITIONAL_JUMP.match(mnemonic):
            target = absolute(ops[0]) if ops else None
            if target is None:
                return fail(f"conditional jump to {ops} the model cannot resolve")
            return [(None, depth, ebp), (target, depth, ebp)]
        if dest == "%esp":
            value = immediate(ops[0]) if len(ops) == 2 else None
            if base == "sub" and value is not None:
                return [(None, depth + value, ebp)]
            if base == "add" and value is not None:
                return [(None, depth - value, ebp)]
            if base == "lea":
                match = re.match(r"^(-?0x[0-9a-f]+|-?\d+)?\(%esp\)$", ops[0])
                if match:
                    return [(None, depth - int(match.group(1) or "0", 0), ebp)]
            if base == "mov" and ops[0] == "%ebp" and ebp is not None:
                return [(None, ebp, ebp)]
            return fail(f"changes ESP in a way the model does not follow ({mnemonic} "
                        f"{','.join(ops)})")
        if base == "mov" and ops == ["%esp", "%ebp"]:
            regs.pop("ebp", None)
            return [(None, depth, depth)]
        self.track(mnemonic, base, ops, depth, regs)
        return [(None, depth, None if dest == "%ebp" else ebp)]

    def track(self, mnemonic, base, ops, depth, regs):
        """Follows where the address of an import travels: loaded from its slot into a
        register, spilled to the stack and loaded back (keys: register names, and stack
        slots as their offset from the entry's stack pointer)."""
        if mnemonic in ("cmp", "cmpl", "cmpb", "cmpw", "test", "testl", "testb", "testw"):
            return
        if len(ops) < 2:
            return
        source, dest = ops[0], ops[-1]
        value = None
        if base == "mov":
            slot = absolute(source)
            handler = re.match(r"^0x([0-9a-f]+)\(%e[a-z]{2}\)$", source)
            if slot in self.image.imports:
                value = slot
            elif handler and int(handler.group(1), 16) in MINIPORT_BLOCK_HANDLERS:
                value = ("block", int(handler.group(1), 16))
            elif register(source):
                value = regs.get(register(source))
            else:
                spilled = stack_slot(source, depth)
                value = regs.get(spilled) if spilled is not None else None
        if base == "lea" and register(dest) and re.match(
                rf"^(0x0)?\(%{register(dest)}(,%eiz,1)?\)$", source):
            return  # a no-op filler
        key = register(dest) if not dest.startswith("*") else None
        if key is None:
            key = stack_slot(dest, depth)
        if key is None:
            return
        if value is not None:
            regs[key] = value
        else:
            regs.pop(key, None)
        if mnemonic == "xchg" and register(source):
            regs.pop(register(source), None)

    def jump(self, routine, address, operand, depth, ebp, regs):
        image = self.image
        problems = routine.problems
        table = re.match(r"^\*0x([0-9a-f]+)\(,%e[a-z]{2},4\)$", operand)
        if table:
            targets = self.jump_table(routine.entry, int(table.group(1), 16))
            if not targets:
                problems.append(f"jump table at {address:#x} with no targets")
                return None
            return [(t, depth, ebp) for t in targets]
        target = absolute(operand)
        reg = register(operand)
        slot = target if operand.startswith("*") else None
        if reg and regs.get(reg) is not None:
            if depth != 0:
                problems.append(f"tail call at {address:#x} with {depth} bytes pushed")
                return None
            self.returns(routine, self.held_pops(regs[reg]), address)
            return None
        if slot is not None and slot in image.imports:
            # A tail call of an import: it returns to this routine's caller.
            if depth != 0:
                problems.append(f"tail call at {address:#x} with {depth} bytes pushed")
                return None
            self.returns(routine, image.imports[slot][1], address)
            return None
        if operand.startswith("*") and image.names.get(target) in ROUTINE_POINTERS:
            if depth != 0:
                problems.append(f"tail call at {address:#x} with {depth} bytes pushed")
                return None
            self.returns(routine, ROUTINE_POINTERS[image.names[target]], address)
            return None
        if operand.startswith("*") or target is None:
            problems.append(f"indirect jump {operand} at {address:#x} the model cannot resolve")
            return None
        if target != routine.entry and target in image.entries:
            # A tail call of another routine: its ret returns for this one.
            if depth != 0:
                problems.append(f"tail call at {address:#x} with {depth} bytes pushed")
                return None
            callee = self.routine(target)
            if callee.pops is not None:
                self.returns(routine, callee.pops, address)
            return None
        return [(target, depth, ebp)]

    def jump_table(self, entry, table):
        """A switch's jump table: the dwords from `table` on that point into the routine
        holding the jump, up to the next routine's entry."""
        image = self.image
        end = min([a for a in image.entries if a > entry], default=None)
        targets = []
        while True:
            value = image.read_dword(table + 4 * len(targets))
            if value is None or value < entry or (end is not None and value >= end) \
                    or not image.in_code(value):
                return targets
            self.table_slots.add(table + 4 * len(targets))
            targets.append(value)


def pe_reader(image_bytes):
    """address -> dword stored there in the loaded image (None outside every section)."""
    pe = struct.unpack_from("<I", image_bytes, 0x3C)[0]
    count = struct.unpack_from("<H", image_bytes, pe + 6)[0]
    optional_size = struct.unpack_from("<H", image_bytes, pe + 20)[0]
    base = struct.unpack_from("<I", image_bytes, pe + 24 + 28)[0]
    table = pe + 24 + optional_size
    placed = []
    for i in range(count):
        header = table + 40 * i
        virtual_size, rva, raw_size, raw = struct.unpack_from("<IIII", image_bytes, header + 8)
        placed.append((base + rva, min(virtual_size, raw_size), raw))

    def read_dword(address):
        for start, size, raw in placed:
            if start <= address and address + 4 <= start + size:
                return struct.unpack_from("<I", image_bytes, raw + address - start)[0]
        return None
    return read_dword
