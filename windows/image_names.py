"""Names for the addresses of the driver image: what the linker's map says, and the static
routines the map leaves out, read from the objects it linked."""

import os
import re
import subprocess


def objdump(tool, *args):
    return subprocess.run([tool, *args], check=True, capture_output=True, text=True).stdout


def input_sections(map_text):
    """[(section, address, size, origin)] for every input section the map places."""
    found = []
    lines = map_text.splitlines()
    for i, line in enumerate(lines):
        match = re.match(r"^ (\S+)(?:\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+(\S+))?\s*$", line)
        if not match or match.group(1).startswith(("*", "0x")):
            continue
        address, size, origin = match.group(2), match.group(3), match.group(4)
        if address is None and i + 1 < len(lines):
            rest = re.match(r"^\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+(\S+)\s*$", lines[i + 1])
            if not rest:
                continue
            address, size, origin = rest.groups()
        if address is not None:
            found.append((match.group(1), int(address, 16), int(size, 16), origin))
    return found


def map_symbols(map_text):
    """Address -> name of every routine and variable the map names (the global ones)."""
    found = {}
    for match in re.finditer(r"^\s+0x([0-9a-f]+)\s{2,}([^\s=\[][^=]*?)\s*$", map_text, re.M):
        name = match.group(2)
        if not name.startswith(("0x", "LONG ", "PROVIDE")):
            found.setdefault(int(match.group(1), 16), name)
    return found


def object_symbols(tool, map_text, map_dir):
    """Address -> name of every routine in the driver's own objects, static ones included
    (the map names only the global ones); read from the objects the map says it linked."""
    bases = {}
    for section, address, _, origin in input_sections(map_text):
        member = re.match(r"^.*\((.+)\)$", origin)
        if member and address:
            bases[(section, member.group(1))] = address
    found = {}
    for archive in re.findall(r"^LOAD (\S*objects\.a)\s*$", map_text, re.M):
        path = os.path.join(map_dir, archive)
        if not os.path.exists(path):
            continue
        section_names = {}
        member = None
        for line in objdump(tool, "-h", path).splitlines():
            head = re.match(r"^(\S+):\s+file format", line)
            if head:
                member = head.group(1)
                continue
            row = re.match(r"^\s+(\d+) (\S+)\s", line)
            if row and member:
                section_names[(member, int(row.group(1)) + 1)] = row.group(2)
        for line in objdump(tool, "-t", "-C", path).splitlines():
            head = re.match(r"^(\S+):\s+file format", line)
            if head:
                member = head.group(1)
                continue
            row = re.match(r"^\[\s*\d+\]\(sec\s+(\d+)\)\(fl 0x[0-9a-f]+\)\(ty\s+20\)"
                           r"\(scl\s+\d+\) \(nx \d\) 0x([0-9a-f]+) (.+)$", line)
            if not row or not member or int(row.group(1)) < 1:
                continue
            section = section_names.get((member, int(row.group(1))))
            base = bases.get((section, member))
            if base is not None:
                found[base + int(row.group(2), 16)] = row.group(3)
    return found


def short_name(name):
    """'(anonymous namespace)::Routine(int)@8' -> 'Routine'."""
    name = name.replace("(anonymous namespace)::", "").split("(", 1)[0]
    return name.split("::")[-1].lstrip("_").split("@", 1)[0]
