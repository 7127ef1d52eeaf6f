#!/usr/bin/env python3
"""The network INF as Windows 2000/XP setup reads it: the entries setup and the network class
installer require of a physical adapter's INF, checked one rule a line.

  inf_check.py qvnet.inf

The rules follow Microsoft's "Installation Requirements for Network Adapters", "DDInstall
Section in a Network INF File", "Adding Service-Related Values to the Ndi Key", "Specifying
Binding Interfaces", "Specifying Configuration Parameters for the Advanced Properties Page",
"INF AddService Directive" and the general INF section pages (Version, Manufacturer, Models,
ControlFlags, DestinationDirs, SourceDisksNames, SourceDisksFiles, Strings).
"""

import re
import sys

NET_CLASS_GUID = "{4d36e972-e325-11ce-bfc1-08002be10318}"
NCF_VIRTUAL, NCF_SOFTWARE_ENUMERATED, NCF_PHYSICAL = 0x1, 0x2, 0x4
# The flags a network adapter's Characteristics may carry.
ADAPTER_FLAGS = {0x1: "NCF_VIRTUAL", 0x2: "NCF_SOFTWARE_ENUMERATED", 0x4: "NCF_PHYSICAL",
                 0x8: "NCF_HIDDEN", 0x20: "NCF_NOT_USER_REMOVABLE",
                 0x40: "NCF_MULTIPORT_INSTANCED_ADAPTER", 0x80: "NCF_HAS_UI"}
# NDIS_INTERFACE_TYPE as Windows 2000/XP define it: Internal (0) to PNPBus (15).
BUS_TYPES = range(0, 16)
UPPER_RANGES = {"ndis5", "ndisatm", "ndiswan", "ndiscowan", "noupper", "ndis5_atalk",
                "ndis5_dlc", "ndis5_ip", "ndis5_ipx", "ndis5_nbf", "ndis5_streams"}
LOWER_RANGES = {"ethernet", "atm", "tokenring", "serial", "fddi", "baseband", "broadband",
                "arcnet", "isdn", "localtalk", "wan"}
PARAM_TYPES = {"int", "long", "word", "dword", "enum", "edit"}
SPSVCINST_ASSOCSERVICE = 0x2


# ---- Reading -----------------------------------------------------------------------------------

def strip_comment(line):
    """The line without its ';' comment (a ';' inside double quotes is text)."""
    quoted = False
    for i, char in enumerate(line):
        if char == '"':
            quoted = not quoted
        elif char == ";" and not quoted:
            return line[:i]
    return line


def split_fields(text):
    fields, quoted, current = [], False, ""
    for char in text:
        if char == '"':
            quoted = not quoted
            continue
        if char == "," and not quoted:
            fields.append(current.strip())
            current = ""
            continue
        current += char
    fields.append(current.strip())
    return fields


class Inf:
    """Sections (names compared without case) of (key or None, [fields]) lines."""

    def __init__(self, text):
        self.sections = {}
        self.order = []
        current = None
        for raw in text.splitlines():
            line = strip_comment(raw).strip()
            if not line:
                continue
            if line.startswith("["):
                name = line[1:line.index("]")].strip() if "]" in line else line[1:]
                current = self.sections.setdefault(name.lower(), [])
                self.order.append(name)
                continue
            if current is None:
                continue
            key, value = None, line
            if "=" in line and not line.startswith('"'):
                key, value = (part.strip() for part in line.split("=", 1))
            elif re.match(r'^"[^"]*"\s*=', line):
                key, value = (part.strip() for part in line.split("=", 1))
                key = key.strip('"')
            current.append((key, split_fields(value)))

    def section(self, name):
        return self.sections.get(name.lower())

    def value(self, section, key):
        for found, fields in self.section(section) or []:
            if found is not None and found.lower() == key.lower():
                return fields
        return None

    def strings(self):
        return {key.lower(): fields[0] for key, fields in self.section("Strings") or []
                if key is not None}


def number(text):
    try:
        return int(text, 0)
    except (TypeError, ValueError):
        return None


def add_reg_entries(inf, section_names):
    """(subkey, value name, data) of every HKR line in the named AddReg sections."""
    entries = []
    for name in section_names:
        for _, fields in inf.section(name) or []:
            if fields and fields[0].upper() == "HKR" and len(fields) >= 3:
                data = fields[4] if len(fields) > 4 else ""
                entries.append((fields[1], fields[2], data))
    return entries


# ---- The rules ---------------------------------------------------------------------------------

def check(text):
    """[(rule, ok, detail)] for the INF text."""
    inf = Inf(text)
    results = []
    strings = inf.strings()

    def rule(name, ok, detail=""):
        results.append((name, bool(ok), detail))

    signature = (inf.value("Version", "Signature") or [""])[0].lower()
    rule("[Version] Signature is $Windows NT$ or $Chicago$",
         signature in ("$windows nt$", "$chicago$"))
    rule("[Version] Class is Net with the Net class GUID",
         (inf.value("Version", "Class") or [""])[0].lower() == "net"
         and (inf.value("Version", "ClassGUID") or [""])[0].lower() == NET_CLASS_GUID)
    rule("[Version] names a Provider", inf.value("Version", "Provider"))
    driver_ver = inf.value("Version", "DriverVer") or [""]
    rule("[Version] DriverVer is mm/dd/yyyy,w.x.y.z",
         re.match(r"^\d\d/\d\d/\d{4}$", driver_ver[0]) and len(driver_ver) > 1
         and re.match(r"^\d+\.\d+\.\d+\.\d+$", driver_ver[1]))

    models = []
    for _, fields in inf.section("Manufacturer") or []:
        models += [fields[0]] + [f"{fields[0]}.{d}" for d in fields[1:] if d]
    model_lines = [(m, f) for m in models for _, f in inf.section(m) or []]
    missing_models = [m for m in models if inf.section(m) is None]
    rule("[Manufacturer] lists models sections that exist", models and not missing_models,
         ", ".join(missing_models))
    installs = sorted({f[0] for _, f in model_lines if f and f[0]})
    hardware_ids = [h for _, f in model_lines for h in f[1:] if h]
    rule("every model names an install section and a hardware ID",
         model_lines and all(len(f) >= 2 and f[0] and f[1] for _, f in model_lines))

    excluded = {h.lower() for _, f in inf.section("ControlFlags") or [] for h in f}
    unexcluded = [h for h in hardware_ids if "*" not in excluded and h.lower() not in excluded]
    rule("[ControlFlags] ExcludeFromSelect covers every PnP adapter", not unexcluded,
         ", ".join(unexcluded))

    for install in installs:
        prefix = f"[{install}]"
        if inf.section(install) is None:
            rule(f"{prefix} exists", False)
            continue
        characteristics = number((inf.value(install, "Characteristics") or [None])[0])
        rule(f"{prefix} Characteristics is set", characteristics is not None)
        characteristics = characteristics or 0
        kinds = characteristics & (NCF_VIRTUAL | NCF_SOFTWARE_ENUMERATED | NCF_PHYSICAL)
        unknown = characteristics & ~sum(ADAPTER_FLAGS)
        rule(f"{prefix} Characteristics: known flags, one of virtual, software-enumerated "
             f"and physical", kinds in (NCF_VIRTUAL, NCF_SOFTWARE_ENUMERATED, NCF_PHYSICAL)
             and not unknown, f"{characteristics:#x}")
        if characteristics & NCF_PHYSICAL:
            bus = number((inf.value(install, "BusType") or [None])[0])
            rule(f"{prefix} a physical adapter has a BusType (an NDIS_INTERFACE_TYPE)",
                 bus in BUS_TYPES, "missing" if bus is None else str(bus))

        add_reg = inf.value(install, "AddReg") or []
        copy_files = inf.value(install, "CopyFiles") or []
        absent = [s for s in add_reg + copy_files if s and inf.section(s) is None]
        rule(f"{prefix} its AddReg and CopyFiles sections exist", not absent,
             ", ".join(absent))
        entries = add_reg_entries(inf, add_reg)
        check_ndi(inf, install, entries, rule)
        check_params(entries, prefix, rule)
        check_files(inf, copy_files, prefix, rule)

    code = "\n".join(strip_comment(line) for line in text.splitlines())
    used = {t.lower() for t in re.findall(r"%([^%\s]+)%", code) if not t.isdigit()}
    undefined = sorted(used - set(strings))
    rule("every %string% is defined in [Strings]", not undefined, ", ".join(undefined))
    return results


def check_ndi(inf, install, entries, rule):
    prefix = f"[{install}]"
    services = inf.value(f"{install}.Services", "AddService")
    rule(f"[{install}.Services] has an AddService", services)
    service = services[0] if services else ""
    flags = number(services[1]) if services and len(services) > 1 else None
    rule(f"[{install}.Services] AddService marks the function driver (SPSVCINST_ASSOCSERVICE)",
         flags is not None and flags & SPSVCINST_ASSOCSERVICE)
    install_section = services[2] if services and len(services) > 2 else ""
    settings = {k.lower(): f[0] for k, f in inf.section(install_section) or [] if k}
    rule(f"[{install_section}] installs a demand-started kernel driver with its binary",
         settings.get("servicetype") == "1" and settings.get("starttype") == "3"
         and "errorcontrol" in settings and settings.get("servicebinary", "").endswith(".sys"))

    def ndi(subkey, name):
        return [d for s, n, d in entries if s.lower() == subkey.lower() and n.lower() == name]
    rule(f"{prefix} Ndi Service names the service AddService installs",
         ndi("Ndi", "service") == [service] and service)
    upper = {v.strip().lower() for d in ndi("Ndi\\Interfaces", "upperrange") for v in d.split(",")}
    lower = {v.strip().lower() for d in ndi("Ndi\\Interfaces", "lowerrange") for v in d.split(",")}
    rule(f"{prefix} Ndi\\Interfaces UpperRange and LowerRange are known interfaces",
         upper and lower and upper <= UPPER_RANGES and lower <= LOWER_RANGES,
         f"upper {sorted(upper)}, lower {sorted(lower)}")


def check_params(entries, prefix, rule):
    params = {}
    for subkey, name, data in entries:
        match = re.match(r"^Ndi\\params\\([^\\]+)(\\enum)?$", subkey, re.I)
        if match:
            param = params.setdefault(match.group(1), {"enum": {}})
            if match.group(2):
                param["enum"][name] = data
            else:
                param[name.lower()] = data
    wrong = []
    for key, param in params.items():
        kind = param.get("type", "").lower()
        if "paramdesc" not in param or kind not in PARAM_TYPES:
            wrong.append(f"{key}: needs ParamDesc and a known Type")
        elif kind == "enum" and param.get("default") not in param["enum"]:
            wrong.append(f"{key}: default {param.get('default')!r} is not one of its values")
        elif kind in ("int", "long", "word", "dword"):
            low, high = number(param.get("min")), number(param.get("max"))
            default = number(param.get("default"))
            if None in (low, high, default) or not low <= default <= high:
                wrong.append(f"{key}: default {param.get('default')!r} outside "
                             f"{param.get('min')}..{param.get('max')}")
    rule(f"{prefix} every advanced property has a description, a type and a default it allows",
         not wrong, "; ".join(wrong))


def check_files(inf, copy_files, prefix, rule):
    disks = {k for k, _ in inf.section("SourceDisksNames") or [] if k}
    sources = {k.lower(): f[0] for k, f in inf.section("SourceDisksFiles") or [] if k}
    destinations = {k.lower() for k, _ in inf.section("DestinationDirs") or [] if k}
    files = [f[0] for s in copy_files for _, f in inf.section(s) or [] if f and f[0]]
    unsourced = [f for f in files if sources.get(f.lower()) not in disks]
    rule(f"{prefix} every copied file is on a listed source disk", files and not unsourced,
         ", ".join(unsourced))
    undirected = [s for s in copy_files
                  if s.lower() not in destinations and "defaultdestdir" not in destinations]
    rule(f"{prefix} every CopyFiles section has a destination", not undirected,
         ", ".join(undirected))


def main():
    with open(sys.argv[1], encoding="ascii") as f:
        results = check(f.read())
    for name, ok, detail in results:
        print(f"{'ok  ' if ok else 'FAIL'} {name}{': ' + detail if detail else ''}")
    return 0 if all(ok for _, ok, _ in results) else 1


if __name__ == "__main__":
    sys.exit(main())
